#!/usr/bin/env bash
# Makes docs/report.png: the report of a ladder trained on the test fixtures,
# measured on two held-out fixtures and a held-out tenth of the training
# lines, as headless Chromium draws it.
#
#   bash scripts/report_screenshot.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v chromium >/dev/null || { echo "report_screenshot: chromium is needed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=tests/data
.venv/bin/selkbar-train "$data/en-prose.txt" "$data/man-de.txt" "$data/man-fr.txt" \
    "$data/man-ru.txt" --pretokenizer gpt4 --special-token '<|endoftext|>' \
    --vocab-size 1000,2000,4000,8000 -o "$work/tok-{vocab_size}.json" \
    --eval "$data/en-dialogue.txt" --eval "$data/mixed-scripts.txt" --eval-fraction 0.1 \
    --report "$work/report.html" --no-progress
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run \
    --user-data-dir="$work/profile" --window-size=1100,2600 \
    --screenshot="$PWD/docs/report.png" "file://$work/report.html" 2>/dev/null
echo "report_screenshot: wrote docs/report.png"
