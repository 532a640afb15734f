#!/usr/bin/env bash
# Builds vetrona-sim and shows a scenario: the driver on the simulated kernel,
# a client policy, and a workload played against them.
#
#   ./scripts/run.sh                 the headline scenario, readable
#   ./scripts/run.sh --json          the same as JSON lines (pipe it to jq)
#   ./scripts/run.sh run FILE...     any vetrona-sim command: run, serve, demo, --help
#
# Everything the build prints goes to standard error; standard output carries
# only the simulator's own output.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh run >&2
echo "run.sh: building vetrona-sim (the driver and the simulated kernel; a few minutes the first time)..." >&2
cmake --preset host >&2
cmake --build --preset host -j "$(nproc)" --target vetrona-sim >&2
sim=./build/host/vetrona-sim
case "${1:-}" in
  run|serve|demo|help|-h|--help) exec "$sim" "$@" ;;
esac
exec "$sim" run scenarios/ransomware-backup.yaml "$@"
