#!/usr/bin/env bash
# Builds the program a second time from a copy of the sources in another folder, and compares the bytes:
#   check-reproducible.sh PROGRAM SOURCE_DIR WORK_DIR TOOLCHAIN_FILE BUILD_TYPE TARGET
# PROGRAM is the image of this build; TOOLCHAIN_FILE is relative to SOURCE_DIR. The copy holds the files
# that git sees in SOURCE_DIR (tracked and new, not ignored), as they are on disk. The second build runs
# later, under another path, time zone, locale and umask; only TARGET is built. WORK_DIR is emptied
# first and removed when the bytes are equal.
set -euo pipefail
program=$1 source_dir=$2 work_dir=$3 toolchain=$4 build_type=$5 target=$6

rm -rf "$work_dir"
# A longer path than the first build's, so that a path that leaks into the image changes its size.
copy=$work_dir/another/source/folder
"$(dirname "$0")/copy-sources.sh" "$source_dir" "$copy"

(
  umask 077
  export TZ=Pacific/Kiritimati LC_ALL=C
  unset SOURCE_DATE_EPOCH
  cmake -S "$copy" -B "$copy/out" -DCMAKE_TOOLCHAIN_FILE="$copy/$toolchain" -DCMAKE_BUILD_TYPE="$build_type" \
    -DTESSALINE_TESTS=OFF >/dev/null
  cmake --build "$copy/out" --target "$target" -j"$(nproc)" >/dev/null
)
second=$copy/out/bin/$(basename "$program")

echo "first:  $(sha256sum "$program" | cut -d' ' -f1)  $(stat -c %s "$program") bytes"
echo "second: $(sha256sum "$second" | cut -d' ' -f1)  $(stat -c %s "$second") bytes"
if cmp -s "$program" "$second"; then
  rm -rf "$work_dir"
  echo "the two builds are byte-identical"
else
  echo "FAIL: the two builds differ; the first differing bytes (offset, octal values):"
  cmp -l "$program" "$second" | head -n 20 || true
  echo "the second build is kept in $copy/out"
  exit 1
fi
