#!/usr/bin/env bash
# Office pool benchmark: generates 20 documents of the Office kinds (5 each of .docx, .xlsx,
# .pptx and .odg, made from flat ODF by the office's own command line), builds the
# benchmark, and runs it once (peers included when unoconv is installed; see
# bench/install-bench-deps.sh). Extra arguments go to office_bench (--conversions N,
# --faults N). The machine should be otherwise idle for figures worth comparing.
#
# First it compares the processor time of a whole conversion with the previous printing
# route (the office's PDF through the interpreter's ps2write), built from the last commit
# before the page renderer (BASELINE=commit to choose another) from a copy of that commit's
# files in $BUILD/baseline-COMMIT (kept for the next run); SKIP_ROUTES=1 leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 office_bench >/dev/null

work=$(mktemp -d /tmp/docmill-bench-docs-XXXXXX)
trap 'rm -rf "$work"' EXIT
src="$work/src" docs="$work/docs"
mkdir -p "$src" "$docs"

ns='xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0" xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" office:version="1.2"'
para() { for p in $(seq 1 "$2"); do echo "<text:p>Document $1 paragraph $p: the quick brown fox jumps over the lazy dog, again and again, to fill the line.</text:p>"; done; }
for i in 1 2 3 4 5; do
  { echo "<?xml version=\"1.0\"?><office:document $ns office:mimetype=\"application/vnd.oasis.opendocument.text\"><office:body><office:text>"
    para "$i" $((40 * i)); echo "</office:text></office:body></office:document>"; } >"$src/word$i.fodt"
  { echo "<?xml version=\"1.0\"?><office:document $ns office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\"><office:body><office:spreadsheet><table:table table:name=\"Sheet1\">"
    for r in $(seq 1 $((60 * i))); do
      echo "<table:table-row><table:table-cell office:value-type=\"string\"><text:p>Row $r</text:p></table:table-cell><table:table-cell office:value-type=\"float\" office:value=\"$r\"><text:p>$r</text:p></table:table-cell><table:table-cell office:value-type=\"float\" office:value=\"$((r * i))\"><text:p>$((r * i))</text:p></table:table-cell></table:table-row>"
    done
    echo "</table:table></office:spreadsheet></office:body></office:document>"; } >"$src/sheet$i.fods"
  { echo "<?xml version=\"1.0\"?><office:document $ns office:mimetype=\"application/vnd.oasis.opendocument.presentation\"><office:body><office:presentation>"
    for s in $(seq 1 $((3 * i))); do
      echo "<draw:page draw:name=\"s$s\"><draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"20cm\" svg:height=\"3cm\"><draw:text-box><text:p>Deck $i slide $s</text:p></draw:text-box></draw:frame></draw:page>"
    done
    echo "</office:presentation></office:body></office:document>"; } >"$src/deck$i.fodp"
  { echo "<?xml version=\"1.0\"?><office:document $ns office:mimetype=\"application/vnd.oasis.opendocument.graphics\"><office:body><office:drawing>"
    for s in $(seq 1 $((2 * i))); do
      echo "<draw:page draw:name=\"p$s\"><draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"15cm\" svg:height=\"3cm\"><draw:text-box><text:p>Publication $i page $s</text:p></draw:text-box></draw:frame></draw:page>"
    done
    echo "</office:drawing></office:body></office:document>"; } >"$src/pub$i.fodg"
done
profile="file://$work/profile"
conv() { soffice --headless --norestore "-env:UserInstallation=$profile" --convert-to "$1" --outdir "$docs" "${@:2}" >/dev/null 2>&1; }
conv docx "$src"/*.fodt
conv xlsx "$src"/*.fods
conv pptx "$src"/*.fodp
conv odg "$src"/*.fodg
echo "generated $(ls "$docs" | wc -l) documents"

# The shared corpus beside the checkout ($DOCMILL_CORPUS overrides it).
corpus_root=${DOCMILL_CORPUS:-../shared/corpus}
corpus=()
for d in "$corpus_root"/{word,powerpoint,excel,publisher,transparency}; do
  [ -d "$d" ] && for f in "$d"/*; do corpus+=("$f"); done
done
if [ -z "${SKIP_ROUTES:-}" ]; then
  ninja -C "$build" -j2 docmill_host docmill-pdf2ps >/dev/null
  first=$(git log --format=%H --diff-filter=A -- pdf2ps/renderer.cc | tail -1)
  base=$(git rev-parse "${BASELINE:-$first^}")
  basedir="$build/baseline-${base:0:12}"
  if [ ! -x "$basedir/build/cli/docmill" ]; then
    echo "building the previous route from ${base:0:12} in $basedir"
    rm -rf "$basedir"
    mkdir -p "$basedir/src"
    git archive "$base" | tar -x -C "$basedir/src"
    cmake -S "$basedir/src" -B "$basedir/build" -G Ninja -DDOCMILL_BUILD_TESTS=OFF \
      -DDOCMILL_BUILD_BENCH=OFF >/dev/null
    nice -n 10 ninja -C "$basedir/build" -j2 docmill_host >/dev/null
  fi
  echo "processor time of whole conversions, previous route (${base:0:12}) and this build:"
  python3 bench/route_cpu.py "$basedir/build/cli/docmill" "$build/host/docmill" \
    "$docs"/* "${corpus[@]}"
fi

peers=()
command -v unoconv >/dev/null && peers=(--peers)
"$build/bench/office_bench" "$docs" "${peers[@]}" "$@"
