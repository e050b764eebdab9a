#!/usr/bin/env bash
# Builds lndb (preset "default") and runs the demo on the bundled sample
# installation.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
examples/demo.sh build/default
