#!/usr/bin/env bash
# Installs what is needed, builds, and converts the bundled sample documents with the
# command-line host. Prints where the results are.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
out="$PWD/out/demo"
rm -rf "$out" && mkdir -p "$out"
docmill=build/host/docmill
for ps in samples/*.ps; do
  name=$(basename "$ps" .ps)
  "$docmill" CreatePDFfromPS "$out/$name.pdf" "$ps"
  echo "$ps -> $out/$name.pdf"
done
"$docmill" CreatePDFfromMultiPS "$out/all-samples.pdf" "array:$(ls samples/*.ps | paste -sd, -)"
echo "samples/*.ps -> $out/all-samples.pdf"

# One sample of each Office kind, printed by the office and turned into PDF.
office=samples/office
"$docmill" CreatePDFfromWord "$out/memo.pdf" "$office/memo.fodt" --blnPageNumberInFooter=bool:true
"$docmill" CreatePDFfromMiscFile "$out/invitation.pdf" "$office/invitation.rtf"
"$docmill" CreatePDFfromTextFile "$out/notes.pdf" "$office/notes.txt" --intFontSize=i2:11
"$docmill" CreatePDFfromExcel "$out/budget.pdf" "$office/budget.fods" Budget A1:B4
"$docmill" CreatePDFfromMultiExcel "$out/budget-all.pdf" "$office/budget.fods" array:Budget,Notes \
  array:A1:B4,A1:A1
"$docmill" CreatePDFfromPowerPoint "$out/talk.pdf" "$office/talk.fodp" \
  --blnHorizontalOrientation=bool:true
"$docmill" CreatePDFfromPub "$out/flyer.pdf" "$office/flyer.fodg"
echo "$office/* -> $out/{memo,invitation,notes,budget,budget-all,talk,flyer}.pdf"
# The same from Python (Debian's interpreter, which the module is built for).
PYTHONPATH=build/python /usr/bin/python3 - "$out/python-samples.pdf" samples/*.ps <<'PY'
import sys
import docmill
results = docmill.convert(sys.argv[2:], output=sys.argv[1], merge=True)
failed = [r for r in results if not r.ok]
sys.exit("python: %s" % failed if failed else None)
PY
echo "samples/*.ps -> $out/python-samples.pdf (from Python)"
echo "PDFs are in $out"
