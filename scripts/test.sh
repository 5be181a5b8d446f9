#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every test:
#   1. the normal build (build/)            — all tests
#   2. the ASan+UBSan build (build-asan/)   — all tests again under the sanitizers
#   3. the libFuzzer build (build-fuzz/)    — each fuzz target for a bounded time on its seed corpus
# Options: --quick runs step 1 only. Environment: JOBS (parallel jobs, default: number of cores),
# FUZZ_SECONDS (per target, default 8).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

quick=0
[[ "${1:-}" == "--quick" ]] && quick=1
jobs=${JOBS:-$(nproc)}

scripts/install-deps.sh

# Compiler cache shared by the build directories and by clones in other places: paths are hashed
# relative to the checkout.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1

# Every ctest run appends its summary here; the last line of this script adds them up.
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
run_ctest() { # run_ctest <build dir> <ctest args...>
    local dir=$1; shift
    (cd "$dir" && ctest "$@") | tee -a "$summary"
    return "${PIPESTATUS[0]}"
}
report() {
    local passed=0 failed=0 total f
    while read -r f total; do
        failed=$((failed + f)); passed=$((passed + total - f))
    done < <(sed -n 's/.* \([0-9][0-9]*\) tests* failed out of \([0-9][0-9]*\).*/\1 \2/p' "$summary")
    echo "$passed passed, $failed failed"
}

build() { # build <dir> <extra cmake args...>
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -G Ninja -DVT3_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== build"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== tests"
run_ctest build -j "$jobs" --output-on-failure

if [[ $quick -eq 1 ]]; then report; exit 0; fi

echo "== sanitizer build (ASan+UBSan)"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DVT3_SANITIZE=ON -DVT3_BUILD_BENCH=OFF
echo "== sanitizer tests"
run_ctest build-asan -j "$jobs" --output-on-failure

# ThreadSanitizer over the task framework only (the one place where threads meet); Qt is not instrumented,
# tests/tsan.supp explains each suppression.
echo "== ThreadSanitizer build (task framework)"
tsan_targets=(app_tst_taskspecification app_tst_asynctaskspecification app_tst_composedtaskspecification
              app_tst_taskstress)
cmake -S "$root" -B build-tsan -G Ninja -DVT3_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVT3_TSAN=ON \
    -DVT3_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target "${tsan_targets[@]}"
echo "== ThreadSanitizer tests"
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/tsan.supp" \
    run_ctest build-tsan -j "$jobs" --output-on-failure -R '^app/tst_(taskspecification|asynctaskspecification|composedtaskspecification|taskstress)$'

if ls fuzz/fuzz_*.cc >/dev/null 2>&1; then
    echo "== fuzz build"
    CC=clang CXX=clang++ cmake -S "$root" -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVT3_WARNINGS_AS_ERRORS=ON -DVT3_FUZZ=ON -DVT3_BUILD_TESTS=OFF -DVT3_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j "$jobs" --target fuzzers
    echo "== fuzzing"
    fuzz/run.sh build-fuzz/fuzz "${FUZZ_SECONDS:-8}"
fi
report
