#!/usr/bin/env bash
# Builds the simulator and runs its demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j2 --target vexsim >/dev/null
exec ./build/vexsim demo
