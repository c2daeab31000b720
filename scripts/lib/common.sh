# Shared by the project's scripts: build folders and the project's private Wine prefix.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_root=${TESSALINE_BUILD_DIR:-$root/build}
wine_prefix=$build_root/wineprefix

# The Wine loader that runs programs of an architecture (i686 or x86_64), if it works on this machine.
wine_loader() {
  local loader
  case "$1" in
    i686) loader=/usr/lib/wine/wine ;;
    x86_64) loader=/usr/lib/wine/wine64 ;;
  esac
  [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1 && echo "$loader"
}

# The architecture whose programs run here: the 32-bit product where Wine can run it, else the 64-bit build.
run_arch() {
  if wine_loader i686 >/dev/null; then echo i686; else echo x86_64; fi
}

build_arch() {
  local arch=$1 dir=$build_root/$1 wine_tests=OFF
  wine_loader "$arch" >/dev/null && wine_tests=ON
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$arch-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTESSALINE_WINE_TESTS=$wine_tests \
    -DTESSALINE_WINE_PREFIX="$wine_prefix" >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
}

wine_stop() {
  WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null || true
}
