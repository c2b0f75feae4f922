#!/usr/bin/env bash
# Proves the release reproducible: makes it in two copies of this tree, in
# folders of different names and depths, and fails unless the two exes and
# the two zips are the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copies=("$work/a" "$work/second/copy-with-a-longer-path")
for copy in "${copies[@]}"; do
  echo "== making the release in $copy"
  mkdir -p "$copy"
  # Tracked and new files as they are now, edits included.
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 cp --parents -t "$copy"
  (cd "$copy" && bash scripts/package.sh >"$copy.log" 2>&1) || { cat "$copy.log"; exit 1; }
done
zip=dist/dnscheck-$(head -n1 VERSION)-win32.zip
for file in build/release/dnscheck.exe "$zip"; do
  cmp "${copies[0]}/$file" "${copies[1]}/$file" || { echo "check-reproducible: $file differs" >&2; exit 1; }
done
echo "check-reproducible: two folders gave the same exe and zip: $(sha256sum <"${copies[0]}/$zip" | cut -d' ' -f1)"
