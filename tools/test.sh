#!/bin/bash
# Builds both presets (x86_64, run and tested; i686, compiled and linked) and runs every test
# under Wine: unit tests and end-to-end tests. Prints CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset x64 >/dev/null
cmake --build --preset x64
cmake --preset i686 >/dev/null
cmake --build --preset i686
ctest --preset x64
