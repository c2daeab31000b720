# Shared by the project's scripts: build folders and the project's private Wine prefixes.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_root=$root/build
# Wine's own lines kept out of what the scripts print, for the Wine they run beside wine-exec (wineserver).
# shellcheck source=runtime-dir.sh
. "$root/scripts/lib/runtime-dir.sh"

# Each script that runs Wine has a prefix of its own, and with it a wineserver and named pipes of its
# own: two scripts at once then neither stop each other's Wine nor answer each other's pipe clients.
# A script sets wine_prefix to its own before it calls wine_stop.
wine_prefix_of() { # PURPOSE: test, run, bench
  printf '%s/wineprefix-%s\n' "$build_root" "$1"
}
# The tests' prefix: every build folder passes it to CTest (TESSALINE_WINE_PREFIX), whichever script
# configured it last.
test_wine_prefix=$(wine_prefix_of test)
wine_prefix=""

# The Wine loader that runs programs of an architecture (i686 or x86_64), if it works on this machine.
wine_loader() {
  local loader
  case "$1" in
    i686) loader=/usr/lib/wine/wine ;;
    x86_64) loader=/usr/lib/wine/wine64 ;;
  esac
  [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1 && echo "$loader"
}

# Configures and builds build/ARCH: the given targets, or all. One build of a folder at a time, so that
# scripts run at once do not compile into the same files. False when configuring or building fails.
build_arch() { # ARCH [TARGET...]
  local arch=$1 dir=$build_root/$1 wine_tests=OFF
  shift
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  wine_loader "$arch" >/dev/null && wine_tests=ON
  mkdir -p "$build_root"
  (
    flock -n 9 || { echo "waiting for another build of $dir to end..." >&2; flock 9; }
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$arch-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DTESSALINE_WINE_TESTS=$wine_tests \
      -DTESSALINE_WINE_PREFIX="$test_wine_prefix" >/dev/null || exit 1
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}" >/dev/null || exit 1
  ) 9>"$dir.lock"
}

# The path as a Windows program under Wine names it, on the drive Z: that maps the Linux root.
windows_path() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }

# Stops the Wine of this script's own prefix, and nothing else.
wine_stop() {
  [ -n "$wine_prefix" ] || return 0
  WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null || true
}

# The project's downloader stand-in in the background: DownloaderPeer.exe from BIN in the Wine PREFIX,
# its output in LOG. Sets peer_pid (wine-exec execs the loader, so it is the peer's own process id) and
# returns once the peer serves the pipe; false when it ends or is not serving within 30 s.
peer_pid=""
start_peer() { # PREFIX BIN LOG [PEER OPTIONS...]
  local prefix=$1 bin=$2
  shift 2
  start_server "$prefix" "$bin/DownloaderPeer.exe" "$@"
}

# The same for any downloader that says "listening on" once it serves the pipe.
start_server() { # PREFIX PROGRAM LOG [ARGUMENTS...]
  local prefix=$1 program=$2 log=$3
  shift 3
  "$root/scripts/wine-exec" "$prefix" "$program" "$@" >"$log" 2>&1 &
  peer_pid=$!
  for _ in $(seq 300); do
    grep -q "listening on" "$log" && return 0
    kill -0 "$peer_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Gives the peer up to SECONDS (default 10) to end by itself after its clients, then stops it: first
# as Ctrl+C would, then for good. False when it had to be stopped.
stop_peer() { # [SECONDS]
  [ -n "$peer_pid" ] || return 0
  local ended=0
  for _ in $(seq $((${1:-10} * 10))); do
    kill -0 "$peer_pid" 2>/dev/null || { ended=1; break; }
    sleep 0.1
  done
  if [ $ended -eq 0 ]; then
    kill -INT "$peer_pid" 2>/dev/null || true
    for _ in $(seq 20); do kill -0 "$peer_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$peer_pid" 2>/dev/null || true
  fi
  wait "$peer_pid" 2>/dev/null || true
  peer_pid=""
  [ $ended -eq 1 ]
}
