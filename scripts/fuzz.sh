#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds, at the lowest priority.
#   bash scripts/fuzz.sh TARGET [SECONDS]     (default 600)
# C++ targets (libFuzzer, built with clang under ASan + UBSan):
#   splitters   split_whitespace and split_bytelevel
#   reader      range planning and read_range's boundary rule
#   trainer     train_from_words against the naive trainer of the tests
#   json_string write_json_string against a strict JSON string decoder
#   counts_file the counts file loader on damaged and forged images
# Python target (atheris, driving the installed module in .venv):
#   args        train_bpe / train_tokenizer with random Python arguments
# The first run installs clang and libFuzzer from Debian (and atheris into
# .venv for `args`); set-up is part of this command, not of setup.sh. Seeds
# come from fuzz/corpus/TARGET (committed, small); what a run discovers goes
# to build/fuzz/corpus/TARGET and crashes to build/fuzz/artifacts/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-}
seconds=${2:-600}
case "$target" in
  splitters|reader|trainer|json_string|counts_file|args) ;;
  *) echo "usage: bash scripts/fuzz.sh splitters|reader|trainer|json_string|counts_file|args [SECONDS]" >&2; exit 2 ;;
esac
say() { printf 'fuzz: %s\n' "$*"; }

# A clang that has libFuzzer's runtime: the newest Debian ships wins.
find_clang() {
  local v
  for v in 19 18 17 16 15 14; do
    if command -v "clang++-$v" >/dev/null &&
       ls /usr/lib/llvm-$v/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
      echo "clang++-$v"; return 0
    fi
  done
  return 1
}
if ! CLANGXX=$(find_clang); then
  say "installing clang and libFuzzer from Debian"
  apt-get update -qq
  if apt-cache show clang-19 >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null
  else
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
  fi
  CLANGXX=$(find_clang) || { echo "fuzz: no clang with libFuzzer available" >&2; exit 1; }
fi
CLANG=${CLANGXX/clang++/clang}

work="build/fuzz"
corpus="$work/corpus/$target"
artifacts="$work/artifacts/$target"
mkdir -p "$corpus" "$artifacts"

if [ "$target" = args ]; then
  [ -x .venv/bin/python ] || { echo "fuzz: .venv missing; run: bash scripts/setup.sh" >&2; exit 1; }
  if ! .venv/bin/python -c 'import atheris' 2>/dev/null; then
    say "installing atheris into .venv"
    CC=$CLANG CXX=$CLANGXX .venv/bin/python -m pip install -q -r requirements-fuzz.txt
  fi
  .venv/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall . >"$work/module.log" 2>&1 \
    || { cat "$work/module.log" >&2; exit 1; }
  say "args: ${seconds}s"
  # The driver works in a temporary directory of its own (its files, and any
  # relative output path), removed afterwards; so the corpus paths are absolute.
  scratch=$(mktemp -d /tmp/selkbar-args-fuzz-XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  SELKBAR_FUZZ_DIR="$scratch" nice -n 19 .venv/bin/python fuzz/args_fuzz.py \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$PWD/$artifacts/" \
    -rss_limit_mb=4096 "$PWD/$corpus" "$PWD/fuzz/corpus/args"
  exit
fi

build="$work/build"
if [ ! -f "$build/build.ninja" ]; then
  [ -x .venv/bin/cmake ] && export PATH="$PWD/.venv/bin:$PATH"
  CXX=$CLANGXX cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSELKBAR_BUILD_MODULE=OFF -DSELKBAR_BUILD_FUZZERS=ON -DSELKBAR_SANITIZE=address,undefined \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fno-sanitize-recover=all" >"$work/build.log" 2>&1 \
    || { cat "$work/build.log" >&2; exit 1; }
fi
[ -x .venv/bin/cmake ] && export PATH="$PWD/.venv/bin:$PATH"
nice -n 19 cmake --build "$build" --target "${target}_fuzz" -j 2 >>"$work/build.log" 2>&1 \
  || { tail -50 "$work/build.log" >&2; exit 1; }

say "$target: ${seconds}s"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
nice -n 19 "$build/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -timeout=30 -rss_limit_mb=4096 -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$target"
