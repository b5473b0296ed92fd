#!/usr/bin/env python3
"""One ICMP echo request to ADDRESS; exit 0 once its reply comes, 1 after
two seconds without.  usage: ping.py ADDRESS"""
import socket
import sys

s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
s.settimeout(2)
p = bytearray(b"\x08\0\0\0\x12\x34\0\x01live")
c = sum(int.from_bytes(p[i:i + 2], "big") for i in range(0, len(p), 2))
c = (c >> 16) + (c & 0xffff)
p[2:4] = (~c & 0xffff).to_bytes(2, "big")
s.sendto(p, (sys.argv[1], 0))
try:
    while s.recv(2048)[20] != 0:  # our own request, looped back on the way out
        pass
except socket.timeout:
    sys.exit(1)
