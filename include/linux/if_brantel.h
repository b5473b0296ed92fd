/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * if_brantel.h: control interface of the brantel module, which runs
 * MAC-address-based virtual LANs over Ethernet ports.
 *
 * User space sends every request as
 *	ioctl(socket(AF_INET, SOCK_STREAM, 0), SIOCGIFBRANTEL, &req)
 * with req a struct brantel_ioctl.  A negative result is a failure and errno
 * gives the reason.  Only cmd and the fields named for a code carry meaning.
 */
#ifndef _LINUX_IF_BRANTEL_H
#define _LINUX_IF_BRANTEL_H

#include <linux/types.h>

#define SIOCGIFBRANTEL	0x8965

/* Request codes (struct brantel_ioctl.cmd) and the fields each one reads. */
#define BRANTEL_ENABLE	1	/* ifname: enable over a port, make "ifname#0" */
#define BRANTEL_DISABLE	2	/* ifname: the port stops being counted */
#define BRANTEL_ADD	3	/* ifname, ifidx: make "ifname#ifidx" */
#define BRANTEL_DEL	4	/* ifname: remove a virtual interface */
#define BRANTEL_BIND	5	/* ifname, macaddr: map the address */
#define BRANTEL_UNBIND	6	/* ifname, macaddr: remove the mapping */
#define GET_NUM_PORTS	7	/* reply: num = ports */
#define GET_PORT_NAME	8	/* portidx, reply: name */
#define GET_NUM_VLANS	9	/* portidx, reply: num = interfaces */
#define GET_VLAN_NAME	10	/* portidx, ifidx, reply: name */
#define GET_NUM_MACS	11	/* portidx, ifidx, reply: num = addresses */
#define GET_MAC_NAME	12	/* portidx, ifidx, macaddridx, reply: name[0..5] */
#define SET_PORT_FLAGS	13	/* ifname, ifidx = the new flag word */
#define GET_PORT_FLAGS	14	/* portidx, ifname, reply: num = flag word */
#define BRANTEL_CMD_MAX	GET_PORT_FLAGS	/* the highest code: raise it with each new one */

/* Port flag: pick the interface by destination instead of source MAC. */
#define BRANTEL_FLAG_DEST_MAC	0x01

#define BRANTEL_NAMSIZ	16	/* a name of at most 15 characters and its NUL */

struct brantel_ioctl_reply {
	__s32 num;
	char name[BRANTEL_NAMSIZ];	/* a name, or 6 address bytes */
};

/* Native sizes: 28 bytes on a 32-bit build, 48 on a 64-bit one. */
struct brantel_ioctl {
	__s32 cmd;
	__s32 portidx;
	char *ifname;
	__s32 ifidx;
	unsigned char *macaddr;
	__s32 macaddridx;
	struct brantel_ioctl_reply *reply;
};

#endif /* _LINUX_IF_BRANTEL_H */
