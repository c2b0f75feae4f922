#!/usr/bin/env bash
# Checks the built program as Windows will see it: a 32-bit GUI executable
# that imports only system DLLs, with ASLR and DEP on, and whose dialog
# carries the Chinese texts as the intended UTF-16.
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
echo "check-exe: $exe is a PE32 GUI program; imports: $(echo $imports); ASLR and DEP on; dialog texts present"
