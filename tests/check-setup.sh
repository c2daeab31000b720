#!/usr/bin/env bash
# scripts/setup against a mirror in the middle of a sync, with no network: a copy of the script in
# WORK_DIR, and on PATH an apt-get that fails as such a mirror does (every update misses one index; the
# install cannot be resolved unless pinned to the release's own suite), with dpkg-query finding nothing
# installed.
#   check-setup.sh SOURCE_DIR WORK_DIR
# The set-up must end with 0 after three updates and a pinned install; where the pinned install fails
# too, with 1 and one line that names the package that could not be had; and an update that exits with 0
# but printed "W: Failed to fetch" is tried again like one that failed.
set -euo pipefail
source_dir=$1 work_dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work_dir"
mkdir -p "$work_dir/tree/scripts" "$work_dir/bin"
cp "$source_dir/scripts/setup" "$work_dir/tree/scripts/"
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
cat >"$work_dir/bin/apt-get" <<STANDIN
#!/usr/bin/env bash
echo "apt-get \$*" >>"$work_dir/calls"
case " \$* " in
  *" update "*)
    if [ -e "$work_dir/update-warns" ]; then
      # Older APT, or an index that is only optional: a warning, and 0.
      echo "W: Failed to fetch http://deb.debian.org/debian/dists/$suite-updates/main/binary-amd64/Packages.xz  Hash Sum mismatch"
      echo "W: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 0
    fi
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/$suite-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 151.101.2.132 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *" -t $suite "*) [ -e "$work_dir/pinned-fails" ] || exit 0 ;;
esac
echo "The following packages have unmet dependencies:"
echo " libwine:i386 : Depends: libgstreamer-plugins-base1.0-0:i386 (>= 1.0.0) but it is not installable"
echo "E: Unable to correct problems, you have held broken packages."
exit 100
STANDIN
printf '#!/bin/sh\nexit 1\n' >"$work_dir/bin/dpkg-query"
printf '#!/bin/sh\nexec "$@"\n' >"$work_dir/bin/sudo"
chmod +x "$work_dir/bin/"*
setup() { PATH=$work_dir/bin:$PATH TESSALINE_APT_PAUSE=0 "$work_dir/tree/scripts/setup" release; }

status=0
setup >"$work_dir/through.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "ended with $status where the pinned install works: $(cat "$work_dir/through.log")"
[ "$(grep -c ' update' "$work_dir/calls")" -eq 3 ] || fail "$(grep -c ' update' "$work_dir/calls") updates, not 3"
tail -n1 "$work_dir/calls" | grep -q " install .*-t $suite " || fail "the last install was not pinned to $suite"

: >"$work_dir/calls"
touch "$work_dir/pinned-fails"
status=0
setup >"$work_dir/stuck.log" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "ended with $status where no install works, not 1"
[ "$(grep -c 'cannot install' "$work_dir/stuck.log")" -eq 1 ] || fail "not one line for the failed install"
tail -n1 "$work_dir/stuck.log" | grep -q 'cannot install libgstreamer-plugins-base1.0-0:i386[ ,]' ||
  fail "the last line does not name the package: $(tail -n1 "$work_dir/stuck.log")"

# An update that exits with 0 but could not fetch an index is tried again as well.
: >"$work_dir/calls"
rm -f "$work_dir/pinned-fails"
touch "$work_dir/update-warns"
status=0
setup >"$work_dir/warned.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "ended with $status after updates that only warned: $(cat "$work_dir/warned.log")"
[ "$(grep -c ' update' "$work_dir/calls")" -eq 3 ] ||
  fail "$(grep -c ' update' "$work_dir/calls") updates that exited 0 with \"W: Failed to fetch\", not 3"

if [ "$failures" -eq 0 ]; then
  echo "set-up checks passed: $(tail -n1 "$work_dir/stuck.log")"
else
  exit 1
fi
