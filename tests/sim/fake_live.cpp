// A stand-in for the live library (BRANTEL_SIM_LIVE_LIBRARY), so that the
// launcher's live commands are tested without root or a kernel: sync names
// each port "gone*" unrestored and fails with $FAKE_LIVE_ERR, check reports
// $FAKE_LIVE_DIFF, describe counts 5 frames of 300 bytes per interface and,
// with $FAKE_LIVE_UNBOUND, one unbound address per port (no table without).
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "live.h"

namespace {

using namespace brantel_sim;

int injected() {
  const char* e = std::getenv("FAKE_LIVE_ERR");
  return e ? std::atoi(e) : 0;
}

void say(const std::string& line) {
  std::string text = "fake: " + line + "\n";
  ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
  (void)n;
}

class FakeLive final : public Live {
 public:
  int realise(const Model&, const Model&) override { return injected(); }
  int sync(const Model& state, const std::vector<std::string>& only,
           std::vector<std::string>& unrestored, bool) override {
    std::string ports;
    for (const std::string& p : only) {
      ports += " " + p;
      if (p.rfind("gone", 0) == 0) unrestored.push_back(p + ": no such network device");
    }
    say("sync " + std::to_string(state.ports().size()) + " ports, only" + ports);
    return injected();
  }
  void undo_sync() override { say("undo sync"); }
  // The "gone*" ports of sync above are live mode's on the kernel.
  int kernel_ports(std::vector<std::string>& names) override {
    names = {"gone1", "gone2"};
    return 0;
  }
  int check(const Model&, std::vector<std::string>& differences) override {
    if (const char* d = std::getenv("FAKE_LIVE_DIFF")) differences.push_back(d);
    return injected();
  }
  int describe(const Model& state, std::vector<LivePort>& out) override {
    int ifindex = 1;
    for (const Port& p : state.ports()) {
      LivePort lp;
      lp.name = p.name;
      lp.flags = p.flags;
      lp.ifindex = ifindex++;
      lp.realised = lp.counted = lp.up = true;
      lp.dropped = 1;
      if (std::getenv("FAKE_LIVE_UNBOUND")) {
        lp.unbound_known = true;
        lp.unbound = {{{0x02, 0, 0, 0, 0, 0x99}, 1, 60, 2500}};
      }
      for (const Vlan& v : p.vlans) {
        LiveInterface li;
        li.name = v.name;
        li.ifindex = ifindex++;
        li.mac = {0x02, 0, 0, 0, 0, static_cast<unsigned char>(li.ifindex)};
        li.bound = v.macs;
        li.rx_frames = 5;
        li.rx_bytes = 300;
        lp.interfaces.push_back(li);
      }
      out.push_back(std::move(lp));
    }
    return injected();
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) Live* brantel_sim_live_create() {
  return new FakeLive();
}
