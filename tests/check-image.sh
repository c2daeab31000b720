#!/usr/bin/env bash
# Checks the built program's image without running it:
#   check-image.sh PROGRAM OBJDUMP WINDRES PROCESSOR
# PE format of the target, GUI subsystem, ASLR and DEP, imports from kernel32, advapi32 and msvcrt only
# (a static runtime), not msvcrt's abort (the process guard's replaces it), exactly one application
# manifest, a version resource, and a size within the budget of the toolchain that linked it.
set -euo pipefail
program=$1 objdump=$2 windres=$3 processor=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$program")

# The size budget: a little above what the program needs today, so that a change that brings back a
# large part of the C++ runtime (string streams and locales took it past 1 MB) fails here. It was measured
# with Debian 12's toolchain (GCC 12, binutils 2.40), which builds the release, and holds for an image that
# its linker made, as the linker version in the image's header says. Another toolchain's runtime is of
# another size (MSYS2's, four GCC majors newer, is larger): its image's size and imports are reported, and
# its size fails nothing.
case "$processor" in
  x86) format=pei-i386 budget=262144 ;;
  *) format=pei-x86-64 budget=184320 ;;
esac
budget_linker=2.40
grep -q "file format $format" <<<"$headers" || fail "not a $format image"
grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$headers" || fail "not the Windows GUI subsystem"

# The hardening the build gives: ASLR, with the relocations it moves the image by, and DEP; on x86_64 the
# high-entropy, 64-bit ASLR as well.
hardening=(DYNAMIC_BASE NX_COMPAT)
[ "$processor" = x86 ] || hardening+=(HIGH_ENTROPY_VA)
characteristics=$(sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$headers")
for flag in "${hardening[@]}"; do
  grep -qw "$flag" <<<"$characteristics" || fail "not $flag (DllCharacteristics: $(head -n1 <<<"$characteristics"))"
done
grep -q 'Base Relocation Directory \[\.reloc\]' <<<"$headers" || fail "no relocations for DYNAMIC_BASE to move it by"

# The DLLs that the README promises, and no other.
allowed_dlls='^(kernel32|advapi32|msvcrt)\.dll$'
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || fail "no imports found"
while read -r dll; do
  [ -z "$dll" ] && continue
  grep -Eq "$allowed_dlls" <<<"$dll" || fail "imports $dll; only kernel32, advapi32 and msvcrt are allowed"
done <<<"$imports"

# The process guard replaces the runtime's abort(), whose own shows a message box before it ends the run.
msvcrt_functions=$(awk '/DLL Name:/ { inside = tolower($3) == "msvcrt.dll"; next } inside && NF >= 3 { print $NF }' \
  <<<"$headers")
[ -n "$msvcrt_functions" ] || fail "no functions imported from msvcrt.dll found"
! grep -qx abort <<<"$msvcrt_functions" || fail "imports abort from msvcrt.dll: the guard's own abort() is not linked"

resources=$("$windres" --input-format=coff --output-format=rc "$program" 2>/dev/null) || fail "cannot read resources"
manifests=$(grep -Ec '^[^/]*[[:space:]](24|RT_MANIFEST)[[:space:]]' <<<"$resources" || true)
[ "$manifests" -eq 1 ] || fail "$manifests manifests instead of exactly one"
# windres writes the manifest as an RC string, with its quotes doubled.
grep -Eq 'level="{1,2}asInvoker"' <<<"$resources" || fail "manifest without asInvoker"
grep -q 'PerMonitorV2' <<<"$resources" || fail "manifest does not declare PerMonitorV2 DPI awareness"
grep -q 'VERSIONINFO' <<<"$resources" || fail "no version resource"

size=$(stat -c %s "$program")
linker=$(awk '$1 == "MajorLinkerVersion" { major = $2 } $1 == "MinorLinkerVersion" { minor = $2 }
  END { print major "." minor }' <<<"$headers")
if [ "$linker" = "$budget_linker" ]; then
  [ "$size" -le "$budget" ] || fail "$size bytes, over the budget of $budget bytes"
  size_note="budget $budget"
else
  size_note="linker $linker: no budget, which holds for Debian's toolchain (linker $budget_linker) only"
fi

echo "imports: $(tr '\n' ' ' <<<"$imports")"
echo "size: $size bytes ($size_note)"
if [ "$failures" -eq 0 ]; then
  echo "image checks passed"
else
  exit 1
fi
