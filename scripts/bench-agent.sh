#!/usr/bin/env bash
# Benchmarks under Wine: the agent over 2,000 packages (frames per package, wall time), then
# one requester round trip. Arguments go to the agent benchmark (--mixed, --record DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in host win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2 >/dev/null
done
mkdir -p build/bench
scripts/wine-env.sh build/bench sh -c 'python3 bench/e2e/agent_bench.py "$@" && python3 bench/win/run_requester_bench.py' sh "$@"
