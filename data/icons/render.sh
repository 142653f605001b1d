#!/usr/bin/env bash
# Renders the application icon's PNG sizes from moxiscope.svg (rsvg-convert,
# package librsvg2-bin). The PNGs are committed; run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" moxiscope.svg -o "moxiscope-$size.png"
done
