#!/usr/bin/env bash
# Installs what the build needs, builds tarnsolve and runs it on an example command file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tarnsolve
./build/tarnsolve "${1:-examples/first.in}"
