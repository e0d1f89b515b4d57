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

# Every file of src/ that macOS builds (Qt Bluetooth alone, without BlueZ's
# extras) compiled once more with clang 19 and its libc++, the standard
# library of Apple's toolchain, so that what libc++ lacks (before LLVM 20:
# std::jthread, std::from_chars for double) fails here first. Debian's Qt is
# built against libstdc++: the files are compiled, not linked.
stage_started=$SECONDS
cmake -S . -B build-libcxx -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DTHERMOHYGRO_BLUEZ=OFF -DTHERMOHYGRO_TESTS=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
mapfile -t objects < <(ninja -C build-libcxx -t targets all | sed -n 's/^\(src\/[^:]*\.o\): .*/\1/p')
[ ${#objects[@]} -gt 0 ] || { echo "libc++ pass: no object files of src/ found" >&2; exit 1; }
ninja -C build-libcxx "${objects[@]}"
echo "libc++ pass: $((SECONDS - stage_started)) s"

# The standard-library-only core and its tests built for 64-bit Windows with
# MinGW-w64 and run under wine: the controller, its log forms and the fuzz
# corpora on Windows' C runtime and its 32-bit long. GoogleTest is built for
# it from Debian's sources.
stage_started=$SECONDS
export WINEPREFIX="$PWD/build-mingw/wine" WINEDEBUG=-all
windows=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake")
cmake -S /usr/src/googletest -B build-mingw/googletest "${windows[@]}" \
    -DCMAKE_INSTALL_PREFIX="$PWD/build-mingw/googletest-installed"
cmake --build build-mingw/googletest
cmake --install build-mingw/googletest >/dev/null
/usr/lib/wine/wine64 wineboot --init
cmake -S . -B build-mingw/core "${windows[@]}" -DTHERMOHYGRO_WITH_QT=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_FIND_ROOT_PATH="$PWD/build-mingw/googletest-installed"
cmake --build build-mingw/core
ctest --test-dir build-mingw/core --output-on-failure --timeout 600 --parallel "$(nproc)"
echo "windows pass: $((SECONDS - stage_started)) s"

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
