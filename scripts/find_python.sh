# Sourced by scripts/test.sh and scripts/check_sdist.sh. find_python 3.X
# prints a CPython 3.X that has its headers, so that it can build the module:
# the newest under pyenv's versions/, else python3.X on the PATH. It prints
# nothing and fails when there is none.
find_python() {
  local version=$1 root candidates=()
  if command -v pyenv >/dev/null; then root=$(pyenv root); else root="${PYENV_ROOT:-$HOME/.pyenv}"; fi
  for dir in "$root"/versions/"$version".*; do
    [ -x "$dir/bin/python$version" ] && candidates=("$dir/bin/python$version" "${candidates[@]}")
  done
  command -v "python$version" >/dev/null && candidates+=("$(command -v "python$version")")
  for py in "${candidates[@]}"; do
    "$py" -c 'import os, sys, sysconfig; sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null \
      && { echo "$py"; return 0; }
  done
  return 1
}
