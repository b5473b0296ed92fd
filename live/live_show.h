// What `show` prints of the kernel beside the state file: comment lines, or
// one JSON document for programs.
#ifndef BRANTEL_SIM_LIVE_SHOW_H
#define BRANTEL_SIM_LIVE_SHOW_H

#include <string>
#include <string_view>
#include <vector>

#include "live.h"
#include "model.h"

namespace brantel_sim {

// `s` as a JSON string, quotes included.  Control characters, '"', '\\',
// DEL and every byte from 0x80 up become \u00XX, so that any byte string,
// UTF-8 or not, comes out as plain ASCII and reads back byte for byte.
std::string json_string(std::string_view s);

// The ports of `state` as show --json gives them when no kernel is asked:
// nothing known of the kernel, nothing counted.
std::vector<LivePort> unrealised_ports(const Model& state);

// The version of the JSON documents of show, check and which, given as
// their "schema": raised when a name changes meaning or goes.
inline constexpr int kShowSchema = 1;

// {"schema":1,"ports":[...]}, with a newline.
std::string render_json(const std::vector<LivePort>& ports);

// A compact JSON document of ours laid out over lines, two blanks an
// indent, as -p/--pretty asks.
std::string pretty_json(std::string_view json);

// Comment lines for `show`, each with its newline: a heading, then a line
// per port and per interface.
std::string render_comments(const std::vector<LivePort>& ports);

}  // namespace brantel_sim

#endif
