#!/usr/bin/env bash
# Runs every test: the C++ unit tests under ctest, then pytest against the
# module as installed in .venv (CPython 3.13; rebuilt first, so it matches the
# sources), then a build without PCRE2 in a venv of its own, then the tests
# marked `subset` on every other supported CPython (3.9 to 3.12) that is
# installed, each in a venv of its own. Arguments are passed to the 3.13
# pytest run.
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

echo "== Python tests (CPython 3.13)"
if .venv/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall . >build/module.log 2>&1; then
  .venv/bin/python -m pytest -q tests/python "$@" || status=1
  rm -rf build/samples
  .venv/bin/python tests/python/write_samples.py build/samples/3.13 || status=1
else
  cat build/module.log >&2
  echo "test: module build failed" >&2
  status=1
fi

# The module as pip builds it on a machine without PCRE2: pkg-config hidden
# from CMake, built into a venv of its own (build/venvs/no-pcre2, kept between
# runs, with a build directory of its own, so later runs only rebuild what
# changed). Every named pretokenizer must train as in the full build (the same
# sample tokenizers, byte for byte) and pattern= must be refused, before any
# work, with a message naming what to install.
echo "== Python tests, build without PCRE2 (CPython 3.13)"
venv=build/venvs/no-pcre2
log=build/venvs/no-pcre2.log
mkdir -p build/venvs
if ! { { [ -x "$venv/bin/python" ] || .venv/bin/python -m venv "$venv"; } \
       && "$venv/bin/python" -m pip install -q $(grep -E '^(scikit-build-core|cmake|ninja|pytest)==' requirements-dev.txt) \
       && "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
            -C build-dir=build/no-pcre2 -C cmake.define.CMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON . ; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "test: the build without PCRE2 failed" >&2
  status=1
elif "$venv/bin/python" -c 'import selkbar; selkbar.train_bpe([], 0, pretokenizer="bytelevel", pattern="x")' 2>/dev/null; then
  echo "test: the build without PCRE2 runs pattern=: PCRE2 was not hidden from it" >&2
  status=1
else
  env -u SELKBAR_CORPORA "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_without_pcre2.py \
    || status=1
  if "$venv/bin/python" tests/python/write_samples.py build/samples/no-pcre2 \
     && diff -r -q build/samples/3.13 build/samples/no-pcre2; then
    echo "test: without PCRE2: sample tokenizers byte-identical to the full build's"
  else
    echo "test: without PCRE2: sample tokenizers differ from the full build's" >&2
    status=1
  fi
fi

# The other supported versions. Each interpreter found gets a venv under
# build/venvs/3.X (kept between runs, so later runs only rebuild the module),
# the pinned dependencies, the module built for it, and the tests marked
# `subset` (parity with tokenizers on small inputs in both modes, argument and
# error cases, the command line, the README's and docs' examples); the oldest
# also checks the stubs with mypy, as 3.13 did. It then writes the sample
# tokenizers, which must be byte-identical to 3.13's.
source scripts/find_python.sh
source scripts/pip_retry.sh
stubs_checked=0
for version in 3.9 3.10 3.11 3.12; do
  echo "== Python tests, subset (CPython $version)"
  if ! py=$(find_python "$version"); then
    echo "test: CPython $version: SKIPPED, not installed (looked under pyenv's versions/ and for python$version on the PATH)"
    continue
  fi
  venv=build/venvs/$version
  log=build/venvs/$version.log
  mkdir -p build/venvs
  if ! "$venv/bin/python" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$version' else 1)" 2>/dev/null; then
    rm -rf "$venv"
    "$py" -m venv "$venv" >"$log" 2>&1 || { cat "$log" >&2; echo "test: CPython $version: venv failed" >&2; status=1; continue; }
  fi
  if ! { pip_retry "$venv/bin/python" -q -r requirements-dev.txt \
         && "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall . ; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "test: CPython $version: installing the dependencies or building the module failed" >&2
    status=1
    continue
  fi
  # Quick by design: the extended corpora, if named, are for the 3.13 run.
  env -u SELKBAR_CORPORA "$venv/bin/python" -m pytest -q -p no:cacheprovider -m subset tests/python \
    || status=1
  if [ "$stubs_checked" = 0 ]; then
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_typing.py || status=1
    stubs_checked=1
  fi
  if "$venv/bin/python" tests/python/write_samples.py "build/samples/$version" \
     && diff -r -q build/samples/3.13 "build/samples/$version"; then
    echo "test: CPython $version: sample tokenizers byte-identical to 3.13's"
  else
    echo "test: CPython $version: sample tokenizers differ from 3.13's" >&2
    status=1
  fi
done
exit $status
