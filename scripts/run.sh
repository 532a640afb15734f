#!/usr/bin/env bash
# Builds vetrona-sim and runs its demo: the driver on the simulated kernel with a
# short client session and workload. Extra arguments go to vetrona-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" --target vetrona-sim
exec ./build/host/vetrona-sim demo "$@"
