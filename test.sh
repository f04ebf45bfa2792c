#!/usr/bin/env bash
# Builds Pelmar and runs its whole test suite: the plain build, a Release
# build, an AddressSanitizer + UndefinedBehaviorSanitizer build, a
# ThreadSanitizer build, a short run of every fuzz target, and the Windows
# build under Wine. Any sanitizer report fails it, and so does any compiler
# warning in our own code: each build here turns warnings into errors, in
# build directories of its own, never in the one a user builds and runs.
#   ./test.sh                      all of it
#   ./test.sh plain|release|address|thread|fuzz|windows ...   only those parts
# FUZZ_SECONDS sets how long each fuzz target runs (default 20).
set -euo pipefail
cd "$(dirname "$0")"

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(plain release address thread fuzz windows)
jobs=$(nproc)
reports=$(mktemp -d /tmp/pelmar-sanitizer-reports.XXXXXX)
export ASAN_OPTIONS="abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:log_path=$reports/tsan"

# A build of its own and the groups of tests it runs, by their labels:
# unit, e2e (the real server over loopback), minutes (the same, waiting
# minutes for a client that vanishes), browser (Chromium).
suite() {
    local dir=$1 labels=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j2 -L "$labels"
}

fuzz() {
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DPELMAR_FUZZ=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build build-fuzz -j"$jobs"
    local target corpus
    for target in build-fuzz/tests/fuzz/fuzz_*; do
        # Runs on a scratch copy, so the committed seeds stay as they are.
        corpus=$(mktemp -d)
        cp tests/fuzz/corpus/"$(basename "$target")"/* "$corpus"/
        echo "fuzzing $(basename "$target") for ${FUZZ_SECONDS:-20} s"
        # A failing input goes into the build directory, never into the tree.
        if ! "$target" -max_total_time="${FUZZ_SECONDS:-20}" -artifact_prefix=build-fuzz/ \
            "$corpus" >"$corpus.log" 2>&1; then
            tail -n 40 "$corpus.log"
            echo "fuzz target $(basename "$target") failed; its input is in build-fuzz/"
            exit 1
        fi
        grep -E "^Done" "$corpus.log" || true
        rm -f "$corpus.log"
        rm -rf "$corpus"
    done
}

windows() {
    # pelmar.exe and the unit tests, cross-built; the tests run under Wine.
    cmake --preset windows-test
    cmake --build --preset windows-test -j"$jobs"
    ctest --preset windows-test -j2 -L unit
    # The end-to-end tests are Linux programs that start the server, so they
    # are built natively and start the cross-built pelmar.exe under Wine.
    cmake -S . -B build-wine-e2e -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
        -DPELMAR_E2E_SERVER="$PWD/build-windows-test/pelmar.exe" \
        -DPELMAR_E2E_LAUNCHER="$PWD/tests/windows/wine-run"
    cmake --build build-wine-e2e -j"$jobs"
    ctest --test-dir build-wine-e2e --output-on-failure -j2 -L 'e2e|browser'
}

for part in "${parts[@]}"; do
    case "$part" in
    # The minutes-long cases run here only.
    plain) suite build-test 'unit|e2e|minutes|browser' ;;
    # The optimiser's build, for its warnings and what it reorders; the
    # browser has met the same server code in the plain build.
    release) suite build-release 'unit|e2e' -DCMAKE_BUILD_TYPE=Release ;;
    # Under the sanitizers everything runs: a browser's traffic too.
    address) suite build-asan 'unit|e2e|browser' -DPELMAR_SANITIZE=address ;;
    thread) suite build-tsan 'unit|e2e|browser' -DPELMAR_SANITIZE=thread ;;
    fuzz) fuzz ;;
    windows) windows ;;
    *) echo "unknown part: $part" >&2; exit 2 ;;
    esac
done

if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitizer reports:"
    cat "$reports"/*
    exit 1
fi
rm -rf "$reports"
echo "all test parts passed: ${parts[*]}"
