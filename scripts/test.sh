#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# Installs what is missing, builds, and runs the whole test suite headless; then builds the Debian package,
# checks it with lintian, desktop-file-validate and appstreamcli, installs it and starts the program from it;
# runs the suite again under AddressSanitizer and UndefinedBehaviorSanitizer, and runs each fuzzer for a
# bounded time. Any failure ends the run with a non-zero status.
# KRM_FUZZ_SECONDS sets the time per fuzzer (default 10; 0 skips fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
fuzz_seconds=${KRM_FUZZ_SECONDS:-10}
step() { printf '\n==== %s (at %d s)\n' "$1" "$SECONDS"; }
# Tests run by ctest in all builds, for the closing line (a failure has ended the script before it).
passed=0
count_tests() { passed=$((passed + $(ctest --test-dir "$1" -N | sed -n 's/^Total Tests: //p'))); }

step "build and test"
# Release: the package is stripped anyway, and debug information was a third of the build time.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
count_tests build

step "package"
rm -rf build/pkg
(cd build && cpack -B pkg >/dev/null)
deb=$(ls build/pkg/krm59340_*.deb)
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'
# Debian's own checks of the package, the default profile: any error or warning fails the run. A tag that
# cannot be fixed in a CPack-built package goes into packaging/lintian-overrides with its reason, which the
# package carries and lintian reads.
lintian --fail-on error,warning "$deb"
echo "lintian: no error, no warning"
dpkg-deb -x "$deb" build/pkg/root
# desktop-file-validate exits 0 on warnings and hints, so any word from it counts as a failure.
for entry in build/pkg/root/usr/share/applications/*.desktop; do
    if ! report=$(desktop-file-validate "$entry" 2>&1) || [ -n "$report" ]; then
        echo "$entry: $report"
        exit 1
    fi
done
# validate-tree also follows the metainfo's launchable to the desktop entry and its icon.
appstreamcli validate --no-net build/pkg/root/usr/share/metainfo/*.metainfo.xml
appstreamcli validate-tree --no-net build/pkg/root
version=$(sed -n 's/^project(krm59340 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$(id -u)" -eq 0 ]; then
    dpkg -i "$deb"
    bin=/usr/bin
else
    # Without root the unpacked tree is the program; it still runs on the system's Qt.
    bin=build/pkg/root/usr/bin
fi
for program in krm59340 krm59340-cli; do
    if [ "$(id -u)" -eq 0 ]; then
        man --warnings "$program" >/dev/null
    else
        man --warnings -l "build/pkg/root/usr/share/man/man1/$program.1.gz" >/dev/null
    fi
    reported=$("$bin/$program" --version)
    echo "$bin/$program --version: $reported"
    [ "$reported" = "$program $version" ] || { echo "the packaged $program does not report version $version"; exit 1; }
done
# The command line works from the package, without a display.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$(mktemp -d)" \
    "$bin/krm59340-cli" --simulate --json probe >/dev/null

step "sanitizers"
san="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
    -DKRM_BUILD_BENCH=OFF -DKRM_HARDEN=OFF -DCMAKE_CXX_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"
count_tests build-asan

if [ "$fuzz_seconds" -gt 0 ]; then
    step "fuzzers"
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
        -DKRM_BUILD_FUZZ=ON -DKRM_BUILD_TESTS=OFF -DKRM_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j"$jobs" --target fuzzers
    mkdir -p build-fuzz/artifacts
    for target in fuzz_channel_file fuzz_settings fuzz_numbers; do
        # New inputs go to the scratch corpus first in the list; the checked-in seeds are only read.
        mkdir -p "build-fuzz/corpus/$target"
        echo "$target: ${fuzz_seconds} s"
        if ! LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            "build-fuzz/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 -max_len=4096 \
            -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" \
            "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1; then
            tail -n 60 "build-fuzz/$target.log"
            echo "$target found a failure; the input is in build-fuzz/artifacts/"
            exit 1
        fi
        grep -E '^(stat::number_of_executed_units|Done)' "build-fuzz/$target.log" || true
    done
fi

step "all passed"
echo "ctest: $passed passed, 0 failed"
