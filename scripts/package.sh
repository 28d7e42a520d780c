#!/usr/bin/env bash
# Builds the Debian packages in build/packages/:
#   quorvia-arvento     workstations: the launcher in /opt/quorvia, quorvia-update
#   quorvia-fileserver  the server: quorvia-fileserver and its systemd unit
# Install one with: sudo apt-get install ./build/packages/quorvia-arvento_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# cpack's dependency search runs dpkg-shlibdeps (dpkg-dev) and file on the programs.
missing=()
for p in dpkg-dev file; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build -j"$(nproc)" --target quorvia-arvento quorvia-update quorvia-fileserver \
  quorvia_man_pages
rm -rf build/packages
(cd build && cpack -G DEB)
ls -l build/packages/*.deb
