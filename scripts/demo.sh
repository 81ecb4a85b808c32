#!/usr/bin/env bash
# The demo: installs what is missing, builds the agent and the service, runs the agent
# against dblinkd under Wine, prints the results and saves demo-out/plxwin32.png and the
# console's overview as demo-out/console.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in host win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
mkdir -p build/demo
# Debian's own python3: it has python3-selenium for the console's screenshot.
scripts/wine-env.sh build/demo /usr/bin/python3 scripts/demo.py
