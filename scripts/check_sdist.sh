#!/usr/bin/env bash
# The source distribution as a user meets it. `python -m build` writes the
# sdist, and a wheel built from it, into build/check-sdist/dist. Then, for
# CPython 3.9 and 3.13, a fresh venv installs the sdist with pip as a user
# would (isolated build), twice:
#   - with PCRE2 hidden (pkg-config searches an empty directory, as on a
#     machine without libpcre2-dev): the install must work, every named
#     pretokenizer must train, pattern= must be refused naming what to install;
#   - with PCRE2 present: pattern= must work, and the named pretokenizers must
#     give what the build without PCRE2 gave.
# pip's cache is bypassed so that every install builds. Four builds of the
# module and the wheel: about 15 minutes on two cores. Run it before a release
# or after changing the build:
#
#   bash scripts/check_sdist.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || { echo "check_sdist: .venv missing; run: bash scripts/setup.sh" >&2; exit 1; }
source scripts/find_python.sh
repo=$PWD
work=$repo/build/check-sdist
rm -rf "$work"
mkdir -p "$work/no-pkg-config"

echo "== python -m build"
.venv/bin/python -m build --outdir "$work/dist" . >"$work/build.log" 2>&1 \
  || { cat "$work/build.log" >&2; echo "check_sdist: python -m build failed" >&2; exit 1; }
sdist=$(ls "$work"/dist/selkbar-*.tar.gz)
ls "$work/dist"
echo "$(basename "$sdist") holds, by folder:"
tar tzf "$sdist" | grep -v '/$' | cut -d/ -f2- | sed -E 's|^([^/]+/[^/]+)/.*|\1/|; s|^([^/]+)/[^/]+$|\1/|' \
  | sort | uniq -c

# check.py MODE: trains with each named pretokenizer on the test fixtures and
# writes the results to named.json (MODE "hidden") or compares them with it
# ("present"); then pattern= must be refused ("hidden") or work ("present").
cat >"$work/check.py" <<'EOF'
import glob, json, sys
import selkbar

mode, fixtures = sys.argv[1], sorted(glob.glob(sys.argv[2] + "/*.txt"))
named = {name: selkbar.train_bpe(fixtures, 4000, pretokenizer=name)
         for name in ("whitespace", "bytelevel", "gpt4", "o200k")}
for name, (vocab, merges) in named.items():
    print(f"  {name}: {len(vocab)} tokens, {len(merges)} merges")
if mode == "hidden":
    with open("named.json", "w") as out:
        json.dump(named, out)
    try:
        selkbar.train_bpe(fixtures, 4000, pretokenizer="bytelevel", pattern=r"\p{L}+|\s+")
    except ValueError as error:
        print(f"  pattern= refused: {error}")
    else:
        sys.exit("  pattern= worked, so PCRE2 was not hidden")
else:
    with open("named.json") as saved:
        assert json.loads(json.dumps(named)) == json.load(saved), "named results differ"
    print("  same vocabularies and merges as the build without PCRE2")
    vocab, merges = selkbar.train_bpe(fixtures, 4000, pretokenizer="bytelevel",
                                      pattern=r"\p{L}+|\s+")
    print(f"  pattern=: {len(vocab)} tokens, {len(merges)} merges")
EOF

status=0
for version in 3.9 3.13; do
  if ! py=$(find_python "$version"); then
    echo "check_sdist: CPython $version with its headers not found" >&2
    status=1
    continue
  fi
  venv=$work/venv-$version
  "$py" -m venv "$venv"
  for mode in hidden present; do
    echo "== CPython $version ($("$py" -c 'import platform; print(platform.python_version())')), PCRE2 $mode: pip install $(basename "$sdist")"
    log=$work/install-$version-$mode.log
    if [ "$mode" = hidden ]; then
      install_env=(env -u PKG_CONFIG_PATH PKG_CONFIG_LIBDIR="$work/no-pkg-config")
    else
      install_env=(env)
    fi
    if ! "${install_env[@]}" "$venv/bin/python" -m pip install --no-cache-dir --force-reinstall \
         "$sdist" >"$log" 2>&1; then
      cat "$log" >&2
      echo "check_sdist: CPython $version, PCRE2 $mode: install failed" >&2
      status=1
      break
    fi
    (cd "$work" && "$venv/bin/python" check.py "$mode" "$repo/tests/data"
     "$venv/bin/python" -m selkbar --version) || { status=1; break; }
  done
done
[ "$status" = 0 ] && echo "check_sdist: all checks passed" || echo "check_sdist: FAILED" >&2
exit $status
