#!/usr/bin/env python3
"""Checks the application manifest as Windows XP SP3 to 11 read it:

    check_manifest.py FILE ARCH

FILE is the manifest or a compiled resource file (.res, as windres writes
it from an exe) holding it as resource 1; ARCH is the exe's
processorArchitecture (x86, amd64). The manifest must be well-formed XML,
bind Common Controls 6.0 for ARCH, declare system DPI awareness, and hold
nothing XP's loader refuses. Exits 1 with the faults found.
"""
import codecs
import struct
import sys
import xml.etree.ElementTree as ET
from io import BytesIO

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
RT_MANIFEST = 24
COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                   "version": "6.0.0.0", "publicKeyToken": "6595b64144ccf1df", "language": "*"}
# What XP's loader knows in the asm.v1 namespace; Vista's additions
# (application, trustInfo, compatibility...) there make it refuse the exe.
XP_ELEMENTS = {"assembly", "assemblyIdentity", "dependency", "dependentAssembly", "description",
               "file", "comClass", "typelib", "comInterfaceExternalProxyStub",
               "comInterfaceProxyStub", "windowClass", "noInherit", "noInheritable"}


def resource_id(data, at):
    """A name or type field of a .res header: (value, offset after it)."""
    if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0]:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def manifest_in_res(data):
    """Resource 1 of type RT_MANIFEST, or None, also where the bytes are
    not a resource file at all."""
    at = 0
    try:
        while at + 8 <= len(data):
            size, header = struct.unpack_from("<II", data, at)
            kind, after = resource_id(data, at + 8)
            name, _ = resource_id(data, after)
            if kind == RT_MANIFEST and name == 1:
                return data[at + header:at + header + size]
            at = (at + header + size + 3) & ~3
    except (struct.error, UnicodeDecodeError):
        pass
    return None


def faults(text, arch):
    found = []
    # Namespaces declared on each element, from the raw start tags.
    try:
        declared = []
        for event, item in ET.iterparse(BytesIO(text), events=("start-ns", "start")):
            if event == "start-ns":
                declared.append(item[1])
                continue
            if len(set(declared)) != len(declared):
                found.append(f"<{item.tag.rpartition('}')[2]}> declares a namespace twice ({', '.join(declared)}),"
                             " which crashes XP SP2's loader")
            declared = []
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return [f"not well-formed XML: {e}"]

    v1 = lambda name: f"{{{ASM_V1}}}{name}"
    if root.tag != v1("assembly"):
        found.append(f"the root is {root.tag}, not assembly in {ASM_V1}")
    for element in root.iter():
        namespace, _, local = element.tag[1:].partition("}")
        if namespace == ASM_V1 and local not in XP_ELEMENTS:
            found.append(f"<{local}> in the asm.v1 namespace, which XP refuses")

    binds = [i.attrib for i in root.findall(f"{v1('dependency')}/{v1('dependentAssembly')}/"
                                            f"{v1('assemblyIdentity')}")]
    wanted = dict(COMMON_CONTROLS, processorArchitecture=arch)
    if not any(all(b.get(k) == v for k, v in wanted.items()) for b in binds):
        found.append(f"no dependency on Common Controls 6.0 for {arch}: {binds}")

    aware = root.findall(f"{{{ASM_V3}}}application/{{{ASM_V3}}}windowsSettings/"
                         f"{{{SETTINGS_2005}}}dpiAware")
    if [a.text.strip() if a.text else "" for a in aware] != ["true"]:
        found.append(f"no single <dpiAware>true</dpiAware> of {SETTINGS_2005} in "
                     f"<application><windowsSettings> of {ASM_V3}")
    for element in root.iter():
        if element.tag.endswith("}dpiAwareness"):
            found.append("<dpiAwareness> asks for per-monitor awareness, which the window lacks")
    return found


def main():
    path, arch = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        data = f.read()
    # A manifest saved by a Windows editor may start with a UTF-8 mark,
    # which the XML parser reads as such.
    is_xml = data.removeprefix(codecs.BOM_UTF8).lstrip().startswith(b"<")
    text = data if is_xml else manifest_in_res(data)
    problems = ["no manifest (resource 1 of type RT_MANIFEST)"] if text is None else faults(text, arch)
    for p in problems:
        print(f"manifest: {p}", file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
