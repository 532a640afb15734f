#!/usr/bin/env bash
# Runs a command only when the shared detection rules are beside the
# repository (SHARED_SIGMA_DIR/rules); otherwise reports the test skipped.
# Usage: sigma_if_shared.sh SHARED_SIGMA_DIR COMMAND...
shared=$1
shift
if [[ ! -d "$shared/rules" ]]; then
  echo "skipped: no shared detection rules at $shared/rules"
  exit 77
fi
exec "$@"
