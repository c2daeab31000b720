# Shared by tests/inno/run, tests/nsis/run and tests/wix/run. Each builds setups from the lines of
# docs/setup-authors.md with a real installer compiler and runs them silently under Wine, in a prefix
# of its own under the build tree, against the project's Tessaline.exe and DownloaderPeer.exe.
# Source it after scripts/lib/common.sh, with `check` set to the check's name (inno, nsis, wix); then
# call check_begin "$@" and prefix_begin.
# shellcheck shell=bash

# From scripts/lib/common.sh, and from the check.
: "${root:?}" "${build_root:?}" "${check:?}"
guide=$root/docs/setup-authors.md
marker='HKCU\Software\Tessaline\Product'

fail() {
  echo "$check: FAIL: $*" >&2
  exit 1
}

# Reads [--bin DIR] (else builds the i686 programs), makes the check's folder and takes the check's
# lock: runs of one check share the prefix, its registry and the downloader's pipe name. Then
# prefix_begin makes the prefix.
check_begin() {
  bin=""
  case "${1:-}" in
    --bin) bin=$(cd "$2" && pwd) ;;
    "") ;;
    *) echo "usage: tests/$check/run [--bin DIR]" >&2; exit 2 ;;
  esac
  wine_loader i686 >/dev/null || fail "Wine cannot run 32-bit programs on this machine (see scripts/setup)"
  if [ -z "$bin" ]; then
    echo "$check: building the i686 programs"
    build_arch i686
    bin=$build_root/i686/bin
  fi
  work=$build_root/$check
  prefix=$work/wineprefix
  mkdir -p "$work"
  exec 8>"$work/run.lock"
  flock 8
  trap check_cleanup EXIT
}

prefix_begin() {
  # Wine's null display driver, set once: a setup creates windows even when it is silent, and the
  # project's own prefix should keep failing visibly when a program tries to show one. The desktop
  # reads the setting when it starts, so the prefix restarts.
  if ! grep -qs '"Graphics"="null"' "$prefix/user.reg"; then
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
    stop_wine
  fi
}

wine() { "$root/scripts/wine-exec" "$prefix" "$@"; }
stop_wine() { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; }
check_cleanup() {
  stop_peer 0 || true
  stop_wine
}

# Prints the one fenced block of the guide in language $1 that contains the text $2.
guide_block() {
  local language=$1 text=$2 blocks count
  blocks=$(awk -v open="\`\`\`$language" -v text="$text" '
    $0 == open { inside = 1; block = ""; next }
    inside && /^```/ { inside = 0; if (index(block, text)) { found++; printf "%s", block } next }
    inside { block = block $0 "\n" }
    END { exit found != 1 }' "$guide") || {
    count=$(grep -c "^\`\`\`$language\$" "$guide" || true)
    fail "expected one \`\`\`$language block with \"$text\" in docs/setup-authors.md ($count $language blocks)"
  }
  printf '%s' "$blocks"
}

# Prints the one line of $1 (text) that contains $2.
line_with() {
  local lines
  lines=$(grep -F -- "$2" <<<"$1" || true)
  if [ -z "$lines" ] || [ "$(wc -l <<<"$lines")" -ne 1 ]; then
    fail "expected one line with \"$2\" in the guide's lines: $(tr '\n' ' ' <<<"$1")"
  fi
  printf '%s\n' "$lines"
}

clear_marker() { wine reg delete "$marker" /f >/dev/null 2>&1 || true; }
# Every product's markers: HKCU\Software\Tessaline and everything below it.
clear_markers() { wine reg delete 'HKCU\Software\Tessaline' /f >/dev/null 2>&1 || true; }
marker_written() { wine reg query "$marker" /v Install 2>/dev/null | tr -d '\r' | grep -qE '^ +Install +REG_SZ +1$'; }

# Checks that the marker is (or with "absent", is not) there, and clears it. $2 names the case.
expect_marker() {
  local expected=$1 case_name=$2
  if [ "$expected" = written ] && ! marker_written; then
    fail "$case_name: $marker, Install = 1 was not written"
  elif [ "$expected" = absent ] && wine reg query "$marker" >/dev/null 2>&1; then
    fail "$case_name: $marker was written"
  fi
  clear_marker
}

# Checks that the keys and values below HKCU\Software\Tessaline are exactly the lines $2...; $1 names
# the case. A key is a line with its name below Software\Tessaline ("Product\Tools"), a value one with
# its key's name first ("Product\Tools: Install REG_SZ 1"). No lines: no Software\Tessaline at all.
expect_markers() {
  local case_name=$1 expected found tree
  shift
  expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
  tree=$(wine reg query 'HKCU\Software\Tessaline' /s 2>/dev/null | tr -d '\r') || tree=""
  found=$(awk '
    index($0, "HKEY_CURRENT_USER\\Software\\Tessaline\\") == 1 { key = substr($0, 38); print key; next }
    NF && index($0, "HKEY_") != 1 { $1 = $1; print key ": " $0 }' <<<"$tree" | LC_ALL=C sort)
  if [ "$found" != "$expected" ] || { [ $# -eq 0 ] && [ -n "$tree" ]; }; then
    fail "$case_name: expected the markers [$(paste -sd, <<<"$expected")], found" \
      "[$(paste -sd, <<<"$found")]$([ -n "$tree" ] && echo " in HKCU\\Software\\Tessaline")"
  fi
}

# DownloaderPeer in the background, answering $1, its output in $2.
peer_begin() {
  local answer=$1 peer_log=$2
  if ! start_peer "$prefix" "$bin" "$peer_log" --reply "$answer"; then
    tr -d '\r' <"$peer_log" >&2
    fail "DownloaderPeer did not start serving the pipe"
  fi
}

# Checks that the peer got the completion notice and sent its answer $1; $2 is its output, $3 the case.
peer_end() {
  local answer=$1 peer_log=$2 case_name=$3 reply_hex
  case "$answer" in
    true) reply_hex="05 00 00 00 01" ;;
    false) reply_hex="05 00 00 00 00" ;;
  esac
  # The peer serves one client and ends. If the setup never reached it, it still waits: stop it.
  stop_peer 60 || fail "$case_name: the setup's Tessaline.exe never reached DownloaderPeer"
  if ! grep -q "^request: code=0 " "$peer_log" || grep -q "^warning:" "$peer_log" ||
    ! grep -q "^reply: $reply_hex" "$peer_log"; then
    tr -d '\r' <"$peer_log" >&2
    fail "$case_name: DownloaderPeer did not get the notice or send its answer"
  fi
}
