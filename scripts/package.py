#!/usr/bin/env python3
"""Writes the release zip from the built exe, the default list and the
usage note:

    package.py VERSION EPOCH EXE DNS_INI NOTE_SOURCE OUT_DIR

EPOCH (seconds) is the one time every entry carries, so the same inputs
give the same zip byte for byte. Prints the zip's path.
"""
import hashlib
import os
import struct
import sys
import time
import zipfile
import zlib

NOTE_NAME = "使用说明.txt"
UTF8_BOM = b"\xef\xbb\xbf"
# FILE_ATTRIBUTE_ARCHIVE, what Windows itself gives a file it unpacks; above
# all not read-only, since the tool rewrites dns.ini where it was unpacked.
WINDOWS_ATTRIBUTES = 0x20
MS_DOS = 0
UNICODE_PATH_FIELD = 0x7075


class NamedInCodePage936(zipfile.ZipInfo):
    """An entry whose name is stored as code page 936 bytes without the
    UTF-8 flag. Explorer reads unflagged names in the OEM code page, which
    is 936 on Chinese Windows from XP to 11, while older versions ignore
    the flag. Tools that read the Unicode path field (7-Zip, Info-ZIP) get
    the name from it on any system."""

    def _encodeFilenameFlags(self):
        return self.filename.encode("gbk"), self.flag_bits


def unicode_path_field(name):
    stored = name.encode("gbk")
    body = struct.pack("<BI", 1, zlib.crc32(stored)) + name.encode("utf-8")
    return struct.pack("<HH", UNICODE_PATH_FIELD, len(body)) + body


def entry(name, date_time):
    if name.isascii():
        info = zipfile.ZipInfo(name, date_time)
    else:
        info = NamedInCodePage936(name, date_time)
        info.extra = unicode_path_field(name)
    # Stored, not deflated: the bytes then depend on nothing but the inputs,
    # not on the zlib that happens to be installed.
    info.compress_type = zipfile.ZIP_STORED
    info.create_system = MS_DOS
    info.external_attr = WINDOWS_ATTRIBUTES
    return info


def note_for_notepad(source):
    """UTF-8 with a byte-order mark and CRLF: Notepad opens it right on every
    Windows from XP on, whatever the code page for non-Unicode programs, so
    the note stays readable on the very systems where the tool's own texts
    are not (the note says how to fix that)."""
    text = source.decode("utf-8")
    if text.startswith("\ufeff") or "\r" in text:
        raise ValueError("the note's source is kept as UTF-8 without BOM, with LF line ends")
    return UTF8_BOM + text.replace("\n", "\r\n").encode("utf-8")


def checksums(files):
    """sha256sum's format. CRLF, so every Notepad shows one file a line;
    UTF-8 without a byte-order mark, the encoding in which `sha256sum -c`
    finds an unpacked 使用说明.txt by its name (a mark would hide the first
    line from it). The hashes people compare by eye are ASCII anyway."""
    lines = (f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" for name, data in files)
    return "".join(lines).encode("utf-8")


def dos_date_time(epoch):
    # A zip time has no zone; UTC keeps it the same on every build machine.
    t = time.gmtime(max(epoch, 315532800))  # zip times start in 1980
    return t[:6]


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
    partial = path + ".part"
    date_time = dos_date_time(int(epoch))
    with zipfile.ZipFile(partial, "w") as archive:
        for name, data in files:
            archive.writestr(entry(name, date_time), data)
    os.replace(partial, path)
    print(path)


if __name__ == "__main__":
    main()
