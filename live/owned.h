// What live mode turned on on a port that was not on before (its clsact
// qdisc, its promiscuous mode), and must turn off again.  The classifier's
// config map says so too, but dies with the classifier: a run killed before
// the attach, a qdisc deleted by hand, a port moved to another namespace.
// So the record is also kept in a file per port under /run, written before
// the change and removed after the undoing: tmpfs, gone with a reboot as
// the kernel's state is, and one folder per network namespace.
#ifndef BRANTEL_SIM_LIVE_OWNED_H
#define BRANTEL_SIM_LIVE_OWNED_H

#include <cstdint>
#include <map>
#include <string>

#include "netlink.h"

namespace brantel_sim::live {

inline constexpr const char* kOwnedRoot = "/run/brantel-live";

// The BRANTEL_OWN_* bits recorded for `dev` (0 when none, or when the
// record is of another device that had its ifindex).
std::uint32_t recorded(const Link& dev, const char* root = kOwnedRoot);
// Records `bits` for `dev`, durably; 0 removes the record.  0, or an errno.
int record(const Link& dev, std::uint32_t bits, const char* root = kOwnedRoot);
// ifindex -> device name of every record of this namespace.
std::map<int, std::string> records(const char* root = kOwnedRoot);

}  // namespace brantel_sim::live

#endif
