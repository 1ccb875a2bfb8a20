#!/usr/bin/env bash
# Installs the Debian packages CamRelay needs to build, run and test.
# Idempotent and quiet when everything is already there.
#   install-deps.sh          build + run (Qt, ffmpeg, compilers)
#   install-deps.sh --test   also the test servers (nginx-rtmp, RTSP simulator, Xvfb, fonts, nftables
#                            for a camera whose UDP is dropped),
#                            clang with libFuzzer's runtime for scripts/fuzz.sh, and chromium with
#                            its driver and Selenium for the web console's browser test
# Every name is the same on Debian 12 and 13 (libclang-rt-dev follows the release's clang: 14 on
# 12, 19 on 13); the first line says which release this is.
set -euo pipefail

release=$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-${ID:-}}") || true
case $release in
    *" 12 (bookworm)" | *" 13 (trixie)") echo "install-deps: found $release" ;;
    *) echo "install-deps: found ${release:-an unknown system}; the package names are those of Debian 12 and 13" ;;
esac

pkgs=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-translations-l10n libgl-dev ffmpeg
      libmicrohttpd-dev libcsv-dev
      fonts-wqy-microhei nginx-light libnginx-mod-rtmp
      python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
      gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-rtsp gstreamer1.0-tools
      xvfb xauth x11-apps imagemagick)
if [ "${1:-}" = "--test" ]; then
    pkgs+=(googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev prometheus
           dpkg-dev desktop-file-utils lintian systemd man-db chromium chromium-driver python3-selenium
           iproute2 nftables)
fi

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
