#!/usr/bin/env bash
# Checks scripts/release on a commit of the current sources:
#   check-release.sh PROGRAM SOURCE_DIR WORK_DIR
# Commits a copy of the sources to a new repository in WORK_DIR/repo (kept for check-signing.sh), then:
# the release refuses a dirty tree; two releases write the same zip bytes; the zip holds the expected
# files in order, its SHA256SUMS hold, and its program, the support tool, the downloader stand-in and the
# downloader check are PROGRAM and the TessalineCheck.exe, DownloaderPeer.exe and DownloaderCheck.exe
# beside it (this build) byte for byte.
set -euo pipefail
program=$1 source_dir=$2 work_dir=$3
here=$(cd "$(dirname "$0")" && pwd)
repo=$work_dir/repo
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work_dir"
"$here/copy-sources.sh" "$source_dir" "$repo"
git -C "$repo" -c init.defaultBranch=release init -q
git -C "$repo" add -A
git -C "$repo" -c user.name=Test -c user.email=test@example.invalid commit -qm "release check"

version=$(sed -n 's/^project(Tessaline VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
name=Tessaline-$version
zip_file=$repo/dist/$name.zip

# A dirty tree is refused before anything is built.
echo stray >"$repo/stray.txt"
if "$repo/scripts/release" >"$work_dir/dirty.log" 2>&1; then fail "released with an untracked file"; fi
rm "$repo/stray.txt"
echo "# changed" >>"$repo/README.md"
if "$repo/scripts/release" >>"$work_dir/dirty.log" 2>&1; then fail "released with a modified file"; fi
git -C "$repo" checkout -q -- README.md
[ ! -e "$zip_file" ] || fail "a refused release wrote $zip_file"
[ "$(grep -c 'uncommitted or untracked' "$work_dir/dirty.log")" -eq 2 ] || fail "no reason given for a refusal"

"$repo/scripts/release" >"$work_dir/release1.log" 2>&1 || { cat "$work_dir/release1.log"; fail "release failed"; }
[ -f "$zip_file" ] || { echo "FAIL: no $zip_file"; exit 1; }
cp "$zip_file" "$work_dir/first.zip"
# The second run writes every file anew, in another second of the clock.
sleep 2
"$repo/scripts/release" >"$work_dir/release2.log" 2>&1 || { cat "$work_dir/release2.log"; fail "second release failed"; }
if cmp -s "$work_dir/first.zip" "$zip_file"; then
  echo "two releases, one zip: $(sha256sum "$zip_file" | cut -d' ' -f1)"
else
  fail "two releases of one commit wrote different zips"
fi

support=support-tool-not-for-setups/TessalineCheck.exe
peer=test-tool-not-for-setups/DownloaderPeer.exe
checker=test-tool-not-for-setups/DownloaderCheck.exe
expected=$(printf "$name/%s\n" Tessaline.exe README.txt setup-authors.md protocol.md Tessaline.iss Tessaline.nsh \
  Tessaline.wxi Tessaline.wix4.wxi "$support" "$peer" "$checker" SHA256SUMS)
[ "$(unzip -Z1 "$zip_file")" = "$expected" ] || fail "the zip holds $(unzip -Z1 "$zip_file" | tr '\n' ' ')"
unzip -q "$zip_file" -d "$work_dir/unpacked"
unpacked=$work_dir/unpacked/$name
(cd "$unpacked" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
[ "$(wc -l <"$unpacked/SHA256SUMS")" -eq 11 ] || fail "SHA256SUMS does not list the eleven other files"
cmp -s "$unpacked/Tessaline.exe" "$program" ||
  fail "the released program differs from this build's $(basename "$program")"
for tool in "$support" "$peer" "$checker"; do
  cmp -s "$unpacked/$tool" "$(dirname "$program")/$(basename "$tool")" ||
    fail "the released $(basename "$tool") differs from this build's"
done
for doc in setup-authors.md protocol.md; do
  cmp -s "$unpacked/$doc" "$repo/docs/$doc" || fail "$doc differs from docs/$doc"
done
for include in Tessaline.iss Tessaline.nsh Tessaline.wxi Tessaline.wix4.wxi; do
  cmp -s "$unpacked/$include" "$repo/installers/$include" || fail "$include differs from installers/$include"
done
for text in "/name=Product" "0x80004005" "$(git -C "$repo" rev-parse HEAD)" "Authenticode signature: no" \
  "$support" "$peer" "$checker" "never ship it" "holds no sources" "Get-FileHash $name.zip" \
  "osslsigncode verify" "remove-signature"; do
  grep -qF -- "$text" "$unpacked/README.txt" || fail "README.txt does not say $text"
done

if [ "$failures" -eq 0 ]; then
  echo "release checks passed ($name.zip, $(stat -c %s "$zip_file") bytes)"
else
  exit 1
fi
