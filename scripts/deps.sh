#!/usr/bin/env bash
# Installs the Debian packages the build needs, where they are missing.
#   deps.sh          everything: tests, sanitizers, fuzzing, benchmarks, instruction counts
#                    (valgrind), the Windows cross-build, headless Chromium and pdftotext for the behaviour
#                    report's test, Wine for the Windows client's tests
#   deps.sh run      only what building and running vetrona-sim needs
#   deps.sh windows  only what windows/build-sys.sh needs (the cross toolchain and the headers
#                    the Windows client is built with; without Wine its tests are built, not run)
set -euo pipefail
run_pkgs=(build-essential cmake ninja-build pkg-config nlohmann-json3-dev libcli11-dev libyaml-cpp-dev libpcre2-dev libssl-dev)
windows_pkgs=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix clang-16 lld-16 python3 ccache
              nlohmann-json3-dev libcli11-dev libgtest-dev)
all_pkgs=("${run_pkgs[@]}" "${windows_pkgs[@]}" clang libclang-rt-14-dev libgmock-dev libbenchmark-dev
          valgrind chromium chromium-driver python3-selenium poppler-utils wine64)
case "${1:-}" in
  run) wanted=("${run_pkgs[@]}") ;;
  windows) wanted=("${windows_pkgs[@]}") ;;
  *) wanted=("${all_pkgs[@]}") ;;
esac
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
