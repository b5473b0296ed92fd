#include "dataplane.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "classifier.skel.h"

namespace brantel_sim::live {
namespace {

constexpr const char* kRxName = "brantel_rx";
constexpr const char* kAcceptName = "brantel_accept";

// libbpf's last message, kept to explain a failed load; it never prints.
std::string g_libbpf_said;

int quiet_libbpf(enum libbpf_print_level level, const char* format, va_list args) {
  if (level == LIBBPF_DEBUG) return 0;
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  std::string s = line;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  if (s.rfind("libbpf: ", 0) == 0) s.erase(0, 8);
  if (!s.empty()) g_libbpf_said = s;
  return 0;
}

[[maybe_unused]] const bool g_quiet = (libbpf_set_print(quiet_libbpf), true);

int fail(Failure& why, Step step, int err, std::string detail = {}) {
  why.err = err;
  why.step = step;
  why.detail = std::move(detail);
  return err;
}

// libbpf returns -errno, or -1 with errno set.
int libbpf_err(int r) { return r == -1 ? errno : -r; }

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

bpf_tc_hook ingress_hook(int ifindex) {
  bpf_tc_hook hook{};
  hook.sz = sizeof hook;
  hook.ifindex = ifindex;
  hook.attach_point = BPF_TC_INGRESS;
  return hook;
}

bpf_tc_opts our_filter(int prog_fd = 0) {
  bpf_tc_opts opts{};
  opts.sz = sizeof opts;
  opts.handle = kFilterHandle;
  opts.priority = kFilterPriority;
  opts.prog_fd = prog_fd;
  if (prog_fd) opts.flags = BPF_TC_F_REPLACE;
  return opts;
}

}  // namespace

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int PortObjects::find(int port_ifindex, Failure& why) {
  bpf_tc_hook hook = ingress_hook(port_ifindex);
  bpf_tc_opts opts = our_filter();
  if (int r = bpf_tc_query(&hook, &opts)) {
    int err = libbpf_err(r);
    // No clsact qdisc, or no filter of ours in it.
    if (err == ENOENT || err == EINVAL) return ENOENT;
    return fail(why, Step::filter, err);
  }
  Fd prog(bpf_prog_get_fd_by_id(opts.prog_id));
  if (!prog) return errno == ENOENT ? ENOENT : fail(why, Step::bpf, errno);
  bpf_prog_info info;
  std::vector<std::uint32_t> ids;
  if (int err = prog_info(prog.get(), info, &ids)) return fail(why, Step::bpf, err);
  if (std::strcmp(info.name, kRxName) != 0) return ENOENT;  // someone else's at our place
  for (std::uint32_t id : ids) {
    Fd map(bpf_map_get_fd_by_id(id));
    if (!map) return fail(why, Step::bpf, errno);
    bpf_map_info mi{};
    std::uint32_t len = sizeof mi;
    if (bpf_obj_get_info_by_fd(map.get(), &mi, &len)) return fail(why, Step::bpf, errno);
    std::string name = mi.name;
    if (name == "brantel_macs") macs_ = std::move(map);
    if (name == "brantel_config") config_ = std::move(map);
    if (name == "brantel_counts") counts_ = std::move(map);
  }
  if (!macs_ || !config_ || !counts_) return ENOENT;
  rx_ = std::move(prog);
  rx_id_ = info.id;
  return 0;
}

int PortObjects::load_with(const brantel_port_config* cfg, bool reuse_maps, Failure& why) {
  g_libbpf_said.clear();
  brantel_classifier* skel = brantel_classifier::open();
  if (!skel) return fail(why, Step::load, errno, g_libbpf_said);
  int err = 0;
  if (reuse_maps) {
    if (bpf_map__reuse_fd(skel->maps.brantel_macs, macs_.get()) ||
        bpf_map__reuse_fd(skel->maps.brantel_config, config_.get()) ||
        bpf_map__reuse_fd(skel->maps.brantel_counts, counts_.get()))
      err = errno;
  }
  if (!err && brantel_classifier::load(skel)) err = errno;
  if (err) {
    fail(why, Step::load, err, g_libbpf_said);
    brantel_classifier::destroy(skel);
    return err;
  }
  accept_ = dup_fd(bpf_program__fd(skel->progs.brantel_accept));
  if (!reuse_maps) {
    rx_ = dup_fd(bpf_program__fd(skel->progs.brantel_rx));
    macs_ = dup_fd(bpf_map__fd(skel->maps.brantel_macs));
    config_ = dup_fd(bpf_map__fd(skel->maps.brantel_config));
    counts_ = dup_fd(bpf_map__fd(skel->maps.brantel_counts));
  }
  brantel_classifier::destroy(skel);
  if (!accept_ || !rx_ || !macs_ || !config_ || !counts_) return fail(why, Step::bpf, EMFILE);

  bpf_prog_info info;
  if ((err = prog_info(accept_.get(), info, nullptr))) return fail(why, Step::bpf, err);
  brantel_port_config c{};
  if (cfg) {
    c = *cfg;
  } else if ((err = read_config(c))) {
    return fail(why, Step::map, err);
  }
  c.accept_prog_id = info.id;
  if ((err = write_config(c))) return fail(why, Step::map, err);
  if (!reuse_maps) {
    if ((err = prog_info(rx_.get(), info, nullptr))) return fail(why, Step::bpf, err);
    rx_id_ = info.id;
  }
  return 0;
}

int PortObjects::load(const brantel_port_config& cfg, Failure& why) {
  return load_with(&cfg, false, why);
}

int PortObjects::accept_fd(Failure& why) {
  if (accept_) return 0;
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
        bpf_obj_get_info_by_fd(macs_.get(), &mi, &len) == 0) {
      for (std::uint32_t id : ids) {
        if (id == mi.id) {
          accept_ = std::move(prog);
          return 0;
        }
      }
    }
  }
  // Gone with the last interface: load it again on the same maps.
  return load_with(nullptr, true, why);
}

