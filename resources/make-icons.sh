#!/usr/bin/env bash
# Renders the program icon's PNG sizes from norvale.svg. Needs rsvg-convert
# (Debian's librsvg2-bin); the PNGs are kept in the repository.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 256; do
  rsvg-convert -w "$size" -h "$size" norvale.svg -o "norvale-$size.png"
done
