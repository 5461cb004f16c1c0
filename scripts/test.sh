#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# Usage: scripts/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true
"$root/scripts/install-deps.sh"
werror=OFF
if [[ "${CI:-}" == "true" ]]; then werror=ON; fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORINE_WERROR=$werror "$@"
cmake --build "$build"
cd "$build"
ctest --output-on-failure --timeout 600 -j"$(nproc)" 2>&1 | tee "$build/ctest.log"
