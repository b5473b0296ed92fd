// Stable addresses for live mode's interfaces: each PORT#N gets the same
// locally administered address whenever it is made on the same machine, so
// that nothing keyed on it (DHCP reservations, neighbour caches, firewall
// rules) breaks when the device is made again.  Nothing is stored: the
// address follows from the machine's id and the interface's name.
#ifndef BRANTEL_SIM_LIVE_ADDRESS_H
#define BRANTEL_SIM_LIVE_ADDRESS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brantel_sim::live {

using MacBytes = std::array<unsigned char, 6>;

// SipHash-2-4 of `data` under the 16-byte `key`.
std::uint64_t siphash24(const std::array<unsigned char, 16>& key, const void* data,
                        std::size_t size);

// The address of interface `ifname` on the machine whose id (32 hex digits,
// as read_machine_id gives it) is `machine_id`: the first six bytes, least
// significant first, of SipHash-2-4 keyed with the id's 16 bytes over
// "brantel-live mac", a zero byte, the name, a zero byte and `attempt` as
// four bytes, least significant first; then made unicast (bit 0x01 of the
// first byte clear) and locally administered (bit 0x02 set).  The caller
// bumps `attempt` while the address collides with the port's or with a
// sibling's.
MacBytes stable_mac(std::string_view machine_id, std::string_view ifname, unsigned attempt);

// The machine's id from `primary` (/etc/machine-id), else from `fallback`
// when that is missing or not an id (/var/lib/dbus/machine-id): 32
// lower-case hex digits.  Empty with `error` set when neither holds one.
std::string read_machine_id(std::string& error, const char* primary = "/etc/machine-id",
                            const char* fallback = "/var/lib/dbus/machine-id");

}  // namespace brantel_sim::live

#endif
