#!/usr/bin/env bash
# Builds the Debian package of CamRelay with CPack from a Release build of the program alone, in
# a folder of its own (the run and test commands' RelWithDebInfo build is never packaged), and
# with --check proves it: lintian finds no error (its warnings are listed), the package is
# unpacked into a temporary root (dpkg -x), the program there answers --version, the desktop
# entry passes desktop-file-validate without a hint, the service unit passes systemd-analyze
# verify, the sysusers file creates the service account in that root, an upgrade restarts the
# running sites and a purge removes their folders.
#   package.sh [--check] [BUILD_DIR]     (default build-package/)
# CAMRELAY_MAINTAINER="Name <address>" in the environment names the package's maintainer.
# Prints the package's path and, with --check, its file list. Exit 77: a checking tool is missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
build="${1:-$root/build-package}"
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -f "$build/CMakeCache.txt" ]; then
    type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
    [ "$type" = Release ] || fail "$build is a ${type:-default} build; the package is made from a Release build in a folder of its own (default build-package/)"
fi
options=(-DCMAKE_BUILD_TYPE=Release -DCAMRELAY_GUI=ON -DCAMRELAY_TESTS=OFF -DCAMRELAY_BENCH=OFF)
[ -z "${CAMRELAY_MAINTAINER:-}" ] || options+=("-DCAMRELAY_MAINTAINER=$CAMRELAY_MAINTAINER")
# Debian's hardening flags (stack protector, fortified functions, read-only relocations bound at
# start), without its -g -O2: the build type decides those. Taken in the source folder, so that
# the file-prefix map and with it the cache stay the same from run to run.
if command -v dpkg-buildflags >/dev/null; then
    flags() { (cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP="-g -O2" dpkg-buildflags --get "$1"); }
    options+=("-DCMAKE_CXX_FLAGS=$(flags CPPFLAGS) $(flags CXXFLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)")
fi
# Progress goes to standard error: standard output starts with the package's path.
bash "$root/scripts/build.sh" --dir "$build" --what "the program for the package (Release)" "${options[@]}" CamRelay >&2
build="$(cd "$build" && pwd)"
out="$build/package"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; exit 1; }
deb=$(ls -t "$out"/camrelay_*.deb | head -n 1)
echo "$deb"
[ "$check" = 1 ] || exit 0

for tool in dpkg-deb desktop-file-validate systemd-analyze systemd-sysusers man lintian; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps.sh --test)"; exit 77; }
done
tmp=$(mktemp -d /tmp/camrelay-deb.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

dpkg-deb -c "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}'
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" == *ffmpeg* && "$depends" == *libqt6widgets6* ]] || fail "dependencies incomplete: $depends"

# Errors fail the check; warnings and the rest are listed for whoever reads the log.
lintian --fail-on error --display-info "$deb" >"$tmp/lintian.log" 2>&1 || {
    cat "$tmp/lintian.log" >&2
    fail "lintian found errors"
}
echo "lintian: $(grep -c '^E:' "$tmp/lintian.log" || true) errors, $(grep -c '^W:' "$tmp/lintian.log" || true) warnings"
cat "$tmp/lintian.log"

dpkg -x "$deb" "$tmp/root"
r="$tmp/root"
doc=usr/share/doc/camrelay
for f in usr/bin/CamRelay usr/share/applications/camrelay.desktop usr/lib/systemd/system/camrelay@.service \
         usr/lib/sysusers.d/camrelay.conf usr/share/man/man1/CamRelay.1.gz $doc/DEPLOYMENT.md $doc/copyright \
         $doc/changelog.gz $doc/camrelay.rules.yml usr/share/icons/hicolor/{48x48,64x64,128x128,256x256}/apps/camrelay.png; do
    [ -e "$r/$f" ] || fail "missing /$f"
done
# Qt is installed system-wide, so the unpacked program runs as it is; no display is needed.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$r/usr/bin/CamRelay" --version) || fail "--version"
[ "$version" = "CamRelay $(dpkg-deb -f "$deb" Version)" ] || fail "--version printed '$version'"
echo "$version"
# A hint (two main categories: the entry shows in two menus) counts as a fault too.
hints=$(desktop-file-validate "$r/usr/share/applications/camrelay.desktop" 2>&1) && [ -z "$hints" ] ||
    fail "desktop-file-validate: $hints"
# What the unit's User= needs and a plain cmake --install does not make: the account.
mkdir -p "$r/etc"
systemd-sysusers --root "$r" "$r/usr/lib/sysusers.d/camrelay.conf" 2>&1
grep -q '^camrelay:' "$r/etc/passwd" || fail "systemd-sysusers created no camrelay account"
# systemd-analyze verify checks that the command exists and that the man page opens. The unit
# is checked as an instance, with its command pointed at the unpacked program and man at the
# unpacked pages (--root would also need the host's targets and /bin/kill inside the root).
mkdir "$tmp/units"
sed "s|/usr/bin/CamRelay|$r/usr/bin/CamRelay|" "$r/usr/lib/systemd/system/camrelay@.service" \
    > "$tmp/units/camrelay@site1.service"
MANPATH="$r/usr/share/man" systemd-analyze verify "$tmp/units/camrelay@site1.service" 2>&1 | tee "$tmp/verify.log"
[ "${PIPESTATUS[0]}" = 0 ] && [ ! -s "$tmp/verify.log" ] || fail "systemd-analyze verify"
# The maintainer scripts: an upgrade restarts the sites that run (they would keep running the old
# program), and a purge removes the sites' folders (their config.ini holds camera passwords),
# which a plain removal keeps. Run for real against a folder standing in for the root.
dpkg-deb -e "$deb" "$tmp/control"
for script in postinst prerm postrm; do [ -x "$tmp/control/$script" ] || fail "no $script"; done
grep -q "try-restart 'camrelay@\*.service'" "$tmp/control/postinst" || fail "postinst does not restart running sites"
for how in remove purge; do
    mkdir -p "$tmp/$how/var/lib/camrelay/site1"
    echo "[SET DEFAULT VALUE]" >"$tmp/$how/var/lib/camrelay/site1/config.ini"
    DPKG_ROOT="$tmp/$how" sh "$tmp/control/postrm" "$how" || fail "postrm $how"
done
[ -f "$tmp/remove/var/lib/camrelay/site1/config.ini" ] || fail "postrm remove deleted a site's config.ini"
[ ! -e "$tmp/purge/var/lib/camrelay" ] || fail "postrm purge left /var/lib/camrelay"
echo "package checked: $deb"
