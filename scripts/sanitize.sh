#!/usr/bin/env bash
# Builds the C++ tests with sanitizers, each mode in its own build directory,
# and runs them; any sanitizer report fails the run.
#   bash scripts/sanitize.sh thread    ThreadSanitizer, the pipeline tests
#   bash scripts/sanitize.sh address   AddressSanitizer + UBSan, every C++ test
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] && export PATH="$PWD/.venv/bin:$PATH"

mode=${1:-}
case "$mode" in
  thread)
    sanitizers=thread
    # Everything that starts threads: channels, readers, the whole pipeline.
    # The corpus matrix runs on the small corpora only: every thread budget and
    # range size, at a size ThreadSanitizer gets through in minutes.
    filter='Channel*:ReadRange*:Pipeline*:Corpora/PipelineCounting.*l10n*:Corpora/PipelineCounting.*twice'
    export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1"
    ;;
  address)
    sanitizers=address,undefined
    filter='*'
    export ASAN_OPTIONS="halt_on_error=1 abort_on_error=1 detect_leaks=1"
    export UBSAN_OPTIONS="halt_on_error=1 abort_on_error=1 print_stacktrace=1"
    ;;
  *)
    echo "usage: bash scripts/sanitize.sh thread|address" >&2
    exit 2
    ;;
esac

build="build/sanitize-$mode"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSELKBAR_BUILD_MODULE=OFF -DSELKBAR_BUILD_TESTS=ON -DSELKBAR_BUILD_TOOLS=OFF \
  -DSELKBAR_SANITIZE="$sanitizers" -DCMAKE_CXX_FLAGS="-fno-sanitize-recover=all" >"$build.log" 2>&1 \
  || { cat "$build.log" >&2; exit 1; }
cmake --build "$build" -j 2 >>"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }

# Run the binary directly so that a report anywhere (even in a test that
# would otherwise pass) stops the run with a non-zero status.
echo "sanitize: $mode: running $filter"
"$build/selkbar_tests" --gtest_filter="$filter" --gtest_brief=1
echo "sanitize: $mode: no report"
