#!/usr/bin/env bash
# Builds the agent and starts it with the given arguments, e.g. ./run.sh --self-test
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup build
scripts/build --target vindaro-agent
exec build/vindaro-agent "$@"
