#!/usr/bin/env bash
# Builds the Debian package of CamRelay with CPack, and with --check proves it: the package is
# unpacked into a temporary root (dpkg -x), the program there answers --version, and the
# desktop entry and the service unit pass desktop-file-validate and systemd-analyze verify.
#   package.sh [--check] [BUILD_DIR]     (default build/; configured for a release when new)
# Prints the package's path and, with --check, its file list. Exit 77: a checking tool is missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
build="${1:-$root/build}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCAMRELAY_TESTS=OFF -DCAMRELAY_BENCH=OFF >/dev/null
fi
ninja -C "$build" CamRelay >/dev/null
out="$build/package"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; exit 1; }
deb=$(ls -t "$out"/camrelay_*.deb | head -n 1)
echo "$deb"
[ "$check" = 1 ] || exit 0

for tool in dpkg-deb desktop-file-validate systemd-analyze man; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps.sh --test)"; exit 77; }
done
tmp=$(mktemp -d /tmp/camrelay-deb.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dpkg-deb -c "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}'
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" == *ffmpeg* && "$depends" == *libqt6widgets6* ]] || fail "dependencies incomplete: $depends"

dpkg -x "$deb" "$tmp/root"
r="$tmp/root"
for f in usr/bin/CamRelay usr/share/applications/camrelay.desktop usr/lib/systemd/system/camrelay@.service \
         usr/lib/sysusers.d/camrelay.conf usr/share/man/man1/CamRelay.1 usr/share/doc/camrelay/DEPLOYMENT.md \
         usr/share/icons/hicolor/{48x48,64x64,128x128,256x256}/apps/camrelay.png; do
    [ -e "$r/$f" ] || fail "missing /$f"
done
# Qt is installed system-wide, so the unpacked program runs as it is; no display is needed.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$r/usr/bin/CamRelay" --version) || fail "--version"
[ "$version" = "CamRelay $(dpkg-deb -f "$deb" Version)" ] || fail "--version printed '$version'"
echo "$version"
desktop-file-validate "$r/usr/share/applications/camrelay.desktop" || fail "desktop-file-validate"
# systemd-analyze verify checks that the command exists and that the man page opens. The unit
# is checked as an instance, with its command pointed at the unpacked program and man at the
# unpacked pages (--root would also need the host's targets and /bin/kill inside the root).
mkdir "$tmp/units"
sed "s|/usr/bin/CamRelay|$r/usr/bin/CamRelay|" "$r/usr/lib/systemd/system/camrelay@.service" \
    > "$tmp/units/camrelay@site1.service"
MANPATH="$r/usr/share/man" systemd-analyze verify "$tmp/units/camrelay@site1.service" 2>&1 | tee "$tmp/verify.log"
[ "${PIPESTATUS[0]}" = 0 ] && [ ! -s "$tmp/verify.log" ] || fail "systemd-analyze verify"
echo "package checked: $deb"
