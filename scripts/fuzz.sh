#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# from its seed corpus. Usage: scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
seconds="${1:-30}"
CC=clang-19 CXX=clang++-19 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORINE_FUZZ=ON -DVELMORINE_TESTS=OFF -DVELMORINE_BENCH=OFF
cmake --build "$build"
mapfile -t targets < <(find "$build/fuzz" -type f -name '*_fuzz' -perm -u+x | sort)
if ((${#targets[@]} == 0)); then
  echo "No fuzz targets."
  exit 0
fi
status=0
pids=()
for target in "${targets[@]}"; do
  name="$(basename "$target")"
  folder="$(basename "$(dirname "$target")")"
  seeds="$root/fuzz/$folder/corpus/$name"
  work="$build/corpus/$name"
  mkdir -p "$work"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0)
  dict="$root/fuzz/$folder/$name.dict"
  [[ -f "$dict" ]] && args+=(-dict="$dict")
  echo "Fuzzing $name for ${seconds}s"
  ( "$target" "${args[@]}" "$work" "$seeds" >"$build/$name.log" 2>&1 ) &
  pids+=("$!:$name")
done
for entry in "${pids[@]}"; do
  pid="${entry%%:*}"; name="${entry#*:}"
  if wait "$pid"; then
    echo "$name: clean ($(grep -c '' "$build/$name.log") log lines)"
  else
    echo "$name: FAILED"; tail -n 60 "$build/$name.log"; status=1
  fi
done
exit $status
