// Runs a port's plan on the kernel.  Each step that changes something
// registers how to take it back; the journal takes back, latest first, the
// steps of a request that fails, and says which of those could not be
// taken back instead of hiding it.
#ifndef BRANTEL_SIM_LIVE_APPLY_H
#define BRANTEL_SIM_LIVE_APPLY_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dataplane.h"
#include "netlink.h"
#include "plan.h"

namespace brantel_sim::live {

class Journal {
 public:
  Journal(Rtnl& nl, Classifier& cls, const PortView& view);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // 0, or the errno value of the step that failed; `failed` is that step.
  // The steps before it stay done: undo() takes them back.
  int run(const Plan& plan, Failure& why, const Action*& failed);
  // Takes back every step done, latest first.  One line for each step that
  // could not be taken back.
  std::vector<std::string> undo();

 private:
  int step(const Action& a, Failure& why);
  void on_undo(std::string what, std::function<int()> f);
  int ifindex(const std::string& name) const;
  std::string name_of(std::uint32_t ifindex) const;
  // After an interface is made again, what led to the old one leads to it.
  int remap(const std::map<std::uint32_t, std::uint32_t>& moved);
  int make(const std::string& name, const MacBytes& mac, bool by_dest);

  Rtnl& nl_;
  Classifier& cls_;
  const PortView& view_;
  std::map<std::string, int> ifindex_;  // our interfaces as they are now
  std::map<std::string, MacBytes> mac_;
  std::vector<std::pair<std::string, std::function<int()>>> undo_;
};

}  // namespace brantel_sim::live

#endif
