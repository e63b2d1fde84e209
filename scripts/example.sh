#!/usr/bin/env bash
# The worked example: fits real data and writes plots.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
exec .venv/bin/python examples/worked_example.py "$@"
