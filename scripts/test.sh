#!/usr/bin/env bash
# Sets up, checks the sources, builds everything the project has and runs the tests: a plain build
# (tests and benchmarks), the tests again under ASan+UBSan and under TSan, and each fuzz target for
# a short fixed time from its seed corpus. This is the README's test command and what CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
stage() { printf '\n== %s (%s s so far)\n' "$1" "$SECONDS"; }

stage "sources: folder layers and formatting"
python3 scripts/check-layers.py
git ls-files -z -- '*.cpp' '*.hpp' '*.c' | xargs -0 clang-format --dry-run --Werror

stage "plain build: tests and benchmarks"
# Optimised as shipped, with line tables only: full debug information takes half as long again to compile.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" -DDIRURI_BUILD_TESTS=ON -DDIRURI_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

# Sanitizer builds with line tables only, which keeps the extra builds inside the CI budget while
# reports still name file and line. ASan+UBSan builds unoptimised: that halves its compile time and
# the suite still runs in about a minute. TSan keeps -O1, without which its threads run too slowly
# for the capture tests. Any report fails the test that triggered it.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Sanitize "-DCMAKE_CXX_FLAGS_SANITIZE=-O1 -g1" "-DCMAKE_C_FLAGS_SANITIZE=-O1 -g1")
asan_flags=(-DCMAKE_BUILD_TYPE=Sanitize "-DCMAKE_CXX_FLAGS_SANITIZE=-O0 -g1" "-DCMAKE_C_FLAGS_SANITIZE=-O0 -g1")
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

stage "AddressSanitizer with UndefinedBehaviorSanitizer: the whole suite"
cmake -S . -B build-asan -DDIRURI_SANITIZE=address "${asan_flags[@]}" >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs" --timeout 600)

# The tests where two threads meet: the capture source, the controller and the store it appends
# through, the robustness tests that drive them, and the Wayland session, whose recorder listens on
# two threads.
stage "ThreadSanitizer: recorder, x11, store, robustness and wayland suites"
tsan_suites=(recorder x11 store robustness wayland)
cmake -S . -B build-tsan -DDIRURI_SANITIZE=thread "${sanitizer_flags[@]}" >/dev/null
cmake --build build-tsan -j"$jobs" --target DiruriRediro "${tsan_suites[@]/%/_tests}"
(cd build-tsan && ctest --output-on-failure -j"$jobs" --timeout 600 -R "^($(IFS='|'; echo "${tsan_suites[*]}"))\\.")

# Each target starts from its seed corpus and runs a fixed time; a crash, a leak or a broken
# invariant fails CI. New inputs go to a scratch folder, never into the checked-in corpus.
stage "fuzz targets (clang, libFuzzer with ASan+UBSan)"
fuzz_seconds=${DIRURI_FUZZ_SECONDS:-10}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Sanitize "-DCMAKE_CXX_FLAGS_SANITIZE=-O1 -g1" \
  "-DCMAKE_C_FLAGS_SANITIZE=-O1 -g1" -DDIRURI_BUILD_FUZZ=ON -DDIRURI_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_targets
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  mkdir -p "$scratch/$name"
  if ! "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "$scratch/$name" "fuzz/corpus/$name" >"$scratch/$name.log" 2>&1; then
    tail -n 40 "$scratch/$name.log"
    echo "fuzz: $name failed" >&2
    exit 1
  fi
  echo "fuzz: $name ran ${fuzz_seconds} s: $(grep -m1 -oE 'stat::number_of_executed_units: [0-9]+' "$scratch/$name.log" | grep -oE '[0-9]+') runs, no crash"
done
stage "all stages passed"
