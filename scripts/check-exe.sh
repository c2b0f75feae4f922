#!/usr/bin/env bash
# Checks the built program as Windows will see it: a 32-bit GUI executable
# that imports only system DLLs, with ASLR and DEP on, whose dialog
# carries the Chinese texts as the intended UTF-16, and whose version
# information is the repository's.
set -euo pipefail
exe=${1:-build/win32/dnscheck.exe}
dump=$(i686-w64-mingw32-objdump -p "$exe")
fail() { echo "check-exe: $*" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$dump" || fail "not a PE32 (i386) file"
grep -qE '^Subsystem\s+00000002' <<<"$dump" || fail "not a GUI program"
grep -q 'DYNAMIC_BASE' <<<"$dump" || fail "DYNAMIC_BASE (ASLR) is off"
grep -q 'NX_COMPAT' <<<"$dump" || fail "NX_COMPAT (DEP) is off"

allowed='^(kernel32|user32|gdi32|comctl32|ws2_32|winmm|shlwapi|advapi32|msvcrt|shell32|ole32)\.dll$'
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
  [[ $dll =~ $allowed ]] || [[ $dll == api-ms-win-* ]] || fail "imports a non-system DLL: $dll"
done

# Windows XP SP3 is the oldest Windows the tool runs on, and its loader
# refuses an exe that imports a function it lacks or whose header asks for
# a newer Windows. scripts/xp-imports.txt lists what may be imported, each
# with where its presence on XP SP3 was confirmed; the headers of MinGW-w64,
# set to XP, must also declare every function on it.
xp_list=$(dirname "$0")/xp-imports.txt
xp_summary=$(PE_DUMP=$dump python3 - "$xp_list" <<'PY'
import os, re, sys
listed = set()
for line in open(sys.argv[1], encoding="utf-8"):
    fields = line.split()
    if not fields or fields[0].startswith("#"):
        continue
    if len(fields) < 3:
        sys.exit(f"{sys.argv[1]}: no source given for: {line.strip()}")
    listed.add((fields[0].lower(), fields[1]))
dump = os.environ["PE_DUMP"]
problems = []
versions = {}
for kind, said in (("OSystem", "OS"), ("Subsystem", "subsystem")):
    found = [re.search(rf"^{part}{kind}Version\s+(\d+)$", dump, re.M) for part in ("Major", "Minor")]
    if None in found:
        sys.exit(f"no {said} version in the PE header")
    versions[kind] = tuple(int(m.group(1)) for m in found)
    if versions[kind] > (5, 1):
        problems.append("the PE header asks for %s version %d.%d, above XP's 5.1" % (said, *versions[kind]))
imports = []
dll = None
for line in dump[dump.find("The Import Tables"):].splitlines():
    if line.startswith("PE File Base Relocations"):
        break
    named = re.match(r"\s*DLL Name: (\S+)", line)
    member = re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S*)", line)
    if named:
        dll = named.group(1).lower()
    elif member and dll:
        imports.append((dll, member.group(1)))
if not imports:
    sys.exit("found no imports to check")
for dll, function in imports:
    if function in ("", "<none>"):
        problems.append(f"imports by ordinal from {dll}, which cannot be checked")
    elif (dll, function) not in listed:
        problems.append(f"imports {dll} {function}, which is not on the XP SP3 list")
if problems:
    sys.exit("\n".join(problems))
print("%d imports, each on the XP SP3 list; OS version %d.%d, subsystem version %d.%d"
      % (len(imports), *versions["OSystem"], *versions["Subsystem"]))
PY
) || fail "the exe would not start on Windows XP SP3 (above)"
{
  printf '#include <winsock2.h>\n#include <windows.h>\n#include <commctrl.h>\n'
  printf '#include <mmsystem.h>\n#include <shlwapi.h>\nvoid* listed[] = {\n'
  awk '!/^#/ && NF >= 2 && tolower($1) != "msvcrt.dll" { printf "(void*)&%s,\n", $2 }' "$xp_list"
  printf '};\n'
} | i686-w64-mingw32-g++ -D_WIN32_WINNT=0x0501 -DWINVER=0x0501 -fsyntax-only -x c++ - ||
  fail "$xp_list lists a function that the headers do not declare for Windows XP"
echo "check-exe: $xp_summary"

python3 - "$exe" <<'PY' || fail "dialog texts missing from the binary"
import sys
data = open(sys.argv[1], "rb").read()
for text in ("开始", "停止", "宋体", "DNS 服务器检测"):
    if text.encode("utf-16-le") not in data:
        sys.exit(f"missing {text}")
PY
# Version information as Explorer shows it: the repository's version, in
# Chinese (language 2052, UTF-16 texts). windres decodes it back to source.
version=$(head -n1 "$(dirname "$0")/../VERSION")
info=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null | sed -n '/^1 VERSIONINFO/,/^END/p')
for want in "FILEVERSION ${version//./, }, 0" "PRODUCTVERSION ${version//./, }, 0" \
    "BLOCK \"080404B0\"" "\"Translation\", 0x804, 1200" "\"FileVersion\", \"$version\"" \
    "\"ProductVersion\", \"$version\"" '"FileDescription", L"DNS \x670d\x52a1\x5668\x68c0\x6d4b"' \
    '"ProductName", "dnscheck"' '"OriginalFilename", "dnscheck.exe"' '"LegalCopyright", L"'; do
  grep -Fq -- "$want" <<<"$info" || fail "version information lacks $want"
done
echo "check-exe: version information $version (language 2052) present"

echo "check-exe: $exe is a PE32 GUI program; imports: $(echo $imports); ASLR and DEP on; dialog texts present"
