#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and run the launcher.
# Does nothing when they are all present already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6network6 libgl-dev
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libmicrohttpd-dev
  zlib1g-dev
  nginx-light
  fonts-dejavu-core xvfb xauth
  strace util-linux clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
