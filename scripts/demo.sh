#!/usr/bin/env bash
# Installs what is needed, builds, and converts the bundled sample documents with the
# command-line host. Prints where the results are.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
out="$PWD/out/demo"
rm -rf "$out" && mkdir -p "$out"
docmill=build/cli/docmill
for ps in samples/*.ps; do
  name=$(basename "$ps" .ps)
  "$docmill" CreatePDFfromPS "$out/$name.pdf" "$ps"
  echo "$ps -> $out/$name.pdf"
done
"$docmill" CreatePDFfromMultiPS "$out/all-samples.pdf" "array:$(ls samples/*.ps | paste -sd, -)"
echo "samples/*.ps -> $out/all-samples.pdf"
echo "PDFs are in $out"
