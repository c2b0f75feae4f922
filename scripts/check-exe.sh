#!/usr/bin/env bash
# Checks the built program as Windows will see it: a 32-bit GUI executable
# with ASLR and DEP on, importing only DLLs that Windows takes from System32
# whatever lies beside the exe, and only functions that Windows XP SP3 has,
# with the dialog's Chinese texts as UTF-16, a manifest that XP accepts and
# the repository's version information.
set -euo pipefail
exe=${1:-build/win32/dnscheck.exe}
fail() { echo "check-exe: $*" >&2; exit 1; }
dump=$(i686-w64-mingw32-objdump -p "$exe") || fail "not a PE file: $exe"

grep -q 'file format pei-i386' <<<"$dump" || fail "not a PE32 (i386) file"
grep -qE '^Subsystem\s+00000002' <<<"$dump" || fail "not a GUI program"
grep -q 'DYNAMIC_BASE' <<<"$dump" || fail "DYNAMIC_BASE (ASLR) is off"
grep -q 'NX_COMPAT' <<<"$dump" || fail "NX_COMPAT (DEP) is off"

# Windows resolves the imports before any code of the exe runs, and takes
# a DLL that is no KnownDLL from the exe's own folder first, where a planted
# copy would run inside the tool. Allowed: KnownDLLs of Windows 7 to 11,
# always taken from System32, and comctl32, which the manifest (checked
# below) binds to Common Controls 6.0. Anything else is loaded at run time
# from System32 by its full path.
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|comdlg32|msvcrt|ws2_32|comctl32)\.dll$'
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
echo "check-exe: imports from $(wc -w <<<"$dlls") DLLs:" $dlls
for dll in $dlls; do
  [[ $dll =~ $system_dlls ]] ||
    fail "imports $dll, neither a KnownDLL of Windows 7 to 11 nor bound by the manifest"
done

# XP SP3's loader refuses an exe that imports a function it lacks or whose
# header asks for a newer Windows.
for kind in OSystem Subsystem; do
  v=$(awk -v k=$kind '$1 == "Major" k "Version" { M = $2 } $1 == "Minor" k "Version" { m = $2 }
    END { print M "." m }' <<<"$dump")
  [[ $v =~ ^([0-9]+)\.([0-9]+)$ ]] && ((BASH_REMATCH[1] * 1000 + BASH_REMATCH[2] <= 5001)) ||
    fail "the PE header asks for $kind version '$v', not XP's 5.1 or lower"
done
xp_list=$(dirname "$0")/xp-imports.txt
unsourced=$(awk '!/^#/ && NF && NF < 3' "$xp_list")
[ -z "$unsourced" ] || fail "$xp_list gives no source for: $unsourced"
imports=$(sed -n '/^The Import Tables/,/^PE File Base Relocations/p' <<<"$dump" |
  awk '/DLL Name:/ { dll = tolower($3) } /^\t[0-9a-f]+\t/ && dll { print dll, ($3 ? $3 : "<none>") }')
[ -n "$imports" ] || fail "found no imports to check"
unlisted=$(grep -vxFf <(awk '!/^#/ && NF { print tolower($1), $2 }' "$xp_list") <<<"$imports") &&
  fail "imports what is not on the XP SP3 list (<none>: by ordinal, not checkable):" $unlisted
# The MinGW-w64 headers, set to XP, hide what is newer: they must declare every listed function.
{
  printf '#include <winsock2.h>\n#include <windows.h>\n#include <commctrl.h>\n'
  printf '#include <shlwapi.h>\nvoid* listed[] = {\n'
  awk '!/^#/ && NF >= 2 && tolower($1) != "msvcrt.dll" { printf "(void*)&%s,\n", $2 }' "$xp_list"
  printf '};\n'
} | i686-w64-mingw32-g++ -D_WIN32_WINNT=0x0501 -DWINVER=0x0501 -fsyntax-only -x c++ - ||
  fail "$xp_list lists a function that the headers do not declare for Windows XP"

python3 -c 'import sys; data = open(sys.argv[1], "rb").read()
sys.exit(next((t for t in sys.argv[2:] if t.encode("utf-16-le") not in data), None))' \
  "$exe" 开始 停止 宋体 "DNS 服务器检测" || fail "a dialog text (above) is missing from the binary"

# The manifest binds Common Controls 6.0 for the exe's own machine (i386,
# checked above, is x86), declares system DPI awareness, and holds nothing
# XP SP3's loader refuses.
res=$(mktemp --suffix=.res)
trap 'rm -f "$res"' EXIT
i686-w64-mingw32-windres -i "$exe" -O res -o "$res" || fail "windres cannot read the resources"
python3 "$(dirname "$0")/check_manifest.py" "$res" x86 || fail "the manifest is wrong (above)"
# The sources of both builds' manifests pass as well, also as a Windows
# editor may save them: with a UTF-8 mark before the XML.
for source in x86:dnscheck.manifest amd64:dnscheck-amd64.manifest; do
  manifest=$(dirname "$0")/../res/${source#*:}
  python3 "$(dirname "$0")/check_manifest.py" <(printf '\xef\xbb\xbf'; cat "$manifest") \
    "${source%%:*}" || fail "$manifest is wrong (above)"
done

# Version information as Explorer shows it, decoded back to source by windres.
version=$(head -n1 "$(dirname "$0")/../VERSION")
info=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null | sed -n '/^1 VERSIONINFO/,/^END/p')
for want in "FILEVERSION ${version//./, }, 0" "PRODUCTVERSION ${version//./, }, 0" \
    "BLOCK \"080404B0\"" "\"Translation\", 0x804, 1200" "\"FileVersion\", \"$version\"" \
    "\"ProductVersion\", \"$version\"" '"FileDescription", L"DNS \x670d\x52a1\x5668\x68c0\x6d4b"' \
    '"ProductName", "dnscheck"' '"OriginalFilename", "dnscheck.exe"' '"LegalCopyright", L"'; do
  grep -Fq -- "$want" <<<"$info" || fail "version information lacks $want"
done
echo "check-exe: $exe is a PE32 GUI program with ASLR and DEP, importing from those DLLs;" \
  "$(wc -l <<<"$imports") imports, each on the XP SP3 list; dialog texts, manifest and version $version" \
  "present"
