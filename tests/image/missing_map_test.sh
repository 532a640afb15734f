#!/usr/bin/env bash
# A driver image without its link map beside it does not run: the run's checks
# of the driver's own state read the image's globals through the map.
#   missing_map_test.sh VETRONA_SIM IMAGE SCENARIO
set -uo pipefail
sim=$1 image=$2 scenario=$3
if [[ ! -f $image ]]; then
  echo "skipped: $image is missing (windows/build-sys.sh builds it)"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$image" "$dir/vetrona.sys"
"$sim" run --image "$dir/vetrona.sys" "$scenario" >"$dir/out" 2>&1
status=$?
if [[ $status -ne 1 ]] || ! grep -q "link map ($dir/vetrona.map) is missing" "$dir/out"; then
  echo "FAIL: without a map the run exited $status:"; cat "$dir/out"; exit 1
fi
# The same image with its map runs and passes.
cp "${image%.*}.map" "$dir/vetrona.map"
if ! "$sim" run --image "$dir/vetrona.sys" "$scenario" >"$dir/out" 2>&1; then
  echo "FAIL: with its map the run failed:"; cat "$dir/out"; exit 1
fi
echo "1 passed, 0 failed"
