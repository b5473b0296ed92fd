#!/usr/bin/env python3
"""Writes the seeds of fuzz_netlink (corpus/netlink): well-formed answers to
each call, in the input format netlink_fuzzer.cpp describes.

    python3 tests/fuzz/netlink_seeds.py    # rewrites tests/fuzz/corpus/netlink
"""
import pathlib
import struct

# linux/netlink.h, linux/rtnetlink.h, linux/if_link.h, linux/pkt_cls.h
NLMSG_ERROR, NLMSG_DONE = 2, 3
RTM_NEWLINK, RTM_NEWQDISC, RTM_NEWTFILTER = 16, 36, 44
NLM_F_MULTI, NLM_F_DUMP_INTR, NLM_F_CAPPED, NLM_F_ACK_TLVS = 0x2, 0x10, 0x100, 0x200
IFLA_ADDRESS, IFLA_IFNAME, IFLA_LINK, IFLA_LINKINFO, IFLA_GROUP = 1, 3, 5, 18, 27
IFLA_INFO_KIND, IFLA_INFO_DATA, IFLA_MACVLAN_MODE = 1, 2, 1
TCA_KIND, TCA_OPTIONS = 1, 2
TCA_BPF_NAME, TCA_BPF_FLAGS, TCA_BPF_ID = 7, 8, 11
NLMSGERR_ATTR_MSG = 1
INGRESS = 0xFFFFFFF2
RELATIVE = 0x10  # byte 0, bit 4: answers count from the request


def pad(b):
    return b + b"\0" * (-len(b) % 4)


def attr(kind, payload):
    return pad(struct.pack("=HH", 4 + len(payload), kind) + payload)


def u32(kind, v):
    return attr(kind, struct.pack("=I", v))


def strz(kind, s):
    return attr(kind, s.encode() + b"\0")


def msg(kind, body, flags=0, seq=0):
    return struct.pack("=IHHII", 16 + len(body), kind, flags, seq, 0) + body


def link(name, kind="macvlan"):
    ifi = struct.pack("=BxHiII", 0, 1, 7, 1, 0)
    info = attr(IFLA_LINKINFO, strz(IFLA_INFO_KIND, kind) +
                attr(IFLA_INFO_DATA, u32(IFLA_MACVLAN_MODE, 1)))
    return msg(RTM_NEWLINK, ifi + strz(IFLA_IFNAME, name) + u32(IFLA_LINK, 3) +
               u32(IFLA_GROUP, 0x6200) + attr(IFLA_ADDRESS, bytes([2, 0, 0, 0, 0, 9])) + info,
               NLM_F_MULTI)


def tc(kind, handle, parent, info, attrs):
    return msg(kind, struct.pack("=BxxxiIII", 0, 3, handle, parent, info) + attrs, NLM_F_MULTI)


def error(err, seq=0, text=None):
    body = struct.pack("=iIHHII", -err, 0, 0, 0, 0, 0)
    flags = NLM_F_CAPPED
    if text:
        body += strz(NLMSGERR_ATTR_MSG, text)
        flags |= NLM_F_ACK_TLVS
    return msg(NLMSG_ERROR, body, flags, seq)


def done(flags=0):
    return msg(NLMSG_DONE, struct.pack("=i", 0), NLM_F_MULTI | flags)


def seed(how, *datagrams):
    out = bytes([how])
    for d in datagrams:
        out += struct.pack("<H", len(d)) + d
    return out


BPF = tc(RTM_NEWTFILTER, 0x6272, INGRESS, (25202 << 16) | 0x0300,
         strz(TCA_KIND, "bpf") + attr(TCA_OPTIONS, u32(TCA_BPF_ID, 42) +
                                      strz(TCA_BPF_NAME, "brantel_rx") + u32(TCA_BPF_FLAGS, 1)))
SEEDS = {
    "get-link": seed(RELATIVE | 0, link("eth1")),
    "get-link-refused": seed(RELATIVE | 1, error(19, text="No such device")),
    "links": seed(RELATIVE | 2, link("a") + link("b", "veth"), done()),
    "links-kind-interrupted": seed(RELATIVE | 8 | 2, link("a"), done(NLM_F_DUMP_INTR),
                                   link("a") + done()),
    "qdiscs": seed(RELATIVE | 3, tc(RTM_NEWQDISC, 0xFFFF0000, 0xFFFFFFF1, 0,
                                    strz(TCA_KIND, "clsact")) + done()),
    "filters": seed(RELATIVE | 4, BPF, done()),
    "attach": seed(RELATIVE | 5, error(0, 0) + error(17, 1, "Filter already exists")),
    "create": seed(RELATIVE | 6, error(0), link("eth1#1")),
    # A port's whole view: the device, its ingress and egress filters, its
    # qdiscs, then every device.
    "observe": seed(RELATIVE | 7, link("eth1", "veth"), BPF + done(), done(),
                    tc(RTM_NEWQDISC, 0xFFFF0000, 0xFFFFFFF1, 0, strz(TCA_KIND, "clsact")) + done(),
                    link("eth1") + link("eth1#1") + done()),
}

if __name__ == "__main__":
    folder = pathlib.Path(__file__).resolve().parent / "corpus" / "netlink"
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (folder / name).write_bytes(data)
