# Sourced by the release tests: where things are, and small checks.
#   $1: the project's source root, $2: the tests' work directory, $3: the build's bin directory
set -euo pipefail
root=$1 work=$2 bin=$3
kit=$work/kit      # the first release, unpacked
dist=$work/dist-a  # the first release's dist directory

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The version the header declares, the one place that holds it.
header_version() {
  sed -n 's/^#define ULVANE_VERSION "\(.*\)"$/\1/p' "$root/include/ulvane.h"
}

# A Unix path as Wine names it.
windows_path() {
  local path
  path=$(realpath -m -- "$1")
  echo "Z:${path//\//\\}"
}

# Runs a Windows program in the test prefix; its console output without CRs.
wine_run() {
  "$root/scripts/wine-run" "$@" | tr -d '\r'
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
