#!/usr/bin/env bash
# Runs whole_file_test's full-volume case on a volume of its own: a small tmpfs
# mounted for the run (as root) and reached through Wine's drive Z:, the Unix root.
# The test program fills it and updates a configuration file on it.
#   full_volume.sh MOUNT_POINT WINE_RUN [OPTIONS...] PROGRAM
set -euo pipefail
mount_point=$1
shift
[ "$(id -u)" -eq 0 ] || { echo "SKIPPED: mounting a small volume needs root"; exit 77; }
mkdir -p "$mount_point"
! mountpoint -q "$mount_point" || umount "$mount_point"
if ! errors=$(mount -t tmpfs -o size=64k,mode=0777 ulvane-full-volume "$mount_point" 2>&1); then
  rmdir "$mount_point" 2>/dev/null || true
  echo "SKIPPED: a small volume cannot be mounted here: $errors"
  exit 77
fi
trap 'umount "$mount_point" 2>/dev/null || umount -l "$mount_point"; rmdir "$mount_point"' EXIT
folder=${mount_point//\//\\}
"$@" --full-volume "Z:$folder"
