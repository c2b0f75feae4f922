#!/usr/bin/env python3
"""Checks a release zip as a Windows user will unpack it:

    check_package.py ZIP VERSION

the four entries in their order, named as Explorer on Chinese Windows
reads them, none read-only; the default list unchanged; the usage note as
Notepad wants it; SHA256SUMS right. (check-exe.sh checks the exe itself,
its version included, before it is packaged.)
"""
import hashlib
import os
import re
import struct
import sys
import unicodedata
import zipfile
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
NAMES = ["dnscheck.exe", "dns.ini", "使用说明.txt", "SHA256SUMS"]
UTF8_FLAG = 0x800
READ_ONLY = 0x01
# Notepad on XP does not wrap by default: a line past this many columns
# runs off a window of ordinary width.
NOTE_COLUMNS = 78

problems = []


def expect(condition, message):
    if not condition:
        problems.append(message)


def columns(line):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)


def unicode_path(extra):
    """The UTF-8 name from a Unicode path field, with the CRC it vouches for."""
    pos = 0
    while pos + 4 <= len(extra):
        field, size = struct.unpack_from("<HH", extra, pos)
        body = extra[pos + 4:pos + 4 + size]
        if field == 0x7075 and size >= 5 and body[0] == 1:
            return struct.unpack_from("<I", body, 1)[0], body[5:].decode("utf-8")
        pos += 4 + size
    return None


def check_entries(archive):
    infos = archive.infolist()
    expect([i.filename for i in infos] == NAMES, f"entries are {[i.filename for i in infos]}")
    for info in infos:
        expect(not info.flag_bits & UTF8_FLAG, f"{info.filename}: UTF-8 flag set")
        expect(info.create_system == 0, f"{info.filename}: not made on MS-DOS/Windows")
        expect(not info.external_attr & READ_ONLY, f"{info.filename}: unpacks read-only")
        if not info.filename.isascii():
            stored = info.filename.encode("gbk")
            expect(unicode_path(info.extra) == (zlib.crc32(stored), info.filename),
                   f"{info.filename}: Unicode path field missing or wrong")
    return {i.filename: archive.read(i) for i in infos}


def check_note(note):
    expect(note.startswith(b"\xef\xbb\xbf"), "usage note: no UTF-8 byte-order mark")
    text = note[3:].decode("utf-8")
    expect(text.count("\n") == text.count("\r\n") and "\r\n" in text,
           "usage note: not every line ends in CRLF")
    with open(os.path.join(ROOT, "res", "usage-zh.txt"), encoding="utf-8") as f:
        expect(text == f.read().replace("\n", "\r\n"), "usage note: differs from its source")
    for number, line in enumerate(text.split("\r\n"), 1):
        expect(columns(line) <= NOTE_COLUMNS, f"usage note: line {number} is too wide")
    # Every text the table can show has its own line of explanation.
    for word in ("正在验证", "拒绝解析", "无效解析", "请求超时", "未完成", "否", "是", "检测中", "超时",
                 "（空白）"):
        expect(re.search(f"^ +{word} +\\S", text, re.M), f"usage note: does not explain {word}")
    for word in ("“开始”", "“停止”", "GBK", "UTF-8", "SmartScreen", "Windows XP SP3", "Windows 11",
                 "certutil -hashfile"):
        expect(word in text, f"usage note: says nothing of {word}")


def check_sums(files):
    text = files["SHA256SUMS"].decode("utf-8")
    expected = "".join(f"{hashlib.sha256(files[n]).hexdigest()}  {n}\r\n" for n in NAMES[:3])
    expect(text == expected, "SHA256SUMS does not match the three files")


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: check_package.py ZIP VERSION")
    path, version = sys.argv[1:]
    expect(os.path.basename(path) == f"dnscheck-{version}-win32.zip", f"{path}: wrong name")
    with zipfile.ZipFile(path, metadata_encoding="gbk") as archive:
        files = check_entries(archive)
        if set(files) == set(NAMES):
            with open(os.path.join(ROOT, "res", "dns.ini"), "rb") as f:
                expect(files["dns.ini"] == f.read(), "dns.ini differs from res/dns.ini")
            check_note(files["使用说明.txt"])
            servers = files["dns.ini"].count(b"=")
            expect(f"默认列出 {servers} 个" in files["使用说明.txt"].decode("utf-8-sig"),
                   f"usage note: does not give the default list's {servers} servers")
            check_sums(files)
    if problems:
        sys.exit("check-package: " + "\ncheck-package: ".join(problems))
    print(f"check-package: {path}: four entries, note for Notepad, sums right")


if __name__ == "__main__":
    main()
