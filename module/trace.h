// Trace lines: "CODE FIELDS -> RESULT", one per request.
#ifndef BRANTEL_SIM_TRACE_H
#define BRANTEL_SIM_TRACE_H

#include <string>
#include <string_view>

#include "model.h"

namespace brantel_sim {

// A name between double quotes: printable ASCII as is but for '"' and '\'
// (backslashed), every other byte \xHH.  A name with no NUL in its 16 bytes
// is shown as those bytes followed by "...".
std::string trace_name(const NameArg& name);

// The line for a served request, with its newline.  `err` is 0 or the errno
// value returned; `reply` is what the caller got back (read only on success).
std::string trace_line(const Request& req, int err, bool injected, const Reply& reply);

// The line for a socket() call that a fault rule made fail.
std::string trace_socket_line(int err);

}  // namespace brantel_sim

#endif
