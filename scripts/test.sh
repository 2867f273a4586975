#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite, then again under the sanitizers. This is the
# README's test command and what CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 600)

# Sanitizer builds: -O1 with line tables only, which keeps the two extra builds inside the CI budget
# while reports still name file and line. Any report fails the test that triggered it.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=Sanitize "-DCMAKE_CXX_FLAGS_SANITIZE=-O1 -g1" "-DCMAKE_C_FLAGS_SANITIZE=-O1 -g1")
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# AddressSanitizer with UndefinedBehaviorSanitizer: the whole suite.
cmake -S . -B build-asan -DDIRURI_SANITIZE=address "${sanitizer_flags[@]}" >/dev/null
cmake --build build-asan -j"$(nproc)"
(cd build-asan && ctest --output-on-failure -j"$(nproc)" --timeout 600)

# ThreadSanitizer: the tests where two threads meet (the capture source, the controller and the
# store it appends through, and the robustness tests that drive them).
tsan_suites=(recorder x11 store robustness)
cmake -S . -B build-tsan -DDIRURI_SANITIZE=thread "${sanitizer_flags[@]}" >/dev/null
cmake --build build-tsan -j"$(nproc)" --target DiruriRediro "${tsan_suites[@]/%/_tests}"
(cd build-tsan && ctest --output-on-failure -j"$(nproc)" --timeout 600 -R "^($(IFS='|'; echo "${tsan_suites[*]}"))\\.")
