#!/usr/bin/env bash
# Builds and runs the whole test suite (scripts/test.sh) inside a Debian 13 (trixie) root, so that
# one machine checks both releases. Needs root (it asks sudo otherwise), debootstrap and unshare.
#   test-debian13.sh        (also: scripts/test.sh --debian13)
# The root is made once with debootstrap from the Debian archive this machine's apt uses and kept
# in CAMRELAY_DEBIAN13_ROOT (default /var/cache/camrelay/debian13-root); its packages are
# installed by scripts/install-deps.sh --test, again whenever that script changes. The tree is
# copied to /camrelay/src inside the root without its build folders: the root's build/ never
# mixes with the host's and is kept between runs. Everything inside runs in its own mount and
# PID namespaces: the mounts (/proc, /sys, /dev) and every process end with the run, even when it
# fails or is killed. The tests also get a network namespace of their own (only 127.0.0.1), so
# their servers never meet the host's.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ "$(id -u)" -eq 0 ] || exec sudo bash "${BASH_SOURCE[0]}" "$@"
target=${CAMRELAY_DEBIAN13_ROOT:-/var/cache/camrelay/debian13-root}
made=$target/.camrelay-made
packages=$target/.camrelay-packages
say() { echo "test13: $*"; }
start=$SECONDS

# The first URI of the archive ("…/debian") and of its security archive in this machine's apt
# sources, one-line or deb822.
archive() {
    {
        grep -hs '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources | awk '{ for (i = 2; i <= NF; i++) print $i }'
        grep -hs '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
            sed 's/\[[^]]*\]//' | awk '{ print $2 }'
    } | grep -E "/$1/?\$" | head -n 1 || true
}
mirror=$(archive debian)
security=$(archive debian-security)

# Runs "$@" inside the root in new mount and PID namespaces, with /proc, /sys and /dev mounted
# for the run only; with --own-network also in a network namespace where only 127.0.0.1 is up.
# The namespace's first process stays a plain waiting shell: it takes in orphans and reaps them.
inside() {
    local ns=(--mount --propagation private --pid --fork) lo=:
    if [ "$1" = --own-network ]; then
        ns+=(--net)
        lo='ip link set lo up'
        shift
    fi
    unshare "${ns[@]}" bash -euc "$lo"'
        t=$1; shift
        mount -t proc proc "$t/proc"
        mount --rbind /sys "$t/sys"
        mount --rbind /dev "$t/dev"
        chroot "$t" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    ' inside "$target" "$@"
}

if [ ! -f "$made" ]; then
    command -v debootstrap >/dev/null || { say "installing debootstrap"; apt-get install -y -qq debootstrap >/dev/null; }
    [ -n "$mirror" ] || { say "no Debian archive in /etc/apt/sources.list*: cannot make the root" >&2; exit 1; }
    say "making the Debian 13 root in $target (debootstrap --variant=minbase trixie from $mirror; once)"
    phase=$SECONDS
    rm -rf "$target.new"
    mkdir -p "$(dirname "$target")"
    debootstrap --variant=minbase trixie "$target.new" "$mirror" >"$target.log" 2>&1 ||
        { say "debootstrap failed; its log: $target.log" >&2; tail -n 15 "$target.log" >&2; exit 1; }
    rm -rf "$target"
    mv "$target.new" "$target"
    touch "$made"
    say "made the root in $((SECONDS - phase)) s"
fi

want=$(sha256sum "$src/scripts/install-deps.sh" | cut -d' ' -f1)
if [ "$(cat "$packages" 2>/dev/null)" != "$want" ]; then
    say "installing the packages inside the root (scripts/install-deps.sh --test, as scripts/install-deps.sh changed)"
    phase=$SECONDS
    {
        echo "deb $mirror trixie main"
        echo "deb $mirror trixie-updates main"
        [ -z "$security" ] || echo "deb $security trixie-security main"
    } >"$target/etc/apt/sources.list"
    cp /etc/resolv.conf "$target/etc/resolv.conf"
    [ -s "$target/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$target/etc/hosts"
    # No service starts inside the root (nginx's package would start one on port 80).
    printf '#!/bin/sh\nexit 101\n' >"$target/usr/sbin/policy-rc.d"
    chmod 755 "$target/usr/sbin/policy-rc.d"
    cp "$src/scripts/install-deps.sh" "$target/root/install-deps.sh"
    inside bash -c 'apt-get update -qq && bash /root/install-deps.sh --test' >"$target.apt.log" 2>&1 ||
        { say "installing the packages failed; log: $target.apt.log" >&2; tail -n 15 "$target.apt.log" >&2; exit 1; }
    grep '^install-deps:' "$target.apt.log" | sed 's/^/    /' || true
    echo "$want" >"$packages"
    say "installed the packages in $((SECONDS - phase)) s"
fi

say "copying the tree to $target/camrelay/src (its build folders stay)"
copy=$target/camrelay/src
mkdir -p "$copy"
find "$copy" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf {} +
tar -C "$src" --exclude=./.git --exclude='./build*' --exclude=./demo --exclude=Testing -cf - . | tar -C "$copy" -xf -

say "running scripts/test.sh inside the root (its own network: only 127.0.0.1)"
phase=$SECONDS
status=0
inside --own-network bash -c 'cd /camrelay/src && bash scripts/test.sh' || status=$?
if [ "$status" -eq 0 ]; then
    say "Debian 13: every test passed; build and tests took $((SECONDS - phase)) s, the whole run $((SECONDS - start)) s"
else
    say "Debian 13: failed (status $status) after $((SECONDS - phase)) s; the root's build folder: $copy/build" >&2
fi
exit "$status"
