#!/usr/bin/env bash
# Runs the smoke test (tests/smoke_test.cpp) on any machine:
#   smoke.sh ARCH PROGRAM PREFIX
# in a Wine prefix of its own, made first. A 32-bit program runs natively where the
# machine runs 32-bit code (ULVANE_NO_I386 or not), else through an i386 emulator
# already enabled, else through qemu-i386-static registered in binfmt_misc for this
# run only (as root) and removed again on every path; else it is skipped (exit 77).
# Under an emulator the stand-in server is the 64-bit one of $ULVANE_X64_BIN.
set -euo pipefail
arch=$1 program=$2 prefix=$3
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/wine-env"
export WINEPREFIX=$prefix

binfmt=$i386_binfmt
entry=$i386_emulator_entry
qemu=/usr/bin/qemu-i386-static
# i386 ELF executables and shared objects, as Debian's qemu-user-binfmt names them.
register_line=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F'
# The smoke's own limit, inside CTest's (which ends a test without letting it clean up:
# scripts/test then removes a registration this run made).
limit=600

registered="" mounted=""
finish() {
  if [ -n "$registered" ]; then
    i386_emulator_unregister | sed 's/^/smoke: /' || true
  fi
  [ -z "$mounted" ] || umount "$binfmt" || true
  # Nothing else uses this prefix: its wineserver and whatever it still runs go too.
  wineserver -k 2>/dev/null || true
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

# Made before any emulator is registered: wineboot's 32-bit steps would crawl under one.
start=$SECONDS
wine_prefix_ready || { echo "smoke: the Wine prefix $WINEPREFIX was not made" >&2; exit 1; }
echo "smoke: prefix ready in $((SECONDS - start)) s"

run_smoke() {
  local start=$SECONDS code=0
  # Not holding the emulator's lock: a Wine process that outlives this run must not keep it.
  timeout -k 10 "$limit" "$root/scripts/wine-run" --arch="$arch" --prefix="$prefix" --even-emulated \
    "$program" --gtest_color=no 8>&- || code=$?
  echo "smoke: the test program ran $((SECONDS - start)) s"
  [ "$code" != 124 ] || echo "smoke: stopped after its limit of $limit s" >&2
  return "$code"
}

if [ "$arch" = x64 ]; then
  run_smoke
  exit
fi

i386_probe
if [ "$ULVANE_I386_NATIVE" = yes ]; then
  echo "smoke: this machine runs 32-bit code natively"
  run_smoke
  exit
fi

# One emulated run at a time: a second one must not use a registration the first is about to remove.
exec 8>"$i386_emulator_lock"
flock 8
# One left by an earlier run that was stopped before it could remove it.
i386_emulator_unregister | sed 's/^/smoke: /' || true
if enabled=$(i386_emulator); then
  echo "smoke: $ULVANE_I386_WHY; using the emulator already enabled in $binfmt/$enabled"
else
  why=""
  if [ "$(id -u)" != 0 ]; then
    why="not root, so no emulator can be registered"
  elif [ ! -x "$qemu" ]; then
    why="$qemu is not installed (Debian's qemu-user-static)"
  elif ! mountpoint -q "$binfmt" && ! { mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null && mounted=1; }; then
    why="binfmt_misc is not available"
  elif [ -e "$binfmt/$entry" ]; then
    why="$binfmt/$entry exists but is disabled"
  fi
  if [ -n "$why" ]; then
    echo "SKIPPED: $ULVANE_I386_WHY, no emulator is enabled for i386 programs, and $why"
    exit 77
  fi
fi

# Wine's 64-bit wineboot alone leaves the 32-bit system folder empty: its 32-bit steps,
# which would copy Wine's 32-bit DLLs there, need 32-bit code. Copied here, natively.
wine_i386_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
if [ ! -f "$prefix/.ulvane-syswow64" ]; then
  [ -f "$wine_i386_dlls/kernel32.dll" ] || { echo "SKIPPED: $ULVANE_I386_WHY, and Wine's 32-bit DLLs are not in $wine_i386_dlls"; exit 77; }
  start=$SECONDS
  cp -rn "$wine_i386_dlls/." "$prefix/drive_c/windows/syswow64/"
  touch "$prefix/.ulvane-syswow64"
  echo "smoke: Wine's 32-bit DLLs copied into the prefix's syswow64 in $((SECONDS - start)) s"
fi

if [ -z "${enabled:-}" ]; then
  touch "$i386_emulator_mark"
  registered=1
  printf '%s' "$register_line" >"$binfmt/register"
  echo "smoke: $ULVANE_I386_WHY; registered $binfmt/$entry for this run:" \
    "i386 ELF programs run through $qemu until it ends"
fi

# The 64-bit server talks over TCP just the same and starts at native speed.
if [ -n "${ULVANE_X64_BIN:-}" ] && [ -f "$ULVANE_X64_BIN/standin-server.exe" ]; then
  export ULVANE_STANDIN_SERVER="Z:$ULVANE_X64_BIN/standin-server.exe"
  echo "smoke: stand-in server $ULVANE_X64_BIN/standin-server.exe"
else
  echo "smoke: ULVANE_X64_BIN names no 64-bit stand-in server; the 32-bit one starts emulated too"
fi
run_smoke
