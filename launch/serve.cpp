// The simulator of the process that a command runs in: configured from the
// environment at its first request, and answering the preload library's
// ioctl() and socket().
#include "serve.h"

#include <cstdlib>
#include <mutex>

#include "live.h"
#include "live_advice.h"
#include "live_paths.h"

namespace brantel_sim {

Options options_from_env() {
  Options o;
  if (const char* live = std::getenv("BRANTEL_SIM_LIVE"); live && *live) {
    // Network devices belong to the network namespace, and so does their
    // state: never the system's file from a namespace of no name.
    const char* s = std::getenv("BRANTEL_SIM_STATE");
    o.state_path = s && *s ? s : live_default_state(o.setup_error);
    o.realiser = lazy_live_realiser();
    o.prog = live_prog();
    o.broken_hint = "; " + o.prog + " reset empties it, " + o.prog + " load FILE installs another";
  } else {
    o.state_path = state_path_from_env(o.setup_error);
  }
  if (const char* f = std::getenv("BRANTEL_SIM_FAULTS")) o.faults = f;
  if (const char* t = std::getenv("BRANTEL_SIM_TRACE")) o.trace_path = t;
  o.checked_memory = true;
  return o;
}

namespace {

std::mutex g_mutex;
// Never destroyed: the host may still send requests from atexit handlers.
Simulator* g_default = nullptr;
// Set while a request is served: the sockets that live mode opens then are
// the simulator's own, not the host's.
thread_local bool t_serving = false;

Simulator& default_simulator() {
  if (!g_default) g_default = new Simulator(options_from_env());
  return *g_default;
}

}  // namespace

int serve(brantel_ioctl* req) noexcept {
  try {
    std::lock_guard<std::mutex> lock(g_mutex);
    t_serving = true;
    struct Done {
      ~Done() { t_serving = false; }
    } done;
    return default_simulator().serve(req);
  } catch (...) {
    return EIO;  // e.g. out of memory: fail the request, never the host
  }
}

int socket_call() noexcept {
  if (t_serving) return 0;
  try {
    std::lock_guard<std::mutex> lock(g_mutex);
    return default_simulator().socket_call();
  } catch (...) {
    return 0;
  }
}

void reset_default(Options opts) {
  std::lock_guard<std::mutex> lock(g_mutex);
  delete g_default;
  g_default = new Simulator(std::move(opts));
}

}  // namespace brantel_sim
