#!/usr/bin/env bash
# Runs every test: the C++ unit tests under ctest, then pytest against the
# module as installed in .venv (rebuilt first, so it matches the sources).
set -uo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || { echo "test: .venv missing; run: bash scripts/setup.sh" >&2; exit 1; }
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc 2>/dev/null || echo 2)

status=0
mkdir -p build
echo "== C++ tests"
if cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
     -DSELKBAR_BUILD_MODULE=OFF -DSELKBAR_BUILD_TESTS=ON -DSELKBAR_BUILD_TOOLS=ON >build/cpp-tests.log 2>&1 \
   && cmake --build build/cpp-tests -j "$jobs" >>build/cpp-tests.log 2>&1; then
  (cd build/cpp-tests && ctest --output-on-failure -j "$jobs") || status=1
else
  cat build/cpp-tests.log >&2
  echo "test: C++ build failed" >&2
  status=1
fi

echo "== Python tests"
if .venv/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall . >build/module.log 2>&1; then
  .venv/bin/python -m pytest -q tests/python "$@" || status=1
else
  cat build/module.log >&2
  echo "test: module build failed" >&2
  status=1
fi
exit $status
