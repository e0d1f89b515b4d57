#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ (or $FUZZ_BUILD_DIR), then runs
# each for the given seconds (default 60) from its corpus in fuzz/corpus/<name>/.
# New inputs go to the build folder; an input that breaks a rule is written to
# build-fuzz/findings/ and fails the run.
#   fuzz/run.sh [seconds] [target ...]     targets: frame_decoder log_forms controller
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("${@:-frame_decoder log_forms controller}")
build_dir="${FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTHERMOHYGRO_FUZZ=ON -DTHERMOHYGRO_SANITIZE=ON -DTHERMOHYGRO_WITH_QT=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target fuzzers
mkdir -p "$build_dir/findings"
status=0
for name in ${targets[*]}; do
    mkdir -p "$build_dir/corpus/$name"
    echo "== fuzzing $name for ${seconds}s"
    log="$build_dir/findings/$name.log"
    if ! "$build_dir/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build_dir/findings/${name}-" \
        "$build_dir/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
        status=1
        echo "!! $name broke a rule; the input is in $build_dir/findings/, the report:"
        grep -E "broken:|ERROR:|SUMMARY:|runtime error" "$log" | head -20 || true
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb|^#[0-9]+ +DONE" "$log" || true
done
exit $status
