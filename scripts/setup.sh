#!/usr/bin/env bash
# One-time (and idempotent) set-up of a development machine: system packages,
# CPython 3.13, the .venv at the repository root with pinned dependencies,
# and the selkbar module built and installed into it.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

# System packages. apt-get update runs at most once per set-up, and only when
# something is missing, so a re-run on a ready machine touches no network.
need_pkgs=()
for pkg in g++ make libgtest-dev libpcre2-dev pkg-config procps; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_pkgs+=("$pkg")
done
apt_updated=0
apt_install() {
  command -v apt-get >/dev/null || die "apt-get not found; install $* by hand"
  if [ "$apt_updated" = 0 ]; then apt-get update -qq; apt_updated=1; fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}
if [ "${#need_pkgs[@]}" -gt 0 ]; then
  say "installing ${need_pkgs[*]}"
  apt_install "${need_pkgs[@]}"
fi

# Headless Chromium, for the test that opens the HTML report in a browser
# (it is skipped without one). Optional: a machine where it cannot be
# installed (no root, no apt-get, no package) is set up all the same.
if ! command -v chromium >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    say "installing chromium (optional: for the report's browser test)"
    if [ "$apt_updated" = 0 ]; then apt-get update -qq || true; apt_updated=1; fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null 2>&1 ||
      say "chromium could not be installed; the report's browser test will be skipped"
  else
    say "chromium not found and not installable here; the report's browser test will be skipped"
  fi
fi

# Java for the Spark tests (PySpark 4 needs 17 or newer). Debian's default
# JRE is installed when there is no java and apt-get can be used; otherwise
# the set-up goes on and those tests are skipped, saying why.
if ! command -v java >/dev/null; then
  if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    say "installing default-jre-headless for the Spark tests"
    if [ "$apt_updated" = 0 ]; then apt-get update -qq || true; apt_updated=1; fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq default-jre-headless >/dev/null ||
      say "could not install Java; the Spark tests will be skipped"
  else
    say "no java and no usable apt-get; the Spark tests will be skipped"
  fi
fi

# CPython 3.13 with its headers: on the PATH, under pyenv, or from Debian.
has_headers() {
  "$1" -c 'import sys, sysconfig, os; sys.exit(0 if sys.version_info[:2] == (3, 13) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null
}
find_python() {
  local candidates=()
  command -v python3.13 >/dev/null && candidates+=("$(command -v python3.13)")
  local root
  if command -v pyenv >/dev/null; then root=$(pyenv root); else root="${PYENV_ROOT:-$HOME/.pyenv}"; fi
  for dir in "$root"/versions/3.13*; do
    [ -x "$dir/bin/python3.13" ] && candidates+=("$dir/bin/python3.13")
  done
  candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
  for py in "${candidates[@]}"; do
    if [ -x "$py" ] && has_headers "$py"; then echo "$py"; return 0; fi
  done
  return 1
}
if ! PY=$(find_python); then
  say "CPython 3.13 not found; trying Debian's python3.13 packages"
  if apt-cache show python3.13-dev >/dev/null 2>&1 || { [ "$apt_updated" = 0 ] && apt-get update -qq && apt_updated=1 && apt-cache show python3.13-dev >/dev/null 2>&1; }; then
    apt_install python3.13 python3.13-dev python3.13-venv
  fi
  PY=$(find_python) || die "CPython 3.13 with its development headers is required: put python3.13 on the PATH, install it with pyenv, or install python3.13-dev"
fi
say "using $PY ($("$PY" -c 'import sys; print(sys.version.split()[0])'))"

# The virtual environment. A .venv made by another interpreter is replaced.
if [ -x .venv/bin/python ] && ! .venv/bin/python -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' 2>/dev/null; then
  say "replacing .venv built with another Python"
  rm -rf .venv
fi
[ -x .venv/bin/python ] || "$PY" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
source scripts/pip_retry.sh
pip_retry .venv/bin/python -q -r requirements-dev.txt

say "building and installing selkbar into .venv"
.venv/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .
.venv/bin/python -c 'import selkbar; print("setup: selkbar", selkbar.__version__, "installed")'
