// Part of the simulator core: finds and loads the live library, which alone
// links libbpf and libmnl.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "live.h"
#include "live_advice.h"

namespace brantel_sim {
namespace {

std::string default_library_path() {
  if (const char* p = std::getenv("BRANTEL_SIM_LIVE_LIBRARY"); p && *p) return p;
  Dl_info info{};
  // The preload library's own folder: the live library is installed beside it.
  if (!dladdr(reinterpret_cast<void*>(&default_library_path), &info) || !info.dli_fname) return {};
  std::string self = info.dli_fname;
  std::size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" +
         kLiveLibraryName;
}

class LazyLive final : public Realiser {
 public:
  int admit() override {
    if (has_live_privileges()) return 0;
    live_say(privileges_line());
    return EPERM;
  }
  int vet(const Request& req, const Model& before) override { return live_vet(req, before); }
  void refused(const Request& req, int err, const Model& before) override {
    live_explain(req, err, before);
  }
  void committed(const Request& req, const Model& before) override {
    live_record(change_record(req, before));
    live_after(req, before);
  }

  int realise(const Model& before, const Model& after) override {
    if (!live_ && !failed_) {
      std::string error;
      live_ = load_live(default_library_path(), error);
      if (!live_) {
        failed_ = true;
        live_say("live mode: " + error);
      }
    }
    return live_ ? live_->realise(before, after) : ELIBACC;
  }

  void take_back(const Model& before, const Model& after) override {
    if (live_) live_->take_back(before, after);
  }

 private:
  std::unique_ptr<Live> live_;
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<Live> load_live(const std::string& path, std::string& error) {
#ifdef BRANTEL_SIM_LIVE_PACKAGES
  // A build without live mode's libraries has no live library to load.
  (void)path;
  error = "not built: install " BRANTEL_SIM_LIVE_PACKAGES " and build again";
  return nullptr;
#else
  if (path.empty()) {
    error = "cannot find the live library; set BRANTEL_SIM_LIVE_LIBRARY";
    return nullptr;
  }
  // Never closed: libbpf keeps process-wide state.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = std::string("cannot load ") + (why ? why : path.c_str());
    return nullptr;
  }
  using create_fn = Live* (*)();
  auto create = reinterpret_cast<create_fn>(dlsym(handle, "brantel_sim_live_create"));
  if (!create) {
    error = path + ": not the live library";
    return nullptr;
  }
  return std::unique_ptr<Live>(create());
#endif
}

std::shared_ptr<Realiser> lazy_live_realiser() { return std::make_shared<LazyLive>(); }

}  // namespace brantel_sim
