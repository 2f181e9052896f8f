#!/usr/bin/env bash
# Builds everything and runs every test through CTest; exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup test
scripts/build
echo "running the tests (each starts the servers it needs)…" >&2
exec ctest --preset default "$@"
