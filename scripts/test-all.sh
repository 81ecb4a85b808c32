#!/usr/bin/env bash
# Installs what is missing, builds the three presets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
for preset in host win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
status=0
ctest --preset host -j "$jobs" || status=1
# Win32 tests share one Wine environment; end-to-end tests among them run one at a time.
scripts/wine-env.sh build/win64 ctest --preset win64 -j "$jobs" || status=1
exit $status
