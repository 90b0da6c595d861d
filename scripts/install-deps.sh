#!/usr/bin/env bash
# Installs what Quellmoor needs to build and test on Debian. Idempotent.
#   scripts/install-deps.sh             build, test and preview-helper packages
#   scripts/install-deps.sh --fixtures  also the tools that remake tests/fixtures/
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
            libblkid-dev libudev-dev libcli11-dev nlohmann-json3-dev
            libewf-dev libvhdi-dev libvmdk-dev libqcow-dev
            libjpeg62-turbo-dev libpng-dev zlib1g-dev libexif-dev libssl-dev)
test_pkgs=(dosfstools mtools xxd e2fsprogs util-linux fdisk gzip)
# The desktop wizard: Qt 6 Widgets (the offscreen platform plugin is in libqt6gui6), its tests
# (Qt Test), Qt's own texts in other languages (the file choosers), Xvfb for the screenshots,
# and setfacl for the privileged disk-read helper.
gui_pkgs=(qt6-base-dev libqt6test6 qt6-translations-l10n xvfb xauth acl)
# The preview's helper programs and ffmpeg (videos' thumbnails): optional at run time (a missing one
# shows the raw first bytes or the kind's icon), installed here so that their tests run.
preview_pkgs=(poppler-utils 7zip catdoc mpv libheif-examples webp dcraw ffmpeg)
fixture_pkgs=(ntfs-3g attr fonttools imagemagick ffmpeg zip p7zip-full sqlite3 gcab fonts-dejavu-core
              libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui lame
              libimage-exiftool-perl ewf-tools qemu-utils fusefat exfatprogs exfat-fuse
              libheif-examples libavif-bin webp zstd xz-utils bzip2)

want=("${build_pkgs[@]}" "${test_pkgs[@]}" "${preview_pkgs[@]}" "${gui_pkgs[@]}")
if [[ "${1:-}" == "--fixtures" ]]; then
  want+=("${fixture_pkgs[@]}")
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
