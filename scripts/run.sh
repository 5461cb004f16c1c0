#!/usr/bin/env bash
# Installs what is missing, builds Velmorine and starts it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
if [[ -x "$build/Velmorine/velmorine" ]]; then
  exec "$build/Velmorine/velmorine" "$@"
fi
echo "Built the libraries, tests and benchmarks in $build."
echo "The Velmorine program itself is not written yet, so there is nothing to start."
