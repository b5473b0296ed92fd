#include "codes.h"

#include <cerrno>
#include <cstring>

namespace brantel_sim {
namespace {

// glibc names each value once; these are the other spellings people use.
struct Alias {
  std::string_view name;
  int value;
};
constexpr Alias kAliases[] = {
    {"EWOULDBLOCK", EWOULDBLOCK},
    {"EDEADLOCK", EDEADLOCK},
    {"ENOTSUP", ENOTSUP},
};

// Linux errno values stop well below this.
constexpr int kMaxNamedErrno = 200;

}  // namespace

int code_by_name(std::string_view name) {
  for (const RequestKind& k : kRequests)
    if (k.code && k.name == name) return k.code;
  return 0;
}

std::string errno_name(int err) {
  if (err > 0 && err < kMaxNamedErrno) {
    if (const char* n = strerrorname_np(err)) return n;
  }
  return std::to_string(err);
}

int errno_by_name(std::string_view name) {
  if (name.size() < 2 || name[0] != 'E') return 0;
  for (const Alias& a : kAliases)
    if (a.name == name) return a.value;
  for (int e = 1; e < kMaxNamedErrno; ++e) {
    const char* n = strerrorname_np(e);
    if (n && name == n) return e;
  }
  return 0;
}

}  // namespace brantel_sim
