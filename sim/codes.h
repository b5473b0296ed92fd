// Names of request codes and errno values, shared by fault rules, the trace
// and the launcher.
#ifndef BRANTEL_SIM_CODES_H
#define BRANTEL_SIM_CODES_H

#include <string>
#include <string_view>

namespace brantel_sim {

inline constexpr int kFirstCode = 1;
inline constexpr int kLastCode = 14;

// "BRANTEL_ENABLE" ... "GET_PORT_FLAGS"; empty for an unknown code.
std::string_view code_name(int code);
// The code for a name, or 0.
int code_by_name(std::string_view name);

// What a request carries back on success.
enum class ResultKind { none, num, name, mac };
ResultKind result_kind(int code);
// True for the requests that change the module.
bool is_change(int code);

// "EEXIST" for a known errno value, the decimal number otherwise.
std::string errno_name(int err);
// The value for "EEXIST" (aliases such as EWOULDBLOCK included), or 0.
int errno_by_name(std::string_view name);

}  // namespace brantel_sim

#endif
