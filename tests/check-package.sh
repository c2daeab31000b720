#!/usr/bin/env bash
# The shared pipe code as a downloader's build takes it, from the code blocks of docs/protocol.md and with
# only the variables it names (CHECKOUT, PREFIX, TOOLCHAIN): its install.sh builds and installs the package
# from a copy of the sources; its downloader.cpp is built with each of its two CMake files and their
# build.sh (installed/: find_package, sources/: add_subdirectory), cross-compiled with this build's
# toolchain; each program imports Windows' own DLLs only; an ANSI consumer for Windows 10
# (tests/package/ansi-consumer) builds against the installed package with its own definitions; the installed
# build serves the pipe under Wine, Tessaline.exe must end with S_OK against it, and the downloader must
# stop on Ctrl+C:
#   check-package.sh SOURCE_DIR BIN_DIR WORK_DIR TOOLCHAIN_FILE WINE_PREFIX OBJDUMP
# TOOLCHAIN_FILE is relative to SOURCE_DIR; BIN_DIR holds Tessaline.exe and RunReport.exe.
set -euo pipefail
# shellcheck source=../scripts/lib/common.sh
. "$(dirname "$0")/../scripts/lib/common.sh"
source_dir=$1 bin=$2 work=$3 toolchain=$4 wine_prefix=$5 objdump=$6
fail() {
  echo "FAIL: $*"
  exit 1
}
trap 'stop_peer 0 || true' EXIT

rm -rf "$work"
copy=$work/source
"$(dirname "$0")/copy-sources.sh" "$source_dir" "$copy"

# Each ```cpp, ```cmake and ```sh block, with the file its marker line names.
blocks=$work/blocks
expected=(downloader.cpp install.sh installed/CMakeLists.txt installed/build.sh sources/CMakeLists.txt
  sources/build.sh)
file="" out="" number=0
while IFS= read -r line; do
  number=$((number + 1))
  if [ -n "$out" ]; then
    if [ "$line" = '```' ]; then out=""; else printf '%s\n' "$line" >>"$out"; fi
  elif [[ $line =~ ^'<!-- code: '(.+)' -->'$ ]]; then
    file=${BASH_REMATCH[1]}
    case " ${expected[*]} " in *" $file "*) ;; *) fail "line $number: a code block this check does not know: $file" ;; esac
  elif [[ $line =~ ^'```'(cpp|cmake|sh)$ ]]; then
    [ -n "$file" ] || fail "line $number: a ${BASH_REMATCH[1]} block without a <!-- code: FILE --> marker"
    out=$blocks/$file file=""
    mkdir -p "$(dirname "$out")"
    : >"$out"
  fi
done <"$source_dir/docs/protocol.md"
for file in "${expected[@]}"; do [ -s "$blocks/$file" ] || fail "docs/protocol.md has no block $file"; done

# The document's three names, each an absolute path, and nothing else of this build.
export CHECKOUT=$copy PREFIX=$work/prefix TOOLCHAIN=$copy/$toolchain

echo "== install.sh"
(cd "$CHECKOUT" && bash -euo pipefail "$blocks/install.sh") >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "install.sh failed"; }
for way in installed sources; do
  echo "== the downloader, built against the $way"
  cp "$blocks/downloader.cpp" "$blocks/$way/"
  (cd "$blocks/$way" && bash -euo pipefail build.sh) >"$work/build-$way.log" 2>&1 ||
    { cat "$work/build-$way.log"; fail "the $way build failed"; }
  # Windows' own DLLs only: a MinGW runtime DLL (libstdc++-6, libgcc_s_dw2-1) is missing where the
  # downloader runs, and the program then ends at once with 0xC0000135.
  imports=$("$objdump" -p "$blocks/$way/build/downloader.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr 'A-Z' 'a-z' | sort -u)
  [ -n "$imports" ] || fail "no imports found in the $way build"
  others=$(grep -Ev '^(kernel32|advapi32|msvcrt)\.dll$' <<<"$imports" || true)
  [ -z "$others" ] || fail "the $way build imports $(tr '\n' ' ' <<<"$others")beside Windows' own DLLs"
  echo "imports: $(tr '\n' ' ' <<<"$imports")"
done

# Beside the document's builds, a downloader of its own kind: an ANSI program for Windows 10, which the
# installed package must leave as it is.
echo "== an ANSI consumer of the installed package"
(cmake -S "$CHECKOUT/tests/package/ansi-consumer" -B "$work/ansi-consumer" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$PREFIX" && cmake --build "$work/ansi-consumer") \
  >"$work/build-ansi.log" 2>&1 || { cat "$work/build-ansi.log"; fail "an ANSI consumer does not build against the package"; }

echo "== the downloader serving, and Tessaline.exe against it"
log=$work/downloader.log
start_server "$wine_prefix" "$blocks/installed/build/downloader.exe" "$log" ||
  { cat "$log"; fail "the downloader did not serve the pipe"; }
report=$("$root/scripts/wine-exec" "$wine_prefix" "$bin/RunReport.exe" "$bin/Tessaline.exe" | tr -d '\r') || true
echo "$report"
[[ $report == "exit code 0x00000000 (S_OK, 0)"* ]] || fail "Tessaline did not end with S_OK"
grep -q "setup is complete" "$log" || { cat "$log"; fail "the downloader did not take the notice"; }
kill -INT "$peer_pid"
status=0
for _ in $(seq 100); do kill -0 "$peer_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$peer_pid" 2>/dev/null && fail "the downloader did not stop on Ctrl+C"
wait "$peer_pid" || status=$?
peer_pid=""
[ "$status" -eq 0 ] || fail "the downloader ended with $status after Ctrl+C"
echo "package checks passed"
