# Sourced by the release tests: where things are, and small checks.
#   $1: the project's source root, $2: the tests' work directory,
#   $3: the build tree the tests run in, $4: its architecture (i686 or x64)
set -euo pipefail
root=$1 work=$2 tree=$3 tree_arch=$4
bin=$tree/bin
kit=$work/kit      # the first release, unpacked
dist=$work/dist-a  # the first release's dist directory
. "$root/scripts/wine-env"

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The version the header declares, the one place that holds it.
header_version() {
  sed -n 's/^#define ULVANE_VERSION "\(.*\)"$/\1/p' "$root/include/ulvane.h"
}

# The kit's folder for an architecture's DLL, tool and debug file.
kit_folder() {
  if [ "$2" = x64 ]; then echo "$1/x64"; else echo "$1"; fi
}
# The MinGW-w64 tool prefix of an architecture.
triplet() {
  if [ "$1" = x64 ]; then echo x86_64-w64-mingw32; else echo i686-w64-mingw32; fi
}

# Whether this machine runs the architecture's programs; if not, says so (not as a
# skip: the rest of the test has run).
runs_here() {
  [ "$1" = x64 ] && return 0
  i386_suite && return 0
  echo "not run here ($1 programs): $(i386_suite_why)"
  return 1
}

# A Unix path as Wine names it.
windows_path() {
  local path
  path=$(realpath -m -- "$1")
  echo "Z:${path//\//\\}"
}

# Runs a Windows program of the architecture $1 in the tree's prefix; its console
# output without CRs.
wine_run() {
  local arch=$1
  shift
  "$root/scripts/wine-run" --arch="$arch" --prefix="$tree/wineprefix" "$@" | tr -d '\r'
}

# The tree's export-table and version tests on the DLL $1, which must be of the tree's
# architecture.
exports_check() {
  ULVANE_TEST_DLL=$(windows_path "$1") wine_run "$tree_arch" "$bin/exports_test.exe" --gtest_color=no \
    --gtest_filter='ExportTable.*:VersionResource.*'
}

unpack() {
  rm -rf "$2"
  python3 -m zipfile -e "$1" "$2"
}

# scripts/release with its build in $1 and its output in $2, then the rest of the arguments.
release() {
  local build=$1 out=$2
  shift 2
  rm -rf "$out"
  ULVANE_RELEASE_BUILD=$build "$root/scripts/release" --dist "$out" "$@"
}
