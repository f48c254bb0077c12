#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, only those missing.
set -euo pipefail

packages=(
  g++
  cmake
  ninja-build
  ccache
  pkg-config
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  nlohmann-json3-dev
  libcli11-dev
  chromium
  libzip-dev
  qt6-base-dev
  libgl-dev
  fonts-dejavu-core
  mtools
  desktop-file-utils
  shared-mime-info
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
