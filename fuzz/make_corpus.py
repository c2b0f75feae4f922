#!/usr/bin/env python3
"""Writes the fuzzer's seed replies into fuzz/corpus: well-formed replies of
each kind the walkers meet, so fuzzing starts from deep inside the walk."""
import os
import struct


def name(n):
    out = b""
    for label in n.split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def reply(rcode, answers, qname="www.example.com"):
    head = struct.pack(">HBBHHHH", 0x1234, 0x81, 0x80 | rcode, 1, len(answers), 0, 0)
    body = name(qname) + struct.pack(">HH", 1, 1)
    for owner, rtype, rclass, rdata in answers:
        body += owner + struct.pack(">HHIH", rtype, rclass, 300, len(rdata)) + rdata
    return head + body


PTR = b"\xc0\x0c"
SEEDS = {
    "a": reply(0, [(PTR, 1, 1, bytes([93, 184, 216, 34]))]),
    "cname_then_a": reply(0, [(PTR, 5, 1, name("www.cdn.example.net")), (b"\xc0\x2d", 1, 1, bytes([10, 0, 0, 1]))]),
    "refused": reply(5, []),
    "nxdomain": reply(3, []),
    "uncompressed_owners": reply(0, [(name("www.example.com"), 5, 1, name("www.x.net")),
                                     (name("www.x.net"), 1, 1, bytes([1, 2, 3, 4]))]),
    "zero_address": reply(0, [(PTR, 1, 1, bytes(4)), (PTR, 1, 1, bytes([8, 8, 8, 8]))]),
    "only_a_forged": reply(0, [(PTR, 1, 1, bytes([31, 13, 72, 1])), (PTR, 1, 1, bytes([31, 13, 72, 2]))]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for key, data in SEEDS.items():
    with open(os.path.join(here, key), "wb") as f:
        f.write(data)
print("make_corpus: wrote", len(SEEDS), "seeds to", here)
