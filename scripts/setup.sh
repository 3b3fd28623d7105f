#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the benchmarks need, when any
# is missing. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libjpeg62-turbo-dev libuemf-dev
          libgtest-dev libbenchmark-dev fonts-ipafont-gothic qt6-translations-l10n
          emf2svg libwmf-bin fonts-urw-base35 giflib-tools libjpeg-turbo-progs imagemagick desktop-file-utils
          python3-pil xvfb xclip poppler-utils
          libspng-dev libpng-dev libwebp-dev webp pngcheck libimage-exiftool-perl)
if [ "${PW_SETUP_EXTRA:-0}" = 1 ]; then
    # Side-by-side comparisons in the benchmarks and looking at the real window.
    packages+=(xvfb python3-pil python3-opencv libvips-tools pngquant clang libclang-rt-14-dev libgif-dev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
