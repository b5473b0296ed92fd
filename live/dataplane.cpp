#include "dataplane.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "classifier.skel.h"

namespace brantel_sim::live {
namespace {

// libbpf's last message, kept to explain a failed load.
std::string g_libbpf_said;

int keep_message(enum libbpf_print_level level, const char* format, va_list args) {
  if (level == LIBBPF_DEBUG) return 0;
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  std::string s = line;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  if (s.rfind("libbpf: ", 0) == 0) s.erase(0, 8);
  if (!s.empty()) g_libbpf_said = s;
  return 0;
}

struct SkeletonDeleter {
  void operator()(brantel_classifier* s) const { brantel_classifier::destroy(s); }
};
using Skeleton = std::unique_ptr<brantel_classifier, SkeletonDeleter>;

int fail(Failure& why, Step step, int err, std::string detail = {}) {
  why.err = err;
  why.step = step;
  why.detail = std::move(detail);
  return err;
}

Fd dup_fd(int fd) { return Fd(fcntl(fd, F_DUPFD_CLOEXEC, 3)); }

int prog_info(int fd, bpf_prog_info& info, std::vector<std::uint32_t>* map_ids) {
  info = {};
  std::uint32_t len = sizeof info;
  if (bpf_obj_get_info_by_fd(fd, &info, &len)) return errno;
  if (!map_ids) return 0;
  std::uint32_t n = info.nr_map_ids;
  map_ids->assign(n, 0);
  info = {};
  info.nr_map_ids = n;
  info.map_ids = reinterpret_cast<std::uintptr_t>(map_ids->data());
  len = sizeof info;
  if (bpf_obj_get_info_by_fd(fd, &info, &len)) return errno;
  map_ids->resize(std::min(n, info.nr_map_ids));
  return 0;
}

brantel_mac_key key_of(const MacBytes& mac) {
  brantel_mac_key key{};
  std::memcpy(key.addr, mac.data(), 6);
  return key;
}

int put_mac(int fd, const MacBytes& mac, std::uint32_t ifindex) {
  brantel_mac_key key = key_of(mac);
  return bpf_map_update_elem(fd, &key, &ifindex, BPF_ANY) ? errno : 0;
}

// Taking away what is not there is no failure.
int drop_mac(int fd, const MacBytes& mac) {
  brantel_mac_key key = key_of(mac);
  if (bpf_map_delete_elem(fd, &key) == 0 || errno == ENOENT) return 0;
  return errno;
}

// A hash map read whole: in batches where the kernel can, else key by key.
template <typename K, typename V, typename F>
int each_entry(int fd, std::size_t value_size, F f) {
  constexpr std::uint32_t kBatch = 4096;
  std::vector<K> keys(kBatch);
  std::vector<unsigned char> values(kBatch * value_size);
  K in{}, out{};
  bool first = true;
  for (;;) {
    std::uint32_t n = kBatch;
    bpf_map_batch_opts opts{};
    opts.sz = sizeof opts;
    int r = bpf_map_lookup_batch(fd, first ? nullptr : &in, &out, keys.data(), values.data(), &n,
                                 &opts);
    int err = r ? errno : 0;
    if (err && err != ENOENT) {
      if (!first || (err != EINVAL && err != ENOTSUP && err != EOPNOTSUPP)) return err;
      break;  // no batches here: key by key below
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      V v;
      std::memcpy(&v, values.data() + i * value_size, std::min(sizeof v, value_size));
      f(keys[i], v, values.data() + i * value_size);
    }
    if (err == ENOENT) return 0;
    in = out;
    first = false;
  }
  std::vector<unsigned char> value(value_size);
  K key{}, next{};
  const void* prev = nullptr;
  while (bpf_map_get_next_key(fd, prev, &next) == 0) {
    if (bpf_map_lookup_elem(fd, &next, value.data()) == 0) {
      V v;
      std::memcpy(&v, value.data(), std::min(sizeof v, value_size));
      f(next, v, value.data());
    }
    key = next;
    prev = &key;
  }
  return errno == ENOENT ? 0 : errno;
}

// The address map that fits `count` addresses with room to grow: half as
// many again, in a power of two (the kernel's number of buckets).
std::uint32_t room_for(std::uint64_t count) {
  std::uint64_t want = count + count / 2;
  std::uint64_t room = BRANTEL_MIN_MACS;
  while (room < want && room < BRANTEL_MAX_MACS) room *= 2;
  return static_cast<std::uint32_t>(room);
}

// The map the slot `addrs` holds, or an empty Fd when it holds none.
int slot_map(int addrs, Fd& out) {
  std::uint32_t zero = 0, id = 0;
  if (bpf_map_lookup_elem(addrs, &zero, &id)) {
    if (errno != ENOENT) return errno;
    out.reset();
    return 0;
  }
  out = Fd(bpf_map_get_fd_by_id(id));
  return out ? 0 : errno;
}

int possible_cpus() {
  int n = libbpf_num_possible_cpus();
  return n > 0 ? n : 1;
}

}  // namespace

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    reset();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void quiet_libbpf() { libbpf_set_print(keep_message); }

// Takes the maps of the program `prog_fd` runs (all of them, or only
// those this object lacks).
int Classifier::take(int prog_fd, bool all_maps, Failure& why) {
  bpf_prog_info info;
  std::vector<std::uint32_t> ids;
  if (int err = prog_info(prog_fd, info, &ids)) return fail(why, Step::bpf, err);
  if (std::strcmp(info.name, kRxName) != 0 && std::strcmp(info.name, kAcceptName) != 0)
    return ENOENT;  // someone else's program
  struct {
    const char* name;
    Fd* fd;
  } maps[] = {{"brantel_addrs", &addrs_},
              {"brantel_own", &own_},
              {"brantel_ifaces", &ifaces_},
              {"brantel_config", &config_},
              {"brantel_counts", &counts_}};
  for (std::uint32_t id : ids) {
    Fd map(bpf_map_get_fd_by_id(id));
    if (!map) return fail(why, Step::bpf, errno);
    bpf_map_info mi{};
    std::uint32_t len = sizeof mi;
    if (bpf_obj_get_info_by_fd(map.get(), &mi, &len)) return fail(why, Step::bpf, errno);
    for (auto& m : maps)
      if (std::strcmp(mi.name, m.name) == 0 && (all_maps || !*m.fd)) *m.fd = std::move(map);
    if (map && std::strcmp(mi.name, "brantel_unbound") == 0 && (all_maps || !unbound_))
      unbound_ = std::move(map);
  }
  for (auto& m : maps)
    if (!*m.fd) return ENOENT;
  // An empty slot (a run killed before it was filled) reads as no address
  // bound; the next bind puts a map there.
  if (all_maps || !macs_)
    if (int err = slot_map(addrs_.get(), macs_)) return fail(why, Step::bpf, err);
  if (std::strcmp(info.name, kRxName) == 0) rx_id_ = info.id;
  return 0;
}

int Classifier::open(std::uint32_t prog_id, Failure& why) {
  Fd prog(bpf_prog_get_fd_by_id(prog_id));
  if (!prog) return errno == ENOENT ? ENOENT : fail(why, Step::bpf, errno);
  bpf_prog_info info;
  if (int err = prog_info(prog.get(), info, nullptr)) return fail(why, Step::bpf, err);
  if (std::strcmp(info.name, kRxName) != 0) return ENOENT;
  if (int err = take(prog.get(), true, why)) return err;
  rx_ = std::move(prog);
  return 0;
}

int Classifier::load_objects(const brantel_port_config* cfg, bool reuse_maps, Failure& why) {
  g_libbpf_said.clear();
  Skeleton skel(brantel_classifier::open());
  if (!skel) return fail(why, Step::load, errno, g_libbpf_said);
  if (reuse_maps) {
    if (bpf_map__reuse_fd(skel->maps.brantel_addrs, addrs_.get()) ||
        bpf_map__reuse_fd(skel->maps.brantel_own, own_.get()) ||
        bpf_map__reuse_fd(skel->maps.brantel_ifaces, ifaces_.get()) ||
        bpf_map__reuse_fd(skel->maps.brantel_config, config_.get()) ||
        bpf_map__reuse_fd(skel->maps.brantel_counts, counts_.get()) ||
        (unbound_ && bpf_map__reuse_fd(skel->maps.brantel_unbound, unbound_.get())))
      return fail(why, Step::load, errno, g_libbpf_said);
  }
  if (brantel_classifier::load(skel.get())) return fail(why, Step::load, errno, g_libbpf_said);
  accept_ = dup_fd(bpf_program__fd(skel->progs.brantel_accept));
  if (!reuse_maps) {
    rx_ = dup_fd(bpf_program__fd(skel->progs.brantel_rx));
    addrs_ = dup_fd(bpf_map__fd(skel->maps.brantel_addrs));
    own_ = dup_fd(bpf_map__fd(skel->maps.brantel_own));
    ifaces_ = dup_fd(bpf_map__fd(skel->maps.brantel_ifaces));
    config_ = dup_fd(bpf_map__fd(skel->maps.brantel_config));
    counts_ = dup_fd(bpf_map__fd(skel->maps.brantel_counts));
    unbound_ = dup_fd(bpf_map__fd(skel->maps.brantel_unbound));
  }
  if (!accept_ || !rx_ || !addrs_ || !own_ || !ifaces_ || !config_ || !counts_)
    return fail(why, Step::bpf, EMFILE);
  if (!reuse_maps)
    if (int err = replace(BRANTEL_MIN_MACS, nullptr, 0)) return fail(why, Step::map, err);
  // Later runs find the classifier by its programs' names: one loaded
  // without them (libbpf judged the kernel to lack them) would be attached
  // and then never found again, to be changed or taken away.
  const char* unnamed = "loaded without its name, by which live mode finds it";
  bpf_prog_info info;
  if (int err = prog_info(accept_.get(), info, nullptr)) return fail(why, Step::bpf, err);
  if (std::strcmp(info.name, kAcceptName) != 0) return fail(why, Step::load, EOPNOTSUPP, unnamed);
  brantel_port_config c{};
  if (cfg) {
    c = *cfg;
  } else if (int err = read_config(c)) {
    return fail(why, Step::map, err);
  }
  c.accept_prog_id = info.id;
  if (int err = write_config(c)) return fail(why, Step::map, err);
  if (!reuse_maps) {
    if (int err = prog_info(rx_.get(), info, nullptr)) return fail(why, Step::bpf, err);
    if (std::strcmp(info.name, kRxName) != 0) return fail(why, Step::load, EOPNOTSUPP, unnamed);
    rx_id_ = info.id;
  }
  return 0;
}

int Classifier::load(const brantel_port_config& cfg, Failure& why) {
  return load_objects(&cfg, false, why);
}

int Classifier::accept_fd(Failure& why) {
  if (accept_) return accept_.get();
  brantel_port_config c{};
  if (read_config(c) == 0 && c.accept_prog_id) {
    Fd prog(bpf_prog_get_fd_by_id(c.accept_prog_id));
    bpf_prog_info info;
    std::vector<std::uint32_t> ids;
    bpf_map_info mi{};
    std::uint32_t len = sizeof mi;
    // Still ours, on this port's maps: reuse it.
    if (prog && prog_info(prog.get(), info, &ids) == 0 &&
        std::strcmp(info.name, kAcceptName) == 0 &&
        bpf_obj_get_info_by_fd(addrs_.get(), &mi, &len) == 0 &&
        std::find(ids.begin(), ids.end(), mi.id) != ids.end()) {
      accept_ = std::move(prog);
      return accept_.get();
    }
  }
  // Gone with the last interface that ran it: load it again on the same maps.
  if (int err = load_objects(nullptr, true, why)) return -err;
  return accept_.get();
}

int Classifier::read_config(brantel_port_config& cfg) const {
  std::uint32_t zero = 0;
  return bpf_map_lookup_elem(config_.get(), &zero, &cfg) ? errno : 0;
}

int Classifier::write_config(const brantel_port_config& cfg) const {
  std::uint32_t zero = 0;
  return bpf_map_update_elem(config_.get(), &zero, &cfg, BPF_ANY) ? errno : 0;
}

int Classifier::lookup(const MacBytes& mac, std::uint32_t& ifindex) const {
  if (!macs_) return ENOENT;
  brantel_mac_key key = key_of(mac);
  return bpf_map_lookup_elem(macs_.get(), &key, &ifindex) ? errno : 0;
}

int Classifier::bind(const MacBytes& mac, std::uint32_t ifindex) {
  brantel_mac_key key = key_of(mac);
  // New, or moved: only a new address changes the count.
  if (macs_ && bpf_map_update_elem(macs_.get(), &key, &ifindex, BPF_NOEXIST) == 0) {
    ++added_;
    return 0;
  }
  if (macs_ && errno == EEXIST)
    return bpf_map_update_elem(macs_.get(), &key, &ifindex, BPF_EXIST) ? errno : 0;
  if (macs_ && errno != E2BIG) return errno;
  std::uint32_t room = capacity();
  if (room >= BRANTEL_MAX_MACS) return E2BIG;
  if (int err = replace(room ? room * 2 : BRANTEL_MIN_MACS, &mac, ifindex)) return err;
  ++added_;
  return 0;
}

int Classifier::unbind(const MacBytes& mac) {
  if (!macs_) return 0;
  brantel_mac_key key = key_of(mac);
  if (bpf_map_delete_elem(macs_.get(), &key) == 0) {
    --added_;
    return 0;
  }
  return errno == ENOENT ? 0 : errno;
}

std::uint32_t Classifier::capacity() const {
  bpf_map_info info{};
  std::uint32_t len = sizeof info;
  if (!macs_ || bpf_obj_get_info_by_fd(macs_.get(), &info, &len)) return 0;
  return info.max_entries;
}

int Classifier::replace(std::uint32_t room, const MacBytes* extra, std::uint32_t ifindex,
                        std::size_t* held) {
  std::vector<brantel_mac_key> keys;
  std::vector<std::uint32_t> values;
  if (macs_) {
    int err = each_entry<brantel_mac_key, std::uint32_t>(
        macs_.get(), sizeof(std::uint32_t),
        [&](const brantel_mac_key& k, std::uint32_t v, const unsigned char*) {
          keys.push_back(k);
          values.push_back(v);
        });
    if (err) return err;
  }
  if (extra) {
    keys.push_back(key_of(*extra));
    values.push_back(ifindex);
  }
  if (held) *held = keys.size();
  room = std::max(room, room_for(keys.size()));
  if (keys.size() > room) return E2BIG;
  bpf_map_create_opts opts{};
  opts.sz = sizeof opts;
  opts.map_flags = BPF_F_NO_PREALLOC;
  Fd fresh(bpf_map_create(BPF_MAP_TYPE_HASH, "brantel_macs", sizeof(brantel_mac_key),
                          sizeof(std::uint32_t), room, &opts));
  if (!fresh) return errno;
  std::size_t done = 0;
  while (done < keys.size()) {
    auto n = static_cast<std::uint32_t>(std::min<std::size_t>(keys.size() - done, 4096));
    bpf_map_batch_opts batch{};
    batch.sz = sizeof batch;
    if (bpf_map_update_batch(fresh.get(), keys.data() + done, values.data() + done, &n, &batch)) {
      if (errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP) return errno;
      // No batches here: one by one.
      for (; done < keys.size(); ++done)
        if (bpf_map_update_elem(fresh.get(), &keys[done], &values[done], BPF_ANY)) return errno;
      break;
    }
    done += n;
  }
  // The switch is one update of the slot: the programs see the old map or
  // the new one, whole.
  std::uint32_t zero = 0;
  int fd = fresh.get();
  if (bpf_map_update_elem(addrs_.get(), &zero, &fd, BPF_ANY)) return errno;
  macs_ = std::move(fresh);
  return 0;
}

void Classifier::settle(std::uint32_t count) {
  std::uint32_t room = capacity();
  std::size_t held = count;
  // A count gone wrong (a run killed between a change and its count) is
  // put right by the copy, which counts.
  if (room > BRANTEL_MIN_MACS && static_cast<std::uint64_t>(count) * 8 <= room)
    replace(room_for(count), nullptr, 0, &held);
  brantel_port_config cfg{};
  if (read_config(cfg) == 0 && cfg.bound != held) {
    cfg.bound = static_cast<std::uint32_t>(held);
    write_config(cfg);
  }
}

// An address map read whole: address -> ifindex.
static int read_macs(int fd, std::map<MacBytes, std::uint32_t>& out) {
  out.clear();
  return each_entry<brantel_mac_key, std::uint32_t>(
      fd, sizeof(std::uint32_t),
      [&](const brantel_mac_key& k, std::uint32_t v, const unsigned char*) {
        MacBytes m;
        std::memcpy(m.data(), k.addr, 6);
        out[m] = v;
      });
}

int Classifier::bindings(std::map<MacBytes, std::uint32_t>& out) const {
  if (!macs_) {
    out.clear();
    return 0;
  }
  return read_macs(macs_.get(), out);
}

int Classifier::own(std::map<MacBytes, std::uint32_t>& out) const {
  return read_macs(own_.get(), out);
}

int Classifier::add_own(const MacBytes& mac, std::uint32_t ifindex) const {
  return put_mac(own_.get(), mac, ifindex);
}

int Classifier::remove_own(const MacBytes& mac) const { return drop_mac(own_.get(), mac); }

int Classifier::targets(std::map<std::uint32_t, IfaceStats>& out) const {
  out.clear();
  int cpus = possible_cpus();
  // Per-CPU values come as one 8-byte aligned slot per CPU.
  std::size_t slot = (sizeof(brantel_iface_stats) + 7) / 8 * 8;
  return each_entry<std::uint32_t, brantel_iface_stats>(
      ifaces_.get(), slot * static_cast<std::size_t>(cpus),
      [&](std::uint32_t ifindex, const brantel_iface_stats&, const unsigned char* raw) {
        IfaceStats& s = out[ifindex];
        for (int c = 0; c < cpus; ++c) {
          brantel_iface_stats v;
          std::memcpy(&v, raw + static_cast<std::size_t>(c) * slot, sizeof v);
          s.frames += v.frames;
          s.bytes += v.bytes;
        }
      });
}

int Classifier::add_target(std::uint32_t ifindex) const {
  std::vector<brantel_iface_stats> zero(static_cast<std::size_t>(possible_cpus()));
  // BPF_NOEXIST: an interface that has one keeps its counts.
  if (bpf_map_update_elem(ifaces_.get(), &ifindex, zero.data(), BPF_NOEXIST) == 0 ||
      errno == EEXIST)
    return 0;
  return errno;
}

int Classifier::remove_target(std::uint32_t ifindex) const {
  if (bpf_map_delete_elem(ifaces_.get(), &ifindex) == 0 || errno == ENOENT) return 0;
  return errno;
}

int Classifier::counters(std::array<std::uint64_t, BRANTEL_OUTCOMES>& out) const {
  out.fill(0);
  std::vector<std::uint64_t> per_cpu(static_cast<std::size_t>(possible_cpus()));
  for (std::uint32_t i = 0; i < BRANTEL_OUTCOMES; ++i) {
    if (bpf_map_lookup_elem(counts_.get(), &i, per_cpu.data())) return errno;
    for (std::uint64_t v : per_cpu) out[i] += v;
  }
  return 0;
}

int Classifier::unbound(std::vector<UnboundSeen>& out) const {
  out.clear();
  if (!unbound_) return ENOENT;
  return each_entry<brantel_mac_key, brantel_unbound>(
      unbound_.get(), sizeof(brantel_unbound),
      [&](const brantel_mac_key& key, const brantel_unbound& v, const unsigned char*) {
        UnboundSeen u;
        std::memcpy(u.mac.data(), key.addr, u.mac.size());
        u.frames = v.frames;
        u.bytes = v.bytes;
        u.last_seen_ns = v.last_seen;
        out.push_back(u);
      });
}

}  // namespace brantel_sim::live
