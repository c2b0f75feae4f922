#!/usr/bin/env python3
"""Writes the release zip from the built exe, the default list and the
usage note, checks it as a Windows user will unpack it, and prints its path:

    package.py VERSION EPOCH EXE DNS_INI NOTE_SOURCE OUT_DIR

Every entry carries the one time EPOCH (seconds), and is stored, not
deflated, so that the bytes depend on nothing but the inputs (not on the
installed zlib): the same inputs give the same zip.
"""
import hashlib
import os
import re
import struct
import sys
import time
import unicodedata
import zipfile
import zlib

NOTE_NAME = "使用说明.txt"


class NamedInCodePage936(zipfile.ZipInfo):
    """A name stored as code page 936 bytes without the UTF-8 flag: Explorer
    reads unflagged names in the OEM code page, 936 on Chinese Windows from
    XP to 11, and older versions ignore the flag. 7-Zip and Info-ZIP take
    the name from the Unicode path field (0x7075) on any system."""

    def _encodeFilenameFlags(self):
        return self.filename.encode("gbk"), self.flag_bits


def entry(name, epoch):
    # A zip time has no zone (UTC keeps it the same everywhere) and starts in 1980.
    info = NamedInCodePage936(name, time.gmtime(max(epoch, 315532800))[:6])
    if not name.isascii():
        body = struct.pack("<BI", 1, zlib.crc32(name.encode("gbk"))) + name.encode("utf-8")
        info.extra = struct.pack("<HH", 0x7075, len(body)) + body
    info.compress_type = zipfile.ZIP_STORED
    info.create_system = 0  # MS-DOS: the attributes below are Windows'
    # FILE_ATTRIBUTE_ARCHIVE, as Windows gives a file it unpacks; above all
    # not read-only, since the tool rewrites dns.ini where it was unpacked.
    info.external_attr = 0x20
    return info


def note_for_notepad(source):
    """UTF-8 with a byte-order mark and CRLF: Notepad shows it right on every
    Windows from XP on, whatever the code page for non-Unicode programs, so
    it stays readable where the tool's own texts are not (it says why)."""
    text = source.decode("utf-8")
    if text.startswith("\ufeff") or "\r" in text:
        raise ValueError("the note's source is kept as UTF-8 without BOM, with LF line ends")
    return b"\xef\xbb\xbf" + text.replace("\n", "\r\n").encode("utf-8")


def checksums(files):
    """sha256sum's format, UTF-8 without a mark (with one, `sha256sum -c`
    misses the first name) and CRLF, so every Notepad shows a file a line."""
    return "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" for name, data in files).encode()


# Every text the table can show; the note gives each a line of its own.
TABLE_TEXTS = ("正在验证", "拒绝解析", "无效解析", "请求超时", "未完成", "否", "是", "检测中", "超时",
               "（空白）")
TOPICS = ("“开始”", "“停止”", "GBK", "UTF-8", "SmartScreen", "Windows XP SP3", "Windows 11",
          "certutil -hashfile")
NOTE_COLUMNS = 78  # Notepad on XP does not wrap: a longer line runs off the window


def problems(archive):
    """What construction cannot vouch for, read back from the zip."""
    files = {info.filename: archive.read(info) for info in archive.infolist()}
    for info in archive.infolist():
        if info.external_attr & 0x01:  # FILE_ATTRIBUTE_READONLY: dns.ini could not be saved
            yield f"{info.filename} unpacks read-only"
    if files.get("SHA256SUMS") != checksums((n, d) for n, d in files.items() if n != "SHA256SUMS"):
        yield "SHA256SUMS does not match the files"
    note = files.get(NOTE_NAME, b"").decode("utf-8-sig")
    for number, line in enumerate(note.split("\r\n"), 1):
        if sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line) > NOTE_COLUMNS:
            yield f"usage note: line {number} is too wide"
    yield from (f"usage note: does not explain {t}" for t in TABLE_TEXTS
                if not re.search(f"^ +{t} +\\S", note, re.M))
    yield from (f"usage note: says nothing of {t}" for t in TOPICS if t not in note)
    servers = files.get("dns.ini", b"").count(b"=")
    if f"默认列出 {servers} 个" not in note:
        yield f"usage note: does not give the default list's {servers} servers"


def main():
    if len(sys.argv) != 7:
        sys.exit("usage: package.py VERSION EPOCH EXE DNS_INI NOTE_SOURCE OUT_DIR")
    version, epoch, exe, dns_ini, note, out_dir = sys.argv[1:]
    read = lambda path: open(path, "rb").read()
    files = [("dnscheck.exe", read(exe)), ("dns.ini", read(dns_ini)),
             (NOTE_NAME, note_for_notepad(read(note)))]
    files.append(("SHA256SUMS", checksums(files)))
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, f"dnscheck-{version}-win32.zip")
    with zipfile.ZipFile(path + ".part", "w") as archive:
        for name, data in files:
            archive.writestr(entry(name, int(epoch)), data)
    with zipfile.ZipFile(path + ".part", metadata_encoding="gbk") as archive:
        found = list(problems(archive))
    if found:
        sys.exit("package: " + "\npackage: ".join(found))
    os.replace(path + ".part", path)
    print(path)


if __name__ == "__main__":
    main()
