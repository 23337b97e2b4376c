#!/usr/bin/env bash
# Set up whatever is missing (system packages, .venv with the package built
# from this checkout), then run the demo: bash scripts/demo.sh [demo args]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ROOT/scripts/setup.sh" cpython
say "running examples/demo.py"
cd "$ROOT"
exec "$VENV/bin/python" examples/demo.py "$@"
