/* Records shared by the classifier and the code that loads it. */
#ifndef BRANTEL_SIM_LIVE_CLASSIFIER_H
#define BRANTEL_SIM_LIVE_CLASSIFIER_H

#include <linux/types.h>

/* The port's flag that makes the destination address, not the source,
 * choose the interface. */
#define BRANTEL_FLAG_BY_DESTINATION 0x01

/* Room for this many bound addresses on one port.  Their map is made for
 * what is bound, from BRANTEL_MIN_MACS up, and replaced by a larger or a
 * smaller one as that changes. */
#define BRANTEL_MAX_MACS 1048576
#define BRANTEL_MIN_MACS 1024
/* Room for this many interfaces on one port. */
#define BRANTEL_MAX_IFACES 4096

/* Room for this many addresses in the table of those bound to no
 * interface that the port saw (the source, or by destination the
 * destination, of the frames handed to its default interface).  An LRU
 * map, so preallocated: some 100 KiB of kernel memory per port; the
 * addresses seen least recently make room for new ones. */
#define BRANTEL_MAX_UNBOUND 1024

/* One address of that table. */
struct brantel_unbound {
  __u64 frames;
  __u64 bytes;
  __u64 last_seen; /* bpf_ktime_get_ns(): CLOCK_MONOTONIC */
};

/* What became of a frame that arrived on the port. */
enum brantel_outcome {
  BRANTEL_BOUND = 0,   /* to the interface its address is bound to */
  BRANTEL_UNBOUND = 1, /* to the port's default interface */
  BRANTEL_DROPPED = 2, /* no interface to take it: dropped */
  BRANTEL_OUTCOMES = 3,
};

/* A key of the address maps: the 6 bytes, then zeros. */
struct brantel_mac_key {
  __u8 addr[6];
  __u8 pad[2];
};

/* Frames handed to one interface, per CPU.  An interface the classifier
 * may hand frames to has an entry; a frame for any other is dropped, so
 * that an address still bound to a deleted interface is never counted as
 * delivered. */
struct brantel_iface_stats {
  __u64 frames;
  __u64 bytes;
};

/* The port's one entry of the config map. */
struct brantel_port_config {
  __u32 flags;           /* the port's flag word */
  __u32 default_ifindex; /* PORT#0, or 0 when it is gone */
  __u32 group;           /* the device group of the port's interfaces */
  __u32 owned;           /* BRANTEL_OWN_* things found absent and made by us */
  __u32 accept_prog_id;  /* the accept program of the interfaces, by destination */
  __u32 bound;           /* addresses in the address map, as last counted */
  __u64 dropped_gone;    /* frames handed to interfaces since found gone */
};

#define BRANTEL_OWN_QDISC 0x1   /* the port's clsact qdisc */
#define BRANTEL_OWN_PROMISC 0x2 /* the port's promiscuous flag */

#endif
