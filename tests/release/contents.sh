#!/usr/bin/env bash
# What the release holds: exactly the kit's files, with fixed times; a checksum
# file that checks; a stripped DLL linked to its debug file, with the nine exports
# at their ordinals, the version resource and only system imports; a tool that
# names the version and finds the DLL; an NSIS example that builds from the kit.
. "$(dirname "$0")/common.sh"
version=$(header_version)
name=ulvane-$version-win32.zip

# SHA256SUMS lists exactly the archive, and checks.
[ "$(cut -d' ' -f3- "$dist/SHA256SUMS")" = "$name" ] || fail "SHA256SUMS: $(cat "$dist/SHA256SUMS")"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "the archive's checksum does not match SHA256SUMS"

# Exactly these files, in this order (no folder entries), each dated from the commit.
expected=$(
  {
    printf '%s\n' CHANGELOG.md LICENSE README.md Ulvane.dll bin/ulvane-call.exe debug/Ulvane.dll.debug \
      include/ulvane.h
    git -C "$root" ls-tree -r --name-only HEAD -- examples/c examples/inno examples/nsis examples/routines |
      grep -v '/CMakeLists.txt$'
  } | LC_ALL=C sort
)
commit_time=$(git -C "$root" log -1 --format=%ct HEAD)
listing=$(python3 - "$dist/$name" "$commit_time" <<'PY'
import sys, time, zipfile
when = time.gmtime(int(sys.argv[2]))[:6]
for entry in zipfile.ZipFile(sys.argv[1]).infolist():
    if entry.date_time != (when[0], when[1], when[2], when[3], when[4], when[5] // 2 * 2):
        print(f"{entry.filename} is dated {entry.date_time}, not {when}")
    if entry.external_attr >> 16 != 0o100644 or entry.extra:
        print(f"{entry.filename} has mode {entry.external_attr >> 16:o} and extra {entry.extra!r}")
    print(entry.filename)
PY
)
[ "$listing" = "$expected" ] || fail "the archive holds:
$listing
expected:
$expected"

# The version is the same everywhere: archive name (above), changelog, DLL resource
# (the exports test below), the tool.
[ "$(grep -m1 '^## ' "$kit/CHANGELOG.md")" = "## $version" ] || fail "CHANGELOG.md's top entry is not $version"
cmp "$kit/include/ulvane.h" "$root/include/ulvane.h" || fail "the kit's header is not the project's"

# Stripped, with its debug information beside it: no symbols or debug sections in
# the DLL; the link names the debug file and carries its CRC, as a debugger checks.
objdump=i686-w64-mingw32-objdump
sections=$($objdump -h "$kit/Ulvane.dll" | awk '/^ +[0-9]+ /{print $2}')
grep -q '^\.debug_' <<<"$sections" && fail "the DLL keeps debug sections: $sections"
$objdump -t "$kit/Ulvane.dll" | grep -q '^\[' && fail "the DLL keeps its symbol table"
$objdump -h "$kit/debug/Ulvane.dll.debug" | grep -q ' \.debug_info ' || fail "the debug file has no .debug_info"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
link=$scratch/debuglink
i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$link" "$kit/Ulvane.dll" "$scratch/copy.dll"
python3 - "$link" "$kit/debug/Ulvane.dll.debug" <<'PY' || fail "the DLL's debug link does not match its debug file"
import struct, sys, zlib
link = open(sys.argv[1], "rb").read()
name = link[:link.index(b"\0")]
crc, = struct.unpack("<I", link[(len(name) + 4) // 4 * 4:][:4])
actual = zlib.crc32(open(sys.argv[2], "rb").read())
print(f"debug link: {name.decode()} crc {crc:08x}, file crc {actual:08x}")
sys.exit(name != b"Ulvane.dll.debug" or crc != actual)
PY

# The DLL from the kit, loaded under Wine as an installer loads it.
ULVANE_TEST_DLL=$(windows_path "$kit/Ulvane.dll") \
  wine_run "$bin/exports_test.exe" --gtest_color=no --gtest_filter='ExportTable.*:VersionResource.*' ||
  fail "the kit's DLL fails the export table and version checks"

# The tool from the kit names the version and, from bin, finds the DLL in the folder above.
[ "$(wine_run "$kit/bin/ulvane-call.exe" --version)" = "ulvane-call $version" ] ||
  fail "ulvane-call --version: $(wine_run "$kit/bin/ulvane-call.exe" --version)"
[ "$(wine_run "$kit/bin/ulvane-call.exe" Sleep 0)" = 0 ] || fail "the kit's ulvane-call does not call its DLL"

# The NSIS example builds from the kit alone.
makensis -V2 -WX -DULVANE_DLL="$kit/Ulvane.dll" -DOUTFILE="$work/kit-example-setup.exe" \
  "$kit/examples/nsis/ulvane-example.nsi" || fail "the kit's NSIS example does not build"
echo "contents: ok"
