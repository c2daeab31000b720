#!/usr/bin/env bash
# The checks' own rules, each seen failing on an input made to break it, and passing on one that keeps it:
# the lint's pin of every workflow action by a full commit (scripts/lib/lint-rules.sh), and the image
# check's size budget, which holds for an image of Debian's linker only (tests/check-image.sh).
#   check-rules.sh PROGRAM OBJDUMP WINDRES PROCESSOR WORK_DIR
set -euo pipefail
program=$1 objdump=$2 windres=$3 processor=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/lib/lint-rules.sh
. "$here/../scripts/lib/lint-rules.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$work"
mkdir -p "$work"

# The lint's pin rule: a short commit, a tag and a commit without its release fail; a full one with it passes.
commit=3d3c42e5aac5ba805825da76410c181273ba90b1
workflow() { printf 'jobs:\n  a:\n    steps:\n      - uses: %s\n' "$1" >"$work/workflow.yml"; }
for use in "actions/checkout@${commit:0:12} # v7.0.1" "actions/checkout@v7.0.1" "actions/checkout@$commit"; do
  workflow "$use"
  if unpinned_actions "$work/workflow.yml" >"$work/lint.log"; then
    fail "the lint takes 'uses: $use'"
  elif ! grep -q 'workflow.yml:4: not pinned' "$work/lint.log"; then
    fail "the lint's finding for 'uses: $use' does not name its line: $(cat "$work/lint.log")"
  fi
done
workflow "actions/checkout@$commit # v7.0.1"
unpinned_actions "$work/workflow.yml" >"$work/lint.log" || fail "the lint refuses a full commit: $(cat "$work/lint.log")"

# The image check's budget: the program with bytes appended past its budget, once as Debian's linker made it
# (its version in the header: it must fail), and once with another linker's (its size fails nothing).
# The budget and the linker it holds for, as check-image.sh states them.
[ "$processor" = x86 ] && format=pei-i386 || format=pei-x86-64
budget=$(sed -n "s/.*format=$format budget=\([0-9]*\).*/\1/p" "$here/check-image.sh")
budget_linker=$(sed -n 's/^budget_linker=//p' "$here/check-image.sh")
[ -n "$budget" ] && [ -n "$budget_linker" ] || { echo "FAIL: check-image.sh states no budget or linker"; exit 1; }
linker_version_at() { # the optional header's MajorLinkerVersion byte
  echo $(($(od -An -tu4 -j60 -N4 "$1" | tr -d ' ') + 24 + 2))
}
image() { # OUT MAJOR MINOR
  cp "$program" "$1"
  head -c $((budget + 1)) /dev/zero >>"$1"
  printf "\\x$(printf %02x "$2")\\x$(printf %02x "$3")" |
    dd of="$1" bs=1 seek="$(linker_version_at "$1")" conv=notrunc status=none
}
run_image_check() { "$here/check-image.sh" "$1" "$objdump" "$windres" "$processor" >"$work/image.log" 2>&1; }
image "$work/debian.exe" "${budget_linker%%.*}" "$((10#${budget_linker#*.}))"
if run_image_check "$work/debian.exe"; then
  fail "an image of linker $budget_linker over the budget passes: $(cat "$work/image.log")"
elif ! grep -q 'over the budget' "$work/image.log"; then
  fail "an image over the budget fails for another reason: $(cat "$work/image.log")"
fi
image "$work/other.exe" 2 45
run_image_check "$work/other.exe" || fail "another linker's image is held to the budget: $(cat "$work/image.log")"
grep -q '^size: .*linker 2\.45: no budget' "$work/image.log" || fail "no note of the other linker: $(cat "$work/image.log")"

if [ "$failures" -eq 0 ]; then
  echo "rule checks passed: the lint's pin rule (4 uses) and the image check's budget (linkers $budget_linker and 2.45)"
else
  exit 1
fi
