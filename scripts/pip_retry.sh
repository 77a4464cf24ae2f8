# pip_retry.sh: sourced by setup.sh and test.sh.
#
#   pip_retry PYTHON ARGS...   # PYTHON -m pip install ARGS..., once more on failure
#
# A download cut short or garbled on the way fails pip's hash check, and the
# files on PyPI never change, so a second attempt a little later settles such
# a hiccup; a real failure fails twice and is reported as before.
pip_retry() {
  local python=$1
  shift
  "$python" -m pip install "$@" && return 0
  echo "pip install failed; trying once more in 10 s" >&2
  sleep 10
  "$python" -m pip install "$@"
}
