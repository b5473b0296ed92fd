#!/usr/bin/env python3
"""One ICMP echo request to ADDRESS (ICMPv6 for an IPv6 address); exit 0
once its reply comes, 1 after two seconds without.  usage: ping.py ADDRESS"""
import socket
import sys

six = ":" in sys.argv[1]
if six:  # the kernel sums ICMPv6 itself
    s = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
    p = bytearray(b"\x80\0\0\0\x12\x34\0\x01live")
else:
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    p = bytearray(b"\x08\0\0\0\x12\x34\0\x01live")
    c = sum(int.from_bytes(p[i:i + 2], "big") for i in range(0, len(p), 2))
    c = (c >> 16) + (c & 0xffff)
    p[2:4] = (~c & 0xffff).to_bytes(2, "big")
s.settimeout(2)
s.sendto(p, (sys.argv[1], 0))
try:
    # IPv4 comes with its header, and our own request looped back on the way
    # out; ICMPv6 without, and with neighbour discovery beside the reply.
    while (s.recv(2048)[0] != 129) if six else (s.recv(2048)[20] != 0):
        pass
except socket.timeout:
    sys.exit(1)
