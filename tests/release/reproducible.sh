#!/usr/bin/env bash
# Two releases of the same commit, built in different directories (the second's
# path has a space in it), are byte for byte the same; the first is unpacked for the
# other release tests.
. "$(dirname "$0")/common.sh"
release "$work/build-a" "$work/dist-a"
release "$work/build b" "$work/dist-b"
name=ulvane-$(header_version)-win32.zip
[ -f "$work/dist-a/$name" ] || fail "no $name in dist: $(ls "$work/dist-a")"
cmp "$work/dist-a/$name" "$work/dist-b/$name" || fail "two releases of one commit differ"
cmp "$work/dist-a/SHA256SUMS" "$work/dist-b/SHA256SUMS" || fail "the checksum files differ"
unpack "$work/dist-a/$name" "$kit"
echo "reproducible: $(sha256sum "$work/dist-a/$name")"
