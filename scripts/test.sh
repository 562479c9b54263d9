#!/usr/bin/env bash
# Builds and runs every test: the format check, the whole suite with warnings as
# errors, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and each fuzz target for a short bounded time on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

echo "== format"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build -j "$jobs"
echo "== test"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build with sanitizers"
cmake -S . -B build_asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLUMAR_SANITIZE=ON \
  -DVELLUMAR_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build_asan -j "$jobs"
echo "== test with sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build_asan --output-on-failure -j "$jobs"

if [ -d fuzz/corpus ]; then
  echo "== fuzz (${fuzz_seconds}s a target)"
  CC=clang CXX=clang++ cmake -S . -B build_fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLUMAR_FUZZ=ON \
    -DVELLUMAR_TESTS=OFF -DVELLUMAR_BENCH=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build build_fuzz -j "$jobs"
  for corpus in fuzz/corpus/*/; do
    name=$(basename "$corpus")
    work=$(mktemp -d)
    cp -r "$corpus". "$work/"
    echo "fuzzing $name"
    (cd "$work" && "$root/build_fuzz/fuzz/${name}_fuzz" -max_total_time="$fuzz_seconds" \
      -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 3)
    rm -rf "$work"
  done
fi
echo "all tests passed"
