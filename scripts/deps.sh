#!/usr/bin/env bash
# Installs the Debian packages the build needs, where they are missing.
#   deps.sh        everything: tests, sanitizers, fuzzing, benchmarks, the Windows cross-build,
#                  headless Chromium for the behaviour report's test, Wine for the Windows
#                  client's tests
#   deps.sh run    only what building and running vetrona-sim needs
set -euo pipefail
run_pkgs=(build-essential cmake ninja-build nlohmann-json3-dev libcli11-dev libyaml-cpp-dev)
all_pkgs=("${run_pkgs[@]}" ccache clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-x86-64-win32 clang-16 lld-16 python3
          chromium chromium-driver python3-selenium g++-mingw-w64-x86-64-posix wine64)
if [ "${1:-}" = run ]; then wanted=("${run_pkgs[@]}"); else wanted=("${all_pkgs[@]}"); fi
need=()
for pkg in "${wanted[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
