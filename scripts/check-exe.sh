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

python3 - "$exe" <<'PY' || fail "dialog texts missing from the binary"
import sys
data = open(sys.argv[1], "rb").read()
for text in ("开始", "停止", "宋体", "DNS 服务器检测"):
    if text.encode("utf-16-le") not in data:
        sys.exit(f"missing {text}")
PY
# Version information: present, in Chinese (2052), and carrying the
# repository's version both as numbers and as the texts Explorer shows.
version=$(head -n1 "$(dirname "$0")/../VERSION")
info=$(python3 "$(dirname "$0")/exe_version.py" "$exe") || fail "no readable version information"
for line in language=2052 "fixed.file=$version.0" "fixed.product=$version.0" "translation=0804 1200" \
    "080404B0.FileVersion=$version" "080404B0.ProductVersion=$version" \
    "080404B0.FileDescription=DNS 服务器检测" "080404B0.ProductName=dnscheck" \
    "080404B0.OriginalFilename=dnscheck.exe"; do
  grep -Fqx -- "$line" <<<"$info" || fail "version information lacks '$line'"
done
grep -q '^080404B0\.LegalCopyright=..' <<<"$info" || fail "version information has no copyright"
echo "check-exe: version information $version (language 2052) present"

echo "check-exe: $exe is a PE32 GUI program; imports: $(echo $imports); ASLR and DEP on; dialog texts present"
