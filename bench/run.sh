#!/usr/bin/env bash
# Builds and runs the benchmarks and prints one table: figure, value, target, met.
# bench/run.sh --short runs each briefly (the application polls for 12 s
# instead of 5 min), so that CI keeps them working; no figure fails, a
# benchmark that crashes or measures nothing does.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
min_time=1
devices=10000
polling_seconds=300
if [ "${1:-}" = "--short" ]; then
    min_time=0.01
    devices=1000
    polling_seconds=12
fi

[ -f "$build_dir/CMakeCache.txt" ] || cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
cmake --build "$build_dir" --target core_bench flood_bench app_bench_demo app_bench_bluez app_bench_plain >&2

core=$("$build_dir/bench/core_bench" --benchmark_min_time="$min_time" --benchmark_format=csv 2>/dev/null)
skipped=$(echo "$core" | awk -F, '$9 == "true" { print $1 ": " $10 }')
if [ -n "$skipped" ]; then
    echo "core_bench measured nothing: $skipped" >&2
    exit 1
fi
flood=$(QT_QPA_PLATFORM=offscreen "$build_dir/bench/flood_bench" "$devices" 2>/dev/null)
# The fake BlueZ speaks D-Bus through Debian's python3-dbus, which only the system's interpreter has.
application=$(/usr/bin/python3 bench/app_bench.py "$build_dir/bench" "$polling_seconds")

row() { # figure, value, unit, target (empty for none)
    local met="-"
    [ -n "$4" ] && met=$(awk -v value="$2" -v target="$4" 'BEGIN { print (value != "-" && value < target) ? "yes" : "no" }')
    printf '%-58s %10s %-3s %10s  %s\n' "$1" "$2" "$3" "${4:-"-"}" "$met"
}
cpu_us() { # the CPU time of a core benchmark in microseconds
    echo "$core" | awk -F, -v name="\"$1\"" '$1 == name {
        scale = ($5 == "ns") ? 1e-3 : ($5 == "ms") ? 1e3 : 1
        printf "%.2f", $4 * scale }'
}
flood_ms() { # the number after the given words in flood_bench's window line
    echo "$flood" | grep '^window' | sed -n "s/.*$1 \([0-9.]*\) ms.*/\1/p"
}

# The simulated radio first reports device i after 1 + i % 5000 ms.
last_report_ms=$((devices < 5000 ? devices : 5000))
listed_after_last=$(awk -v listed="$(flood_ms 'all listed after')" -v last="$last_report_ms" \
    'BEGIN { printf "%.0f", listed - last }')
printf '%-58s %10s %-3s %10s  %s\n' figure value "" target met
row "frame handled end to end (CPU)" "$(cpu_us frameHandled)" us 20
for listed in 1 100 1000 10000; do
    target=""
    [ "$listed" = 10000 ] && target=100
    row "discovery report, $listed listed (CPU)" "$(cpu_us "discoveryReport/$listed")" us "$target"
done
row "armed tick (CPU)" "$(cpu_us armedTick)" us ""
row "$devices peripherals: last listed after last report" "$listed_after_last" ms 1000
row "$devices peripherals: longest event-loop stall" "$(flood_ms 'longest event-loop block')" ms 16
while IFS='|' read -r kind figure value unit target; do
    case "$kind" in
    row) row "$figure" "$value" "$unit" "$target" ;;
    *) echo "$figure" ;;
    esac
done <<<"$application"