int PortObjects::attach_rx(int port_ifindex, Failure& why) const {
  bpf_tc_hook hook = ingress_hook(port_ifindex);
  bpf_tc_opts opts = our_filter(rx_.get());
  if (int r = bpf_tc_attach(&hook, &opts)) return fail(why, Step::filter, libbpf_err(r));
  return 0;
}

int PortObjects::detach_rx(int port_ifindex, Failure& why) const {
  bpf_tc_hook hook = ingress_hook(port_ifindex);
  bpf_tc_opts opts = our_filter();
  if (int r = bpf_tc_detach(&hook, &opts)) {
    int err = libbpf_err(r);
    if (err == ENOENT || err == EINVAL || err == ENODEV) return 0;  // already gone
    return fail(why, Step::filter, err);
  }
  return 0;
}

int PortObjects::attach_accept(int ifindex, Failure& why) {
  if (int err = accept_fd(why)) return err;
  bool created = false;
  if (int err = ensure_clsact(ifindex, created, why)) return err;
  bpf_tc_hook hook = ingress_hook(ifindex);
  bpf_tc_opts opts = our_filter(accept_.get());
  if (int r = bpf_tc_attach(&hook, &opts)) return fail(why, Step::filter, libbpf_err(r));
  return 0;
}

int PortObjects::read_config(brantel_port_config& cfg) const {
  std::uint32_t zero = 0;
  return bpf_map_lookup_elem(config_.get(), &zero, &cfg) ? errno : 0;
}

int PortObjects::write_config(const brantel_port_config& cfg) const {
  std::uint32_t zero = 0;
  return bpf_map_update_elem(config_.get(), &zero, &cfg, BPF_ANY) ? errno : 0;
}

int PortObjects::bind(const MacBytes& mac, std::uint32_t ifindex) const {
  brantel_mac_key key{};
  std::memcpy(key.addr, mac.data(), 6);
  return bpf_map_update_elem(macs_.get(), &key, &ifindex, BPF_ANY) ? errno : 0;
}

int PortObjects::unbind(const MacBytes& mac) const {
  brantel_mac_key key{};
  std::memcpy(key.addr, mac.data(), 6);
  if (bpf_map_delete_elem(macs_.get(), &key) == 0 || errno == ENOENT) return 0;
  return errno;
}

int PortObjects::bindings(std::map<MacBytes, std::uint32_t>& out) const {
  out.clear();
  brantel_mac_key key{}, next{};
  const void* prev = nullptr;
  while (bpf_map_get_next_key(macs_.get(), prev, &next) == 0) {
    std::uint32_t ifindex = 0;
    if (bpf_map_lookup_elem(macs_.get(), &next, &ifindex) == 0) {
      MacBytes m;
      std::memcpy(m.data(), next.addr, 6);
      out[m] = ifindex;
    }
    key = next;
    prev = &key;
  }
  return errno == ENOENT ? 0 : errno;
}

int PortObjects::counters(std::array<std::uint64_t, BRANTEL_OUTCOMES>& out) const {
  out.fill(0);
  int cpus = libbpf_num_possible_cpus();
  if (cpus <= 0) return -cpus;
  std::vector<std::uint64_t> per_cpu(static_cast<std::size_t>(cpus));
  for (std::uint32_t i = 0; i < BRANTEL_OUTCOMES; ++i) {
    if (bpf_map_lookup_elem(counts_.get(), &i, per_cpu.data())) return errno;
    for (std::uint64_t v : per_cpu) out[i] += v;
  }
  return 0;
}

int ensure_clsact(int ifindex, bool& created, Failure& why) {
  bpf_tc_hook hook = ingress_hook(ifindex);
  int r = bpf_tc_hook_create(&hook);
  created = r == 0;
  if (r == 0) return 0;
  int err = libbpf_err(r);
  if (err == EEXIST) return 0;
  return fail(why, Step::qdisc, err);
}

int remove_clsact(int ifindex, Failure& why) {
  bpf_tc_hook hook = ingress_hook(ifindex);
  // Both points at once: the qdisc itself, not just its filters.
  hook.attach_point = static_cast<bpf_tc_attach_point>(BPF_TC_INGRESS | BPF_TC_EGRESS);
  if (int r = bpf_tc_hook_destroy(&hook)) {
    int err = libbpf_err(r);
    if (err == ENOENT || err == EINVAL || err == ENODEV) return 0;
    return fail(why, Step::qdisc, err);
  }
  return 0;
}

}  // namespace brantel_sim::live
