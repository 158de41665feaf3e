#!/usr/bin/env bash
# What the release holds: exactly the kit's files, with fixed times; a checksum
# file that checks; for each architecture, the two stripped DLLs of that
# architecture, each linked to its debug file, with its exports at their ordinals,
# the version resource and only system imports, and a tool that names the version
# and finds the DLL; an NSIS example and both packages of the Windows Installer
# example that build from the kit.
. "$(dirname "$0")/common.sh"
version=$(header_version)
name=ulvane-$version-win32.zip

# SHA256SUMS lists exactly the archive, and checks.
[ "$(cut -d' ' -f3- "$dist/SHA256SUMS")" = "$name" ] || fail "SHA256SUMS: $(cat "$dist/SHA256SUMS")"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "the archive's checksum does not match SHA256SUMS"

# Exactly these files, in this order (no folder entries), each dated from the commit
# the release was made from (which HEAD may have moved past since, in a shared tree).
commit=$(cat "$work/build-a/commit")
expected=$(
  {
    printf '%s\n' CHANGELOG.md LICENSE README.md include/ulvane.h
    for folder in "" x64/; do
      printf "$folder%s\n" Ulvane.dll UlvaneMsi.dll bin/ulvane-call.exe debug/Ulvane.dll.debug \
        debug/UlvaneMsi.dll.debug
    done
    git -C "$root" ls-tree -r --name-only "$commit" -- \
      docs include/nsis include/inno examples/c examples/inno examples/msi examples/nsis examples/routines \
      examples/web |
      grep -v '/CMakeLists.txt$'
  } | LC_ALL=C sort
)
commit_time=$(git -C "$root" log -1 --format=%ct "$commit")
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

# The version is the same everywhere: archive name (above), changelog, DLL resources
# (the checks below), the tools.
[ "$(grep -m1 '^## ' "$kit/CHANGELOG.md")" = "## $version" ] || fail "CHANGELOG.md's top entry is not $version"
for file in include/ulvane.h include/nsis/Ulvane.nsh include/inno/Ulvane.iss; do
  cmp "$kit/$file" "$root/$file" || fail "the kit's $file is not the project's"
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# One of the kit's DLLs ($3, in the kit folder $2, of the architecture $1): stripped,
# with its debug information beside it (no symbols or debug sections in the DLL; the
# link names the debug file and carries its CRC, as a debugger checks), and, read as a
# file, which needs no Windows program, the machine, the module definition $4's
# exports at their ordinals, only system imports (of the lists after $4), the
# header's version in the resource.
check_dll() {
  local arch=$1 folder=$2 name=$3 definition=$4 tools sections list imports=()
  shift 4
  for list in "$@"; do imports+=(--imports "$root/tests/imports/$list"); done
  local dll=$folder/$name debug=$folder/debug/$name.debug
  tools=$(triplet "$arch")
  sections=$("$tools-objdump" -h "$dll" | awk '/^ +[0-9]+ /{print $2}')
  grep -q '^\.debug_' <<<"$sections" && fail "$arch: $name keeps debug sections: $sections"
  "$tools-objdump" -t "$dll" | grep -q '^\[' && fail "$arch: $name keeps its symbol table"
  "$tools-objdump" -h "$debug" | grep -q ' \.debug_info ' || fail "$arch: $name.debug has no .debug_info"
  "$tools-objcopy" --dump-section .gnu_debuglink="$scratch/$arch.link" "$dll" "$scratch/$arch.dll"
  python3 - "$scratch/$arch.link" "$debug" "$name.debug" <<'PY' || fail "$arch: $name's debug link does not match its debug file"
import struct, sys, zlib
link = open(sys.argv[1], "rb").read()
name = link[:link.index(b"\0")]
crc, = struct.unpack("<I", link[(len(name) + 4) // 4 * 4:][:4])
actual = zlib.crc32(open(sys.argv[2], "rb").read())
print(f"debug link: {name.decode()} crc {crc:08x}, file crc {actual:08x}")
sys.exit(name != sys.argv[3].encode() or crc != actual)
PY
  python3 "$root/tests/dll_static_check.py" --arch "$arch" --objdump "$tools-objdump" \
    --header "$root/include/ulvane.h" --def "$root/$definition" "${imports[@]}" "$dll" ||
    fail "$arch: the kit's $name fails the static checks"
}

# One architecture's DLLs, debug files and tool, in the kit folder $2.
check_arch() {
  local arch=$1 folder=$2 tools format
  local dll=$folder/Ulvane.dll tool=$folder/bin/ulvane-call.exe
  tools=$(triplet "$arch")
  if [ "$arch" = x64 ]; then format=pei-x86-64; else format=pei-i386; fi
  for binary in "$dll" "$folder/UlvaneMsi.dll" "$tool"; do
    "$tools-objdump" -f "$binary" | grep -q "file format $format\$" ||
      fail "${binary#"$kit"/} is not $format: $("$tools-objdump" -f "$binary" 2>&1 | grep -m1 format)"
  done
  check_dll "$arch" "$folder" Ulvane.dll src/exports/Ulvane.def "$arch.txt"
  check_dll "$arch" "$folder" UlvaneMsi.dll src/msi/UlvaneMsi.def "$arch.txt" msi.txt

  # Loaded under Wine as an installer loads it, by the tree's export and version tests
  # where the DLL is of the tree's architecture.
  if [ "$arch" = "$tree_arch" ]; then
    exports_check "$dll" || fail "$arch: the kit's DLL fails the export table and version checks"
  fi
  # The tool names the version and, from bin, finds the DLL in the folder above.
  runs_here "$arch" || return 0
  [ "$(wine_run "$arch" "$tool" --version)" = "ulvane-call $version" ] ||
    fail "$arch: ulvane-call --version: $(wine_run "$arch" "$tool" --version)"
  [ "$(wine_run "$arch" "$tool" Sleep 0)" = 0 ] || fail "$arch: the kit's ulvane-call does not call its DLL"
  echo "$arch: ok"
}
check_arch i686 "$kit"
check_arch x64 "$kit/x64"

# The NSIS example builds from the kit alone.
makensis -V2 -WX -DULVANE_DLL="$kit/Ulvane.dll" -DOUTFILE="$work/kit-example-setup.exe" \
  "$kit/examples/nsis/ulvane-example.nsi" || fail "the kit's NSIS example does not build"
# The Windows Installer example builds from the kit alone, for either architecture,
# around the kit's UlvaneMsi.dll of that architecture.
wixl -a x86 -D UlvaneMsiDll=../../UlvaneMsi.dll -o "$work/kit-example-x86.msi" \
  "$kit/examples/msi/ulvane-example.wxs" || fail "the kit's x86 Windows Installer example does not build"
wixl -a x64 -D UlvaneMsiDll=../../x64/UlvaneMsi.dll -o "$work/kit-example-x64.msi" \
  "$kit/examples/msi/ulvane-example.wxs" || fail "the kit's x64 Windows Installer example does not build"
echo "contents: ok"
