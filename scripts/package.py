#!/usr/bin/env python3
"""Writes the release zip from the built exe, the default list and the
usage note, and prints its path:

    package.py VERSION EPOCH EXE DNS_INI NOTE_SOURCE OUT_DIR

Every entry carries the one time EPOCH (seconds), and is stored, not
deflated, so that the bytes depend on nothing but the inputs (not on the
installed zlib): the same inputs give the same zip.
"""
import hashlib
import os
import struct
import sys
import time
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
    info = (zipfile.ZipInfo if name.isascii() else NamedInCodePage936)(
        name, time.gmtime(max(epoch, 315532800))[:6])
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


def main():
    if len(sys.argv) != 7:
        sys.exit("usage: package.py VERSION EPOCH EXE DNS_INI NOTE_SOURCE OUT_DIR")
    version, epoch, exe, dns_ini, note, out_dir = sys.argv[1:]
    read = lambda path: open(path, "rb").read()
    files = [("dnscheck.exe", read(exe)), ("dns.ini", read(dns_ini)),
             (NOTE_NAME, note_for_notepad(read(note)))]
    # sha256sum's format, UTF-8 without a mark (with one, `sha256sum -c`
    # misses the first name) and CRLF, so every Notepad shows a file a line.
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" for name, data in files)
    files.append(("SHA256SUMS", sums.encode("utf-8")))
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, f"dnscheck-{version}-win32.zip")
    with zipfile.ZipFile(path + ".part", "w") as archive:
        for name, data in files:
            archive.writestr(entry(name, int(epoch)), data)
    os.replace(path + ".part", path)
    print(path)


if __name__ == "__main__":
    main()
