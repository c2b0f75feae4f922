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
