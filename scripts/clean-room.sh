#!/usr/bin/env bash
# Proves the README's Quick start on a fresh, minimal Debian 12: bootstraps a minbase root from
# this machine's configured Debian mirror, clones this checkout's HEAD into it, and runs
# `scripts/demo.sh` then `scripts/test.sh` there as root, in private mount and PID namespaces with
# their own /proc, /sys, /dev and a tmpfs /tmp. Every package comes through scripts/deps.sh inside.
#
# Usage: scripts/clean-room.sh            (as root; only committed work is tested)
# The bootstrapped root (a tarball) and the downloaded .deb files are kept outside the checkout in
# ORVANTA_CLEAN_ROOM_CACHE (default /var/cache/orvanta-clean-room), so a second run skips the
# bootstrap and most downloads; delete that folder for a cold run. A machine that cannot bootstrap
# (not root, no Debian mirror configured, no debootstrap) is reported in one line and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
suite=bookworm
cache=${ORVANTA_CLEAN_ROOM_CACHE:-/var/cache/orvanta-clean-room}
tarball=$cache/$suite-minbase.tar

skip() {
  echo "clean-room: skipped: $*"
  exit 0
}

[[ $(id -u) -eq 0 ]] || skip "needs root (debootstrap, chroot and mounts)"

# The mirror the machine's apt already uses for $suite: deb822 .sources first, then one-line lists.
find_mirror() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk -v suite="$suite" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "") {
          split(uris, u, " "); print u[1]; found = 1; exit
        }
        types = suites = uris = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]*#/ { next }
      tolower($1) == "types:"  { $1 = ""; types = $0 }
      tolower($1) == "suites:" { $1 = ""; suites = $0 }
      tolower($1) == "uris:"   { $1 = ""; uris = $0 }
      END { if (!found) flush() }' "$file"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    sed -nE "s/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+$suite[[:space:]].*/\2/p" \
      "$file"
  done
}
mirror=$(find_mirror | head -n1 || true)
[[ -n $mirror ]] || skip "no Debian $suite mirror in this machine's apt sources"

if ! command -v debootstrap >/dev/null 2>&1 || ! command -v git >/dev/null 2>&1; then
  scripts/deps.sh clean-room >/dev/null 2>&1 || true
  command -v debootstrap >/dev/null 2>&1 || skip "debootstrap is missing and could not be installed"
  command -v git >/dev/null 2>&1 || skip "git is missing and could not be installed"
fi

head=$(git -C "$checkout" rev-parse HEAD)
if [[ -n $(git -C "$checkout" status --porcelain --untracked-files=no) ]]; then
  echo "clean-room: note: uncommitted changes are not part of the run; testing HEAD $head"
fi

mkdir -p "$cache/archives/partial"
chmod 0755 "$cache"
work=$(mktemp -d /var/tmp/orvanta-clean-room.XXXXXX)
root=$work/root

# Everything mounted for the run lives in its own mount namespace and vanishes with it; before
# removing the folder, make sure nothing is mounted below it here, or rm could reach the host's
# /dev or /sys.
cleanup() {
  local status=$?
  if grep -qF " $work/" /proc/self/mountinfo; then
    echo "clean-room: $work still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$SECONDS
if [[ ! -f $tarball ]]; then
  echo "clean-room: bootstrapping Debian $suite (minbase) from $mirror"
  keyring=()
  [[ -f /usr/share/keyrings/debian-archive-keyring.gpg ]] &&
    keyring=(--keyring=/usr/share/keyrings/debian-archive-keyring.gpg)
  debootstrap --variant=minbase "${keyring[@]}" "$suite" "$work/bootstrap" "$mirror" \
    >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; echo "clean-room: debootstrap failed" >&2; exit 1; }
  tar -C "$work/bootstrap" --numeric-owner -cf "$tarball.partial" .
  mv "$tarball.partial" "$tarball"
  rm -rf --one-file-system "$work/bootstrap"
  echo "clean-room: bootstrapped in $((SECONDS - started)) s; cached as $tarball"
fi

mkdir "$root"
tar -C "$root" --numeric-owner -xpf "$tarball"
# A mktemp folder is 0700: the root must be 0755, or tests that drop to nobody cannot reach
# anything in it.
chmod 0755 "$root"

# The machine's own apt sources and name resolution, so deps.sh inside downloads as the host does.
rm -f "$root"/etc/apt/sources.list "$root"/etc/apt/sources.list.d/*
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [[ -f $file ]] && cp "$file" "$root$file"
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

# Not below /root (mode 0700): the tests that drop to nobody must reach the built programs.
git clone --quiet --no-hardlinks "$checkout" "$root/usr/src/orvanta"
git -C "$root/usr/src/orvanta" checkout --quiet --detach "$head"

echo "clean-room: running scripts/demo.sh and scripts/test.sh in a fresh Debian $suite root (HEAD $head)"
# A new PID namespace as well: the tests look for the agent's processes by name, and must see
# neither this machine's nor another test run's.
unshare --mount --pid --fork --kill-child --propagation private -- \
  /bin/bash -euo pipefail -c '
    root=$1 archives=$2
    mount --bind "$root" "$root"              # a mount point, as a real root is
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys" 2>/dev/null || mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    mount --bind "$archives" "$root/var/cache/apt/archives"
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      /bin/bash -euo pipefail -c "cd /usr/src/orvanta && scripts/demo.sh && scripts/test.sh"
  ' clean-room "$root" "$cache/archives"

echo "clean-room: passed in $((SECONDS - started)) s"
