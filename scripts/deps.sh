#!/usr/bin/env bash
# Installs the Debian packages the build needs, where they are missing.
set -euo pipefail
need=()
for pkg in build-essential cmake ninja-build ccache clang libclang-rt-14-dev libgtest-dev libgmock-dev \
           libbenchmark-dev nlohmann-json3-dev libcli11-dev g++-mingw-w64-x86-64-win32 python3; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
