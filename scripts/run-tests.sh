#!/usr/bin/env bash
# Installs what the build and the tests need, builds with warnings as
# errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libvterm-dev srecord binutils)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DKESTREL_WERROR=ON -DKESTREL_REQUIRE_TESTS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2
