#!/usr/bin/env bash
# A release signed with a throwaway self-signed certificate: every binary (both
# architectures' DLL and tool) carries a signature that checks against that
# certificate, and still loads and works under Wine. A wrong password makes no
# archive. Reuses the first release's build.
. "$(dirname "$0")/common.sh"
certs=$work/certs
rm -rf "$certs"
mkdir -p "$certs"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Ulvane test signer" \
  -addext extendedKeyUsage=codeSigning -keyout "$certs/key.pem" -out "$certs/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$certs/key.pem" -in "$certs/cert.pem" -out "$certs/signer.pfx" \
  -passout pass:throwaway-secret
name=ulvane-$(header_version)-win32.zip

ULVANE_SIGN_PASSWORD=wrong release "$work/build-a" "$work/dist-wrong" --sign "$certs/signer.pfx" &&
  fail "a wrong password still made a release"
[ ! -e "$work/dist-wrong/$name" ] || fail "a failed signing left $name behind"

ULVANE_SIGN_PASSWORD=throwaway-secret release "$work/build-a" "$work/dist-signed" --sign "$certs/signer.pfx"
(cd "$work/dist-signed" && sha256sum --quiet -c SHA256SUMS) || fail "the signed archive's checksum does not match"
signed=$work/kit-signed
unpack "$work/dist-signed/$name" "$signed"
for binary in Ulvane.dll UlvaneMsi.dll bin/ulvane-call.exe x64/Ulvane.dll x64/UlvaneMsi.dll x64/bin/ulvane-call.exe; do
  osslsigncode verify -CAfile "$certs/cert.pem" -in "$signed/$binary" >"$certs/verify.txt" 2>&1 ||
    fail "$binary: $(cat "$certs/verify.txt")"
  grep -q 'Signature verification: ok' "$certs/verify.txt" || fail "$binary: $(cat "$certs/verify.txt")"
  cmp -s "$signed/$binary" "$kit/$binary" && fail "$binary is the same as unsigned"
  osslsigncode verify -CAfile "$certs/cert.pem" -in "$kit/$binary" >/dev/null 2>&1 &&
    fail "the unsigned release's $binary verifies"
done

exports_check "$(kit_folder "$signed" "$tree_arch")/Ulvane.dll" ||
  fail "the signed $tree_arch DLL fails the export table and version checks"
for arch in i686 x64; do
  runs_here "$arch" || continue
  [ "$(wine_run "$arch" "$(kit_folder "$signed" "$arch")/bin/ulvane-call.exe" Sleep 0)" = 0 ] ||
    fail "the signed $arch tool and DLL do not work"
done
echo "signed: ok"
