#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
ctest --test-dir build --output-on-failure --timeout 600 --parallel "$(nproc)"

# Every test again with AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer: any report fails the test that made it.
stage_started=$SECONDS
scripts/build.sh build-asan -DTHERMOHYGRO_SANITIZE=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure --timeout 600
echo "sanitizer pass: $((SECONDS - stage_started)) s"

# The Linux program without BlueZ's extras, on Qt Bluetooth alone as on macOS
# and Windows: only what the fake BlueZ's worlds need is built, and those
# worlds that the plain path can pass are run.
stage_started=$SECONDS
cmake -S . -B build-plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTHERMOHYGRO_BLUEZ=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-plain --parallel "$(nproc)" --target bluez_window_driver thermohygro
ctest --test-dir build-plain --output-on-failure --timeout 600 --parallel "$(nproc)" -R bluez
echo "plain Qt Bluetooth pass: $((SECONDS - stage_started)) s"

# The fuzzers, a minute each, from their corpus in fuzz/corpus/.
stage_started=$SECONDS
fuzz/run.sh 60
echo "fuzzers: $((SECONDS - stage_started)) s"

# The Debian package: built from build/, validated, installed, its demo started
# as the desktop's menu does until it shows a reading, and removed again.
stage_started=$SECONDS
tests/package/check.sh build
echo "package: $((SECONDS - stage_started)) s"

# The benchmarks, briefly, so that they keep working; no figure fails.
stage_started=$SECONDS
bench/run.sh --short
echo "benchmarks: $((SECONDS - stage_started)) s"
