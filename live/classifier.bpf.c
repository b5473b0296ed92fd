// SPDX-License-Identifier: GPL-2.0-or-later
/* The classifier of one port.  brantel_rx runs at the port's ingress and
 * hands each frame to the interface its source address (destination, with
 * flag 0x01) is bound to, or to the default interface.  By destination, a
 * frame for an interface's own address is left to the macvlan driver,
 * which delivers it there itself, without a second pass.
 *
 * brantel_accept runs at each interface's ingress by destination only: a
 * frame handed over for a bound address arrives there as "other host",
 * since the interface has an address of its own, and the IP stack would
 * drop it.
 *
 * By destination, a broadcast or multicast frame bound to no interface
 * goes to every interface of the port, as the kernel's macvlan delivers
 * it: ARP and neighbour discovery must reach an address on any of them.
 * One whose source is an interface's own address is that interface's own
 * frame sent back by the wire: it goes back to that interface alone, as
 * macvlan does for its private mode, and no sibling sees it. */
#include "classifier.h"

#include <bpf/bpf_helpers.h>
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/pkt_cls.h>

/* Address -> ifindex, in memory that follows what it holds. */
#define BRANTEL_MAC_MAP(name, size)           \
  struct name {                               \
    __uint(type, BPF_MAP_TYPE_HASH);          \
    __uint(map_flags, BPF_F_NO_PREALLOC);     \
    __uint(max_entries, size);                \
    __type(key, struct brantel_mac_key);      \
    __type(value, __u32);                     \
  }

/* The bound addresses, in a map of their own that user space replaces by
 * one of another size as the bindings grow and shrink: a hash map's bucket
 * array is sized by its max_entries, whatever it holds.  The programs see
 * whichever map the slot holds. */
BRANTEL_MAC_MAP(brantel_mac_table, BRANTEL_MIN_MACS);
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
  __uint(max_entries, 1);
  __type(key, __u32);
  __array(values, struct brantel_mac_table);
} brantel_addrs SEC(".maps");

/* Each interface's own address, by destination. */
BRANTEL_MAC_MAP(brantel_own_table, BRANTEL_MAX_IFACES) brantel_own SEC(".maps");

/* The interface an address is bound to, or null. */
static __always_inline __u32 *bound_to(struct brantel_mac_key *key) {
  __u32 zero = 0;
  void *macs = bpf_map_lookup_elem(&brantel_addrs, &zero);
  return macs ? bpf_map_lookup_elem(macs, key) : 0;
}

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_HASH);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __uint(max_entries, BRANTEL_MAX_IFACES);
  __type(key, __u32); /* ifindex */
  __type(value, struct brantel_iface_stats);
} brantel_ifaces SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct brantel_port_config);
} brantel_config SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, BRANTEL_OUTCOMES);
  __type(key, __u32);
  __type(value, __u64);
} brantel_counts SEC(".maps");

/* The addresses bound to no interface, as the default interface gets
 * their frames: only that path pays for it. */
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, BRANTEL_MAX_UNBOUND);
  __type(key, struct brantel_mac_key);
  __type(value, struct brantel_unbound);
} brantel_unbound SEC(".maps");

static __always_inline void saw_unbound(struct brantel_mac_key *key, struct __sk_buff *skb) {
  if (key->addr[0] & 1) return; /* a group address is no device */
  __u64 now = bpf_ktime_get_ns();
  struct brantel_unbound *u = bpf_map_lookup_elem(&brantel_unbound, key);
  if (u) {
    __sync_fetch_and_add(&u->frames, 1);
    __sync_fetch_and_add(&u->bytes, skb->len);
    u->last_seen = now;
    return;
  }
  struct brantel_unbound fresh = {1, skb->len, now};
  bpf_map_update_elem(&brantel_unbound, key, &fresh, BPF_NOEXIST);
}

static __always_inline void count(__u32 outcome) {
  __u64 *n = bpf_map_lookup_elem(&brantel_counts, &outcome);
  if (n) *n += 1;
}

