#!/usr/bin/env bash
# Two builds of the same source give the same bytes. Copies the source to a folder whose path has
# another length, builds velmora.exe, keytrace.exe and velmora-check.exe there with the windows preset, later and
# with another date and time zone as far as the compiler can tell, and compares them with the
# first build's. A difference names its first offset and the PE section that holds it.
# Usage: tests/exe/reproducible.sh SOURCE_DIR BUILD_DIR WORK_DIR EXE...   (EXE inside BUILD_DIR)
set -euo pipefail
source=$1 binary=$2 work=$3
shift 3
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}

rm -rf "$work"
copy=$work/second-copy-of-the-source
mkdir -p "$copy"
tar -C "$source" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$copy" -xf -
echo "building a second time, in $copy"
export SOURCE_DATE_EPOCH=$(($(date +%s) + 400 * 86400)) TZ=UTC-14
(cd "$copy" && cmake --preset windows && cmake --build --preset windows -j2 --target velmora keytrace velmora-check) \
  >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

# What holds a file offset: a section's raw data, or the headers in front of the first one.
where() {
  local offset=$1 exe=$2 pe=$3 name="the headers" index section start
  while read -r index section _ _ _ start _; do
    [[ $index =~ ^[0-9]+$ ]] && ((16#$start != 0 && 16#$start <= offset)) && name=$section
  done < <("$OBJDUMP" -h "$exe")
  ((offset >= pe + 8 && offset < pe + 12)) && name="the headers (link time stamp)"
  echo "$name"
}

status=0
for first in "$@"; do
  name=${first#"$binary"/}
  second=$copy/build/windows/$name
  if cmp -s "$first" "$second"; then
    echo "same bytes: $(sha256sum "$first" | cut -d' ' -f1)  $name"
    continue
  fi
  status=1
  # The first difference, leaving out the PE CheckSum (it follows any change), and the first one
  # past the headers (the headers' sizes and addresses follow the sections).
  pe=$(od -An -tu4 -j 60 -N 4 "$first" | tr -d ' ')
  headers=$(od -An -tu4 -j $((pe + 84)) -N 4 "$first" | tr -d ' ')
  read -r offset body < <(cmp -l "$first" "$second" 2>/dev/null | awk -v sum=$((pe + 88)) -v headers="$headers" '
    a == "" && ($1 - 1 < sum || $1 - 1 >= sum + 4) { a = $1 - 1 } $1 - 1 >= headers { b = $1 - 1; exit }
    END { print a, b }' || true)
  [[ -n $offset ]] || offset=$(stat -c %s "$first" "$second" | sort -n | head -n 1)  # one ends early
  printf 'FAIL: %s: SHA-256 %s, built again %s; first difference at offset 0x%X, in %s' "$name" \
    "$(sha256sum "$first" | cut -d' ' -f1)" "$(sha256sum "$second" | cut -d' ' -f1)" "$offset" "$(where "$offset" "$first" "$pe")"
  [[ -z $body || $body == "$offset" ]] || printf '; first past the headers at 0x%X, in %s' "$body" "$(where "$body" "$first" "$pe")"
  echo
done
exit "$status"
