#!/usr/bin/env bash
# Builds the C++ tests with sanitizers, each mode in its own build directory,
# and runs them; any sanitizer report fails the run.
#   bash scripts/sanitize.sh thread    ThreadSanitizer, the pipeline tests
#   bash scripts/sanitize.sh address   AddressSanitizer + UBSan, every C++ test
#   bash scripts/sanitize.sh python    AddressSanitizer + UBSan + LeakSanitizer,
#                                      the pytest suite against a sanitized module
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] && export PATH="$PWD/.venv/bin:$PATH"

mode=${1:-}
case "$mode" in
  thread)
    sanitizers=thread
    # Everything that starts threads: channels, readers, the whole pipeline.
    # The counting matrix runs on the smallest fixtures and a file listed
    # twice: every thread budget and range size, at a size ThreadSanitizer
    # gets through in minutes.
    filter='Channel*:ReadRange*:Pipeline*:Fixtures/PipelineCounting.*l10n*:Fixtures/PipelineCounting.*twice'
    # Files that change or fail under the readers, and signal storms.
    filter="$filter:FileChanges*:FailingReads*:InterruptedReads*"
    # The merge loop's helpers, alone and splitting merges.
    filter="$filter:ForkJoin*:TrainThreadBudget*"
    # Segmenting and evaluating counted words over ranges of words.
    filter="$filter:SegmentWordsTest.KeepsWordOrder*:SegmentWordsTest.StopsWhenCancelled"
    export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1"
    ;;
  address)
    sanitizers=address,undefined
    filter='*'
    export ASAN_OPTIONS="halt_on_error=1 abort_on_error=1 detect_leaks=1"
    export UBSAN_OPTIONS="halt_on_error=1 abort_on_error=1 print_stacktrace=1"
    ;;
  python)
    sanitizers=address,undefined
    ;;
  *)
    echo "usage: bash scripts/sanitize.sh thread|address|python" >&2
    exit 2
    ;;
esac

build="build/sanitize-$mode"

if [ "$mode" = python ]; then
  # The module built with the sanitizers into a directory of its own, put
  # ahead of the installed one on the import path. The interpreter is not
  # instrumented, so the ASan runtime (and libstdc++, whose __cxa_throw ASan
  # intercepts) must be loaded before anything else.
  [ -x .venv/bin/python ] || { echo "sanitize: .venv missing; run: bash scripts/setup.sh" >&2; exit 1; }
  rm -rf "$build/site"
  .venv/bin/python -m pip install --no-build-isolation --no-deps --target "$build/site" \
    -C cmake.define.SELKBAR_SANITIZE="$sanitizers" \
    -C cmake.define.CMAKE_CXX_FLAGS="-fno-sanitize-recover=all" \
    -C cmake.build-type=RelWithDebInfo -C build-dir="$build/module" . >"$build.log" 2>&1 \
    || { cat "$build.log" >&2; exit 1; }
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  export PYTHONPATH="$PWD/$build/site"
  export ASAN_OPTIONS="halt_on_error=1 abort_on_error=1 detect_leaks=1"
  export UBSAN_OPTIONS="halt_on_error=1 abort_on_error=1 print_stacktrace=1"
  # The interpreter's own allocations that are never freed; not selkbar's.
  export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan-python.supp print_suppressions=0"
  # Left out: the heavy module (minutes at ASan speed, and its resident-set
  # checks measure ASan's quarantine), the out-of-memory child (an address
  # space limit cannot hold ASan's shadow memory), and the long parity runs
  # against the reference library, of which one small corpus in both modes
  # and the special-token options are kept.
  export SELKBAR_SKIP_HEAVY=1
  selection="not test_parity or (test_options and special) or (test_each_corpus and l10n-ko)"
  selection="($selection) and not test_out_of_memory_raises_memory_error_in_a_child"
  echo "sanitize: python: pytest -k \"$selection\""
  .venv/bin/python -m pytest -q -p no:cacheprovider tests/python -k "$selection"
  echo "sanitize: python: no report"
  exit 0
fi
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
