#!/usr/bin/env bash
# Checks the release's Authenticode signing with a throwaway certificate authority:
#   check-signing.sh PROGRAM SOURCE_DIR WORK_DIR BIN_DIR [WINE_PREFIX]
# Uses the repository that check-release.sh left in WORK_DIR/repo. Makes a CA and a code-signing
# certificate with openssl (in WORK_DIR/keys, deleted at the end), releases with them, and checks every
# .exe in the signed zip: its signature verifies against that CA and not against another, and without it
# the program is this build's (PROGRAM, or the one of that name in BIN_DIR) byte for byte. And: the
# password is not in the output; the signed Tessaline.exe passes the image check; a second signed
# release gives the same zip. With WINE_PREFIX, the signed program runs under Wine in both modes
# (BIN_DIR holds RunReport.exe and DownloaderPeer.exe).
set -euo pipefail
# First: it sets names of its own (wine_prefix among them) that the arguments below take over.
# shellcheck source=../scripts/lib/common.sh
. "$(dirname "$0")/../scripts/lib/common.sh"
program=$1 source_dir=$2 work_dir=$3 bin_dir=$4 wine_prefix=${5:-}
repo=$work_dir/repo
keys=$work_dir/keys
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -x "$repo/scripts/release" ] || { echo "FAIL: no repository from check-release.sh in $repo"; exit 1; }
version=$(sed -n 's/^project(Tessaline VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
name=Tessaline-$version
zip_file=$repo/dist/$name.zip

rm -rf "$keys"
mkdir -m 700 "$keys"
trap 'rm -rf "$keys"' EXIT
(
  cd "$keys"
  make_ca() {
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.crt" -days 2 -subj "/CN=$2" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  }
  make_ca ca "Tessaline Throwaway Test CA"
  make_ca other-ca "Unrelated Throwaway CA"
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Tessaline Test Signer" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
  openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile signer.ext \
    -out signer.crt 2>/dev/null
  openssl rand -hex 16 >password
  openssl pkcs12 -export -inkey signer.key -in signer.crt -certfile ca.crt -passout file:password -out signer.pfx
)
password=$(cat "$keys/password")

release_signed() {
  TESSALINE_SIGN_PFX=$keys/signer.pfx TESSALINE_SIGN_PASSWORD_FILE=$keys/password "$repo/scripts/release" >"$1" 2>&1
}
release_signed "$work_dir/signed1.log" || { cat "$work_dir/signed1.log"; echo "FAIL: the signed release failed"; exit 1; }
cp "$zip_file" "$work_dir/signed1.zip"
release_signed "$work_dir/signed2.log" || fail "the second signed release failed"
cmp -s "$work_dir/signed1.zip" "$zip_file" || fail "two signed releases of one commit wrote different zips"
if grep -qF -- "$password" "$work_dir/signed1.log" "$work_dir/signed2.log"; then fail "the password is in the output"; fi
[ -z "$(git -C "$repo" status --porcelain --ignored -- . ':!build' ':!dist')" ] ||
  fail "the signed release left files in the repository"

rm -rf "$work_dir/signed"
unzip -q "$zip_file" -d "$work_dir/signed"
signed=$work_dir/signed/$name/Tessaline.exe
(cd "$work_dir/signed/$name" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the signed files"
grep -qF "Authenticode signature: yes" "$work_dir/signed/$name/README.txt" || fail "README.txt does not say signed"

# Every program in the zip, in whatever folder: Windows warns about an unsigned one as well.
exes=()
while IFS= read -r -d '' exe; do exes+=("$exe"); done < <(find "$work_dir/signed/$name" -type f -name '*.exe' -print0 |
  LC_ALL=C sort -z)
[ ${#exes[@]} -ge 2 ] || fail "the signed zip holds ${#exes[@]} programs, expected Tessaline.exe and DownloaderPeer.exe at least"
for exe in "${exes[@]}"; do
  shown=${exe#"$work_dir/signed/$name/"}
  unsigned=$bin_dir/$(basename "$exe")
  [ "$shown" = Tessaline.exe ] && unsigned=$program
  if osslsigncode verify -CAfile "$keys/ca.crt" -in "$exe" >"$work_dir/verify.log" 2>&1; then
    grep -q "Signature verification: ok" "$work_dir/verify.log" || fail "$shown: osslsigncode verify did not say ok"
    grep -q "Message digest algorithm *: SHA256" "$work_dir/verify.log" || fail "$shown: not a SHA-256 signature"
  else
    cat "$work_dir/verify.log"
    fail "$shown: osslsigncode verify rejects the signature against the test CA"
  fi
  if osslsigncode verify -CAfile "$keys/other-ca.crt" -in "$exe" >/dev/null 2>&1; then
    fail "$shown: osslsigncode verify accepts the signature against an unrelated CA"
  fi
  rm -f "$work_dir/stripped.exe"
  osslsigncode remove-signature -in "$exe" -out "$work_dir/stripped.exe" >/dev/null 2>&1
  cmp -s "$work_dir/stripped.exe" "$unsigned" || fail "$shown without its signature is not this build's"
  cmp -s "$exe" "$unsigned" && fail "$shown is not signed"
done

triple=i686-w64-mingw32
"$source_dir/tests/check-image.sh" "$signed" "$triple-objdump" "$triple-windres" x86 >"$work_dir/image.log" ||
  { cat "$work_dir/image.log"; fail "the signed image fails the image check"; }

if [ -n "$wine_prefix" ]; then
  wine() { "$source_dir/scripts/wine-exec" "$wine_prefix" "$@"; }
  # Registry mode writes its marker: RunReport deletes the value before the run and reads it back after it,
  # in one process, and says what it saw.
  key="HKCU\\Software\\Tessaline\\SignedReleaseCheck"
  wine "$bin_dir/RunReport.exe" --marker "$signed" /name=SignedReleaseCheck >"$work_dir/registry.log" 2>&1 ||
    fail "registry mode: $(tr -d '\r' <"$work_dir/registry.log")"
  grep -q 'SignedReleaseCheck: Install = REG_SZ "1" ' "$work_dir/registry.log" ||
    fail "registry mode: no Install = 1 under $key: $(tr -d '\r' <"$work_dir/registry.log")"
  wine reg delete "$key" /f >/dev/null 2>&1 || true

  # Pipe mode: the downloader stand-in's answer decides the exit code.
  for reply in true false; do
    log=$work_dir/peer-$reply.log
    start_peer "$wine_prefix" "$bin_dir" "$log" --reply "$reply" || fail "pipe mode: the downloader peer did not start"
    status=0
    wine "$bin_dir/RunReport.exe" "$signed" >"$work_dir/pipe-$reply.log" 2>&1 || status=$?
    # The peer ends after its one client; one that got none is stopped.
    stop_peer || true
    case "$reply" in
      true) [ "$status" -eq 0 ] || fail "pipe mode, answer true: $(tr -d '\r' <"$work_dir/pipe-$reply.log")" ;;
      false) grep -q "E_FAIL" "$work_dir/pipe-$reply.log" || fail "pipe mode, answer false: not E_FAIL" ;;
    esac
    grep -q "request: code=0 suffix={C2A86F14-5D3B-4E97-A1C0-38F5E2B9D64A} (92 bytes)" "$log" ||
      fail "pipe mode, answer $reply: the peer did not get the request: $(tr -d '\r' <"$log")"
  done
fi

if [ "$failures" -eq 0 ]; then
  if [ -n "$wine_prefix" ]; then
    echo "signing checks passed; the signed program ran under Wine in both modes"
  else
    echo "signing checks passed; Wine cannot run this architecture here, so the signed program did not run"
  fi
else
  exit 1
fi
