#!/usr/bin/env bash
# Builds the release's plain C example from the unpacked archive for the tree's
# architecture, against the archive's header alone, and puts the archive's DLL of
# that architecture beside it.
. "$(dirname "$0")/common.sh"
out=$work/example
rm -rf "$out"
mkdir -p "$out"
shopt -s nullglob
sources=("$kit"/examples/c/*.c)
[ ${#sources[@]} -gt 0 ] || fail "the release has no C example"
"$(triplet "$tree_arch")-gcc" -std=c99 -Wall -Wextra -pedantic -Werror -O2 -I "$kit/include" "${sources[@]}" \
  -o "$out/ulvane-example.exe" || fail "the C example does not build from the release"
cp "$(kit_folder "$kit" "$tree_arch")/Ulvane.dll" "$out/"
echo "built $out/ulvane-example.exe ($tree_arch) from ${sources[*]##*/}"
