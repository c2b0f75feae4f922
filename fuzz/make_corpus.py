#!/usr/bin/env python3
"""Writes the fuzzers' seeds: into fuzz/reply_corpus well-formed replies of
each kind the walkers meet, so fuzzing starts from deep inside the walk;
into fuzz/list_corpus list files as people keep them, in each encoding,
and one with every rule of the profile format."""
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

FUZZ = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(FUZZ, "..", "res", "dns.ini"), "rb") as f:
    DEFAULT_LIST = f.read().decode("gbk")
EVERY_RULE = (
    "; comment before any section\r\n0.0.0.0=outside\r\n[Other]\r\n1.0.0.1=other\r\n"
    "[ dnslist ]\r\n  2.2.2.2  =  spaced  \r\n=no address\r\n3.3.3.3\r\n4.4.4.4=a=b\r\n"
    "\t;5.5.5.5=comment\r\n[no close\r\n6.6.6.6=\"quoted\"\n7.7.7.7=cr only\r"
    "8.8.8.8=nul\0after\r\n\r\n9.9.9.9=\x1a\r\n[DNSList]\r\n10.0.0.1=second section\r\n")
LISTS = {
    "default_gbk": DEFAULT_LIST.encode("gbk"),
    "default_utf8": DEFAULT_LIST.encode("utf-8"),
    "default_utf8_mark": b"\xef\xbb\xbf" + DEFAULT_LIST.encode("utf-8"),
    "default_utf16": b"\xff\xfe" + DEFAULT_LIST.encode("utf-16-le"),
    "every_rule": EVERY_RULE.encode(),
    "traditional_gbk": "[DNSList]\r\n168.95.1.1=中華電信 臺北\r\n1.1.1.1=藝 螢\r\n".encode("gbk"),
    "accents_utf8": "[DNSList]\r\n1.1.1.1=Zürich\r\n2.2.2.2=Montréal · Genève\r\n".encode("utf-8"),
}

for folder, seeds in (("reply_corpus", SEEDS), ("list_corpus", LISTS)):
    here = os.path.join(FUZZ, folder)
    os.makedirs(here, exist_ok=True)
    for key, data in seeds.items():
        with open(os.path.join(here, key), "wb") as f:
            f.write(data)
    print("make_corpus: wrote", len(seeds), "seeds to", here)