static __always_inline int delivered(__u32 ifindex, struct __sk_buff *skb) {
  struct brantel_iface_stats *s = bpf_map_lookup_elem(&brantel_ifaces, &ifindex);
  if (!s) return 0;
  s->frames += 1;
  s->bytes += skb->len;
  return 1;
}

/* A copy of the frame for each interface but PORT#0, which gets the frame
 * itself. */
struct brantel_flood {
  struct __sk_buff *skb;
  __u32 skip; /* PORT#0 */
  __u32 copies;
};

static long copy_to(void *map, __u32 *ifindex, struct brantel_iface_stats *s,
                    struct brantel_flood *f) {
  (void)map;
  /* A copy the interface cannot take (down, gone) is not counted. */
  if (*ifindex == f->skip || bpf_clone_redirect(f->skb, *ifindex, BPF_F_INGRESS)) return 0;
  s->frames += 1;
  s->bytes += f->skb->len;
  f->copies += 1;
  return 0;
}

static __always_inline int flood(struct __sk_buff *skb, __u32 ifindex) {
  struct brantel_flood f = {.skb = skb, .skip = ifindex};
  bpf_for_each_map_elem(&brantel_ifaces, copy_to, &f, 0);
  if (ifindex && delivered(ifindex, skb)) {
    count(BRANTEL_UNBOUND);
    return bpf_redirect(ifindex, BPF_F_INGRESS);
  }
  /* No PORT#0: dropped only when no interface had a copy either. */
  if (f.copies) {
    count(BRANTEL_BOUND);
  } else {
    count(BRANTEL_DROPPED);
  }
  return TC_ACT_SHOT;
}

SEC("tc")
int brantel_rx(struct __sk_buff *skb) {
  void *data = (void *)(long)skb->data;
  void *end = (void *)(long)skb->data_end;
  struct ethhdr *eth = data;
  __u32 zero = 0;
  struct brantel_port_config *cfg = bpf_map_lookup_elem(&brantel_config, &zero);
  if (!cfg) return TC_ACT_OK;

  __u32 ifindex = cfg->default_ifindex;
  __u32 outcome = BRANTEL_UNBOUND;
  struct brantel_mac_key key = {};
  int keyed = (void *)(eth + 1) <= end;
  if (keyed) {
    int by_dest = cfg->flags & BRANTEL_FLAG_BY_DESTINATION;
    __builtin_memcpy(key.addr, by_dest ? eth->h_dest : eth->h_source, 6);
    __u32 *bound = bound_to(&key);
    if (bound) {
      ifindex = *bound;
      outcome = BRANTEL_BOUND;
    } else if (by_dest && (eth->h_dest[0] & 1)) {
      __builtin_memcpy(key.addr, eth->h_source, 6);
      __u32 *own = bpf_map_lookup_elem(&brantel_own, &key);
      if (!own) return flood(skb, ifindex);
      ifindex = *own;
      outcome = BRANTEL_BOUND;
    } else if (by_dest) {
      __u32 *own = bpf_map_lookup_elem(&brantel_own, &key);
      if (own && delivered(*own, skb)) {
        count(BRANTEL_BOUND);
        return TC_ACT_OK;
      }
    }
  }
  if (!ifindex || !delivered(ifindex, skb)) {
    count(BRANTEL_DROPPED);
    return TC_ACT_SHOT;
  }
  count(outcome);
  if (outcome == BRANTEL_UNBOUND && keyed) saw_unbound(&key, skb);
  return bpf_redirect(ifindex, BPF_F_INGRESS);
}

SEC("tc")
int brantel_accept(struct __sk_buff *skb) {
  if (skb->pkt_type != PACKET_OTHERHOST) return TC_ACT_OK;
  void *data = (void *)(long)skb->data;
  void *end = (void *)(long)skb->data_end;
  struct ethhdr *eth = data;
  if ((void *)(eth + 1) > end) return TC_ACT_OK;
  struct brantel_mac_key key = {};
  __builtin_memcpy(key.addr, eth->h_dest, 6);
  __u32 *bound = bound_to(&key);
  if (bound && *bound == skb->ifindex) bpf_skb_change_type(skb, PACKET_HOST);
  return TC_ACT_OK;
}

char LICENSE[] SEC("license") = "GPL";
