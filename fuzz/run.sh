#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ (or $FUZZ_BUILD_DIR), then runs
# each for the given number of seconds (default 60), starting from its corpus
# in fuzz/corpus/<name>/. The corpus in the repository is not changed: new
# inputs go to the build folder, and an input that breaks a rule is written to
# build-fuzz/findings/ and fails the run.
#   fuzz/run.sh [seconds] [target ...]     targets: frame_decoder log_forms controller
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(frame_decoder log_forms controller)
build_dir="${FUZZ_BUILD_DIR:-build-fuzz}"

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTHERMOHYGRO_FUZZ=ON -DTHERMOHYGRO_SANITIZE=ON -DTHERMOHYGRO_WITH_QT=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target fuzzers

mkdir -p "$build_dir/findings"
status=0
for name in "${targets[@]}"; do
    work="$build_dir/corpus/$name"
    mkdir -p "$work"
    started=$(date +%s)
    echo "== fuzzing $name for ${seconds}s"
    if ! "$build_dir/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build_dir/findings/${name}-" \
        "$work" "fuzz/corpus/$name" >"$build_dir/findings/$name.log" 2>&1; then
        status=1
        echo "!! $name broke a rule; the input is in $build_dir/findings/, the report:"
        grep -E "broken:|ERROR:|SUMMARY:|runtime error" "$build_dir/findings/$name.log" | head -20 || true
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build_dir/findings/$name.log" || true
    grep -E "^#[0-9]+ +DONE" "$build_dir/findings/$name.log" || true
    echo "== $name took $(($(date +%s) - started))s"
done
exit $status
