#!/usr/bin/env bash
# The main job: the sample label (or the label named) printed through a private CUPS queue
# on the virtual T58, as each of a few queues' PPD defaults ask; PNG files of every printed
# label go into out/; so do those of the label sent by IPP through tarvik-printer-app, as a
# PWG raster and as the PDF itself.
# usage: demo/run-demo.sh BUILD_DIR [label.pdf|label.ps]
set -euo pipefail
label=""
if (($# > 1)); then
    label=$(realpath "$2")
fi
cd "$(dirname "$0")/.."
build=${1:-build}
# Up to date, with the printer application when PAPPL is installed.
cmake --build "$build" --target tarvik-demo
mkdir -p out
rm -f out/*.png
exec "$build/bin/tarvik-demo" --out out ${label:+"$label"}
