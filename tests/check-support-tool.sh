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
version=$(sed -n 's/^project(Tessaline VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

# What the tool ends with for a run that reports: 4 where its token is elevated (TokenElevation), for then it
# warns that a setup's account may fare otherwise, else 0. Wine 8 runs every program elevated, Wine 10 at
# high integrity but not elevated: the expectation follows the token as the tool reads it and prints it.
status=0
wine "$bin/TessalineCheck.exe" /name="$name" >"$work/account.log" 2>&1 || status=$?
account=$(tr -d '\r' <"$work/account.log" | sed -n 's/^this tool runs as: //p')
case "$account" in
  *", elevated") reported=4 ;;
  *", not elevated") reported=0 ;;
  *) fail "the tool's report does not say whether its token is elevated: $(tr -d '\r' <"$work/account.log")"; reported=0 ;;
esac
[ "$status" -eq "$reported" ] || fail "a look whose token is ${account##*, } ended with $status, not $reported"
if [ "$reported" -eq 4 ]; then
  grep -q '^warning \[elevated\]: ' "$work/account.log" || fail "an elevated look without its warning"
else
  ! grep -q '^warning \[elevated\]: ' "$work/account.log" || fail "the elevated warning, for a token that is not"
fi
echo "the tool's token: ${account##*, } (a run that reports ends with $reported)"

# One case: the stand-in's options (none: no downloader), the tool's exit code (R: that of a run that
# reports, above), the tool's --wait, Tessaline's arguments, and the facts its report must hold, each
# "label|fragment": a line that starts with the label holds the fragment.
cases=(
  "none|1|60||run program|file version $version.0|run|0x80004005 (E_FAIL, -2147467259)|debugger line|Last attempt: Unable to connect to a named pipe (Error code: 2) (Downloader/Tessaline/DownloaderConnection.cpp:|verdict|(Error code: 2)"
  "--one-way|1|60||debugger line|(Error code: 5)|verdict|(Error code: 5)"
  "--reply true|R|60||notice|not sent|run|0x00000000 (S_OK, 0)|debugger line|none|verdict|(S_OK)"
  "none|R|60|/name=$name|marker|absent|run|(S_OK, 0)|marker after the run|Install = REG_SZ \"1\" (4 bytes: 31 00 00 00)|verdict|(S_OK)"
  "--reply-delay 60000|1|3||run|ended by this tool|run phase|connecting or waiting for the answer|debugger line|none before it was ended|verdict|did not end"
)
wine reg delete "$key" /f >/dev/null 2>&1 || true
for entry in "${cases[@]}"; do
  IFS='|' read -r -a fields <<<"$entry"
  peer=${fields[0]} code=${fields[1]} wait=${fields[2]} arguments=${fields[3]}
  [ "$code" != R ] || code=$reported
  if [ "$peer" != none ]; then
    # shellcheck disable=SC2086 # the stand-in's options, one word each
    start_peer "$wine_prefix" "$bin" "$work/peer.log" $peer || fail "$peer: the stand-in did not start"
  fi
  status=0
  # shellcheck disable=SC2086 # no arguments, or one /name=... word
  wine "$bin/TessalineCheck.exe" --wait "$wait" --run "$tessaline" $arguments >"$work/report.log" 2>&1 || status=$?
  tr -d '\r' <"$work/report.log" >"$work/report.txt"
  [ "$status" -eq "$code" ] || fail "$peer $arguments: exit code $status, not $code"
  for ((i = 4; i + 1 < ${#fields[@]}; i += 2)); do
    awk -v label="${fields[i]}: " -v fact="${fields[i + 1]}" \
      'index($0, label) == 1 && index($0, fact) { found = 1 } END { exit !found }' "$work/report.txt" ||
      fail "$peer $arguments: no \"${fields[i]}\" line holds \"${fields[i + 1]}\""
  done
  # The run is in a kill-on-close job of the tool's: a tool that is ended takes it along.
  ! grep -q '^run job: ' "$work/report.txt" || fail "$peer $arguments: the run is outside the tool's job"
  # The look before the run is no client of the stand-in's: it ends by itself after Tessaline's notice.
  if [ "$peer" = "--reply true" ] && ! stop_peer 10; then fail "the stand-in counted the tool's look as a client"; fi
  stop_peer 0 || true
  [ "$failures" -eq 0 ] || { cat "$work/report.txt"; break; }
done
wine reg delete "$key" /f >/dev/null 2>&1 || true

# A misfit stand-in stops on Ctrl+C as a correct server does, at once and saying so, even when the Ctrl+C
# comes as it begins to wait for a first client, and none comes.
start_peer "$wine_prefix" "$bin" "$work/peer.log" --byte-mode --clients 0 || fail "--byte-mode: the stand-in did not start"
kill -INT "$peer_pid" 2>/dev/null || true
for _ in $(seq 100); do kill -0 "$peer_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$peer_pid" 2>/dev/null; then
  fail "--byte-mode: the stand-in did not stop on Ctrl+C"
else
  status=0
  wait "$peer_pid" || status=$?
  peer_pid=""
  { [ "$status" -eq 0 ] && grep -q '^stopped' "$work/peer.log"; } ||
    fail "--byte-mode: Ctrl+C ended the stand-in with $status, and it said: $(tr -d '\r' <"$work/peer.log")"
fi

if [ "$failures" -eq 0 ]; then
  echo "support tool checks passed (${#cases[@]} runs, and the misfit stand-in's stop)"
else
  exit 1
fi
