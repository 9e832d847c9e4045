#!/usr/bin/env bash
# The main job: installs what is missing, converts the shipped sample image
# from PNG to BMP and back with the command line, and shows both files.
# Writes only under build/demo/; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

out=build/demo
mkdir -p "$out"
python=.venv/bin/python

echo "== python -m Quorvel convert examples/sample.png $out/sample.bmp"
"$python" -m Quorvel convert examples/sample.png "$out/sample.bmp"
echo "== python -m Quorvel convert $out/sample.bmp $out/sample-again.png"
"$python" -m Quorvel convert "$out/sample.bmp" "$out/sample-again.png"
echo "== python -m Quorvel info examples/sample.png $out/sample.bmp $out/sample-again.png"
"$python" -m Quorvel info examples/sample.png "$out/sample.bmp" "$out/sample-again.png"
ls -l examples/sample.png "$out/sample.bmp" "$out/sample-again.png"
