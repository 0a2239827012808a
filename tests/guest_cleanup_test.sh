#!/usr/bin/env bash
# tools/guest's cleanup of a build stopped while debootstrap had the host's folders mounted
# in the root it builds: the mount goes, the tree goes, the mounted folder's files stay.
#   guest_cleanup_test.sh SOURCE-ROOT
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "needs root to mount, as building the guest image does"; exit 77; }
scratch=$(mktemp -d)
trap 'umount -l "$scratch/work/root/proc" 2>/dev/null || true; rm -rf --one-file-system "$scratch"' EXIT
mkdir -p "$scratch/host" "$scratch/work/root/proc"
echo kept >"$scratch/host/file"
mount --bind "$scratch/host" "$scratch/work/root/proc"

eval "$(sed -n '/^remove_tree() {$/,/^}$/p' "$1/tools/guest")"
remove_tree "$scratch/work"

[ ! -e "$scratch/work" ] || { echo "FAILED: the build's tree is still there" >&2; exit 1; }
[ "$(cat "$scratch/host/file")" = kept ] || { echo "FAILED: a mounted folder's file was removed" >&2; exit 1; }
