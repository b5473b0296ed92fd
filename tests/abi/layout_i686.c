/*
 * The request record as a 32-bit x86 program lays it out.  A 32-bit tool
 * talks to the module through the same header, so the layout must be the
 * one the module's 32-bit compat handler expects: 28 bytes, every field on
 * a 4-byte boundary.  Compiled only (-c) with the i686 cross compiler, as C
 * and as C++; a wrong layout fails the build.
 */
#include <assert.h>
#include <linux/if_brantel.h>
#include <stddef.h>

#ifndef __i386__
#error "build this with the 32-bit x86 compiler (i686-linux-gnu-gcc or -g++)"
#endif

static_assert(sizeof(void *) == 4, "pointers are 4 bytes on i686");

static_assert(sizeof(struct brantel_ioctl) == 28, "brantel_ioctl is 28 bytes");
static_assert(offsetof(struct brantel_ioctl, cmd) == 0, "cmd at 0");
static_assert(offsetof(struct brantel_ioctl, portidx) == 4, "portidx at 4");
static_assert(offsetof(struct brantel_ioctl, ifname) == 8, "ifname at 8");
static_assert(offsetof(struct brantel_ioctl, ifidx) == 12, "ifidx at 12");
static_assert(offsetof(struct brantel_ioctl, macaddr) == 16, "macaddr at 16");
static_assert(offsetof(struct brantel_ioctl, macaddridx) == 20, "macaddridx at 20");
static_assert(offsetof(struct brantel_ioctl, reply) == 24, "reply at 24");

static_assert(sizeof(struct brantel_ioctl_reply) == 20, "brantel_ioctl_reply is 20 bytes");
static_assert(offsetof(struct brantel_ioctl_reply, num) == 0, "num at 0");
static_assert(offsetof(struct brantel_ioctl_reply, name) == 4, "name at 4");
