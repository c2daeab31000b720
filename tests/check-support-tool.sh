#!/usr/bin/env bash
# The support tool run as a support engineer runs it, with --run: it runs Tessaline.exe and reads the
# program's debugger line itself, as a debug viewer does (the C++ tests, which hold that buffer for their
# own reading, cannot let the tool have it):
#   check-support-tool.sh BIN_DIR WINE_PREFIX
# BIN_DIR holds TessalineCheck.exe, Tessaline.exe and DownloaderPeer.exe.
set -euo pipefail
# shellcheck source=../scripts/lib/common.sh
. "$(dirname "$0")/../scripts/lib/common.sh"
bin=$(cd "$1" && pwd) wine_prefix=$2
work=$build_root/support-tool-check
mkdir -p "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
wine() { "$root/scripts/wine-exec" "$wine_prefix" "$@"; }
trap 'stop_peer 0 || true' EXIT
tessaline=$(windows_path "$bin/Tessaline.exe")
name=SupportToolCheck$$
key="HKCU\\Software\\Tessaline\\$name"

# One case: the stand-in's options (none: no downloader), the exit codes the tool may give, what Tessaline's
# arguments are, and the lines its report must hold, separated by "|".
cases=(
  "none|1||run: exit code 0x80004005 (E_FAIL, -2147467259) after |debugger line: Tessaline: Unable to open named pipe. Last attempt: Unable to connect to a named pipe (Error code: 2) (Downloader/Tessaline/DownloaderConnection.cpp:|verdict: Tessaline did not report completion (E_FAIL): no downloader serves its pipe (error 2)"
  "--one-way|1||debugger line: Tessaline: Unable to open named pipe. Last attempt: Unable to connect to a named pipe (Error code: 5) (|verdict: Tessaline did not report completion (E_FAIL): the pipe refuses this account (error 5)"
  "--reply true|0||notice: not sent|run: exit code 0x00000000 (S_OK, 0) after |debugger line: none|verdict: Tessaline reported completion (S_OK)"
  "none|0 3|/name=$name|marker: absent: there is no such key|run: exit code 0x00000000 (S_OK, 0)|marker after the run: present: Install = REG_SZ \"1\" (4 bytes: 31 00 00 00)|verdict: Tessaline reported completion (S_OK)"
)
wine reg delete "$key" /f >/dev/null 2>&1 || true
for entry in "${cases[@]}"; do
  IFS='|' read -r -a fields <<<"$entry"
  peer=${fields[0]} codes=${fields[1]} arguments=${fields[2]}
  if [ "$peer" != none ]; then
    # shellcheck disable=SC2086 # the stand-in's options, one word each
    start_peer "$wine_prefix" "$bin" "$work/peer.log" $peer || fail "$peer: the stand-in did not start"
  fi
  status=0
  # shellcheck disable=SC2086 # no arguments, or one /name=... word
  wine "$bin/TessalineCheck.exe" --run "$tessaline" $arguments >"$work/report.log" 2>&1 || status=$?
  tr -d '\r' <"$work/report.log" >"$work/report.txt"
  case " $codes " in *" $status "*) ;; *) fail "$peer $arguments: exit code $status, not one of $codes" ;; esac
  for line in "${fields[@]:3}"; do
    grep -qF -- "$line" "$work/report.txt" || fail "$peer $arguments: no \"$line\""
  done
  # The look before the run is no client of the stand-in's: it ends by itself after Tessaline's notice.
  if [ "$peer" = "--reply true" ] && ! stop_peer 10; then fail "the stand-in counted the tool's look as a client"; fi
  stop_peer 0 || true
  [ "$failures" -eq 0 ] || { cat "$work/report.txt"; break; }
done
wine reg delete "$key" /f >/dev/null 2>&1 || true

if [ "$failures" -eq 0 ]; then
  echo "support tool checks passed (${#cases[@]} runs)"
else
  exit 1
fi
