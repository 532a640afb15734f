#!/usr/bin/env bash
# Runs a command that needs the driver image, or reports the test skipped
# (exit 77) when the image has not been built (windows/build-sys.sh builds it;
# scripts/test.sh builds it before the tests run).
#   run_if_image.sh IMAGE COMMAND...
image=$1; shift
if [[ ! -f $image ]]; then
  echo "skipped: $image is missing (windows/build-sys.sh builds it)"
  exit 77
fi
exec "$@"
