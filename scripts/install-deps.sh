#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config ccache
          googletest libgtest-dev libgmock-dev
          qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
          qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
          fonts-ipafont-gothic dpkg-dev file lintian desktop-file-utils appstream
          libxcb1-dev xvfb trayer)
if [ "$#" -gt 0 ]; then
    packages=("$@")
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
