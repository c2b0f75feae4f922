#!/usr/bin/env python3
"""Checks what package.py cannot vouch for by construction, in the zip a
Windows user unpacks: no entry read-only, SHA256SUMS true to the bytes
packed, and the usage note fit for the list and the window it describes.

    check_package.py ZIP
"""
import hashlib
import re
import sys
import unicodedata
import zipfile

# Every text the table can show; the note gives each a line of its own.
TABLE_TEXTS = ("正在验证", "拒绝解析", "无效解析", "请求超时", "未完成", "否", "是", "检测中", "超时",
               "（空白）")
TOPICS = ("“开始”", "“停止”", "GBK", "UTF-8", "SmartScreen", "Windows XP SP3", "Windows 11",
          "certutil -hashfile")
NOTE_COLUMNS = 78  # Notepad on XP does not wrap: a longer line runs off the window


def problems(archive):
    files = {info.filename: archive.read(info) for info in archive.infolist()}
    for info in archive.infolist():
        if info.external_attr & 0x01:  # FILE_ATTRIBUTE_READONLY: dns.ini could not be saved
            yield f"{info.filename} unpacks read-only"
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" for name, data in files.items()
                   if name != "SHA256SUMS")
    if files.get("SHA256SUMS", b"").decode("utf-8") != sums:
        yield "SHA256SUMS does not match the files"
    note = files.get("使用说明.txt", b"").decode("utf-8-sig")
    for number, line in enumerate(note.split("\r\n"), 1):
        if sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line) > NOTE_COLUMNS:
            yield f"usage note: line {number} is too wide"
    yield from (f"usage note: does not explain {t}" for t in TABLE_TEXTS
                if not re.search(f"^ +{t} +\\S", note, re.M))
    yield from (f"usage note: says nothing of {t}" for t in TOPICS if t not in note)
    servers = files.get("dns.ini", b"").count(b"=")
    if f"默认列出 {servers} 个" not in note:
        yield f"usage note: does not give the default list's {servers} servers"


if __name__ == "__main__":
    with zipfile.ZipFile(sys.argv[1], metadata_encoding="gbk") as zip_file:
        found = list(problems(zip_file))
    if found:
        sys.exit("check-package: " + "\ncheck-package: ".join(found))
    print(f"check-package: {sys.argv[1]}: sums right, note fit for Notepad and the list")
