#!/usr/bin/env python3
"""Reads the version information back out of a PE file, as Explorer would.

    exe_version.py FILE

Prints one key=value line per fact, for the checks to compare:
  language=2052                       (one line per language of the resource)
  fixed.file=1.0.0.0                  (VS_FIXEDFILEINFO's numbers)
  fixed.product=1.0.0.0
  translation=0804 1200               (VarFileInfo: language and code page)
  080404B0.FileDescription=...        (each string, under its table's key)
Exits non-zero, saying why, when the file has no readable version resource.
"""
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class Malformed(Exception):
    pass


def unpack(fmt, data, offset):
    if offset < 0 or offset + struct.calcsize(fmt) > len(data):
        raise Malformed(f"read of {fmt} at {offset} runs past {len(data)} bytes")
    return struct.unpack_from(fmt, data, offset)


def resource_section(pe):
    """Returns (bytes of the resource tree, its RVA) or raises Malformed."""
    if pe[:2] != b"MZ":
        raise Malformed("no MZ header")
    (header,) = unpack("<I", pe, 0x3C)
    if pe[header:header + 4] != b"PE\0\0":
        raise Malformed("no PE signature")
    coff = header + 4
    sections, optional_size = unpack("<H12xH", pe, coff + 2)
    optional = coff + 20
    (magic,) = unpack("<H", pe, optional)
    directories = {0x10B: 96, 0x20B: 112}.get(magic)
    if directories is None:
        raise Malformed(f"unknown optional header magic {magic:#x}")
    (count,) = unpack("<I", pe, optional + directories - 4)
    if count <= 2:
        raise Malformed("no resource directory entry")
    rsrc_rva, rsrc_size = unpack("<II", pe, optional + directories + 2 * 8)
    if rsrc_rva == 0:
        raise Malformed("no resources")
    table = optional + optional_size
    for i in range(sections):
        vsize, vaddr, raw_size, raw_ptr = unpack("<8xIIII", pe, table + 40 * i)
        if vaddr <= rsrc_rva < vaddr + max(vsize, raw_size):
            start = raw_ptr + (rsrc_rva - vaddr)
            return pe[start:start + rsrc_size], rsrc_rva
    raise Malformed("resource directory lies in no section")


def directory_entries(tree, offset):
    """Yields (id, offset, is_directory) for the numbered entries of a level."""
    named, numbered = unpack("<12xHH", tree, offset)
    for i in range(named, named + numbered):
        ident, target = unpack("<II", tree, offset + 16 + 8 * i)
        yield ident, target & 0x7FFFFFFF, bool(target & 0x80000000)


def version_resources(pe):
    """Returns {language: bytes} for version resource 1."""
    tree, rsrc_rva = resource_section(pe)
    found = {}
    for type_id, type_dir, is_dir in directory_entries(tree, 0):
        if type_id != RT_VERSION or not is_dir:
            continue
        for name_id, name_dir, is_dir in directory_entries(tree, type_dir):
            if name_id != 1 or not is_dir:
                continue
            for language, entry, is_dir in directory_entries(tree, name_dir):
                if is_dir:
                    raise Malformed("a language entry that is a directory")
                data_rva, size = unpack("<II", tree, entry)
                start = data_rva - rsrc_rva
                if start < 0 or start + size > len(tree):
                    raise Malformed("version data outside the resource section")
                found[language] = tree[start:start + size]
    if not found:
        raise Malformed("no version resource")
    return found


def align4(n):
    return (n + 3) & ~3


def read_node(data, offset):
    """One VS_VERSIONINFO-style node: (key, value bytes, value type, children, end)."""
    length, value_length, value_type = unpack("<HHH", data, offset)
    end = offset + length
    if length < 6 or end > len(data):
        raise Malformed(f"node at {offset} has length {length}")
    key_start = offset + 6
    key_end = key_start
    while True:
        if key_end + 2 > end:
            raise Malformed(f"unterminated key at {offset}")
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    value_start = align4(key_end + 2)
    # Text values count UTF-16 units, binary ones count bytes.
    value_bytes = value_length * 2 if value_type == 1 else value_length
    value = data[value_start:min(value_start + value_bytes, end)]
    children = []
    child = align4(value_start + value_bytes)
    while child < end:
        node = read_node(data, child)
        children.append(node)
        child = align4(node[4])
    return key, value, value_type, children, end


def dotted(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def describe(block):
    key, value, _, children, _ = read_node(block, 0)
    if key != "VS_VERSION_INFO":
        raise Malformed(f"root key is {key!r}")
    signature, _, file_ms, file_ls, product_ms, product_ls = unpack("<6I", value, 0)
    if signature != FIXED_SIGNATURE:
        raise Malformed(f"fixed file info signature {signature:#x}")
    lines = [f"fixed.file={dotted(file_ms, file_ls)}",
             f"fixed.product={dotted(product_ms, product_ls)}"]
    for child_key, _, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for table, _, _, strings, _ in tables:
                for name, text, _, _, _ in strings:
                    lines.append(f"{table}.{name}={text.decode('utf-16-le').rstrip(chr(0))}")
        elif child_key == "VarFileInfo":
            for var, pairs, _, _, _ in tables:
                if var == "Translation":
                    for i in range(0, len(pairs) - 3, 4):
                        language, code_page = unpack("<HH", pairs, i)
                        lines.append(f"translation={language:04X} {code_page}")
    return lines


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: exe_version.py FILE")
    with open(sys.argv[1], "rb") as f:
        pe = f.read()
    try:
        for language, block in sorted(version_resources(pe).items()):
            print(f"language={language}")
            print("\n".join(describe(block)))
    except Malformed as e:
        sys.exit(f"exe_version: {sys.argv[1]}: {e}")


if __name__ == "__main__":
    main()
