#!/usr/bin/env bash
# Benchmarks: the agent over 2,000 packages, and one requester round trip, under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in host win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
mkdir -p build/bench
scripts/wine-env.sh build/bench python3 bench/e2e/agent_bench.py
