#!/usr/bin/env bash
# The PDFs zv-render writes, opened with the readers users and printers open them with: qpdf,
# poppler, Ghostscript, MuPDF, and pdf.js where Node can load it. Each must take the file without
# a warning, get the Polish and Russian text back, and (poppler) find every word on the 1/600-inch
# grid the job was laid out on.
#   pdf_readers.sh ZV-RENDER
# pdf.js comes from PDFJS_DIST (a pdfjs-dist folder) or is fetched with npm into
# ~/.cache/zvspool-tests once; without Node or npm it is skipped, and said so.
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/../e2e/common.sh"
zv_render=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/../../bench/make_job.py" 40 "$work/dense.zv" > /dev/null
cp "$here/../../samples/sample.zv" "$work/sample.zv"
for job in sample dense; do
  "$zv_render" -o "$work/$job.pdf" "$work/$job.zv" > /dev/null
done
quiet() { # quiet LOG COMMAND...: the command succeeds and says nothing on stderr
  local log=$1; shift
  "$@" > /dev/null 2> "$log" || { cat "$log" >&2; return 1; }
  # Debian's MuPDF is built without colour management and says so; that is not about the file.
  ! grep -v "^warning: ICC support is not available$" "$log" >&2
}
has_text() { grep -qF "$2" "$1"; }
pages_of() { pdfinfo "$1" | awk '/^Pages:/ {print $2}'; }

polish="Zażółć gęślą jaźń. ZAŻÓŁĆ GĘŚLĄ JAŹŃ."
russian="Съешь же ещё этих мягких французских булок."
for job in sample dense; do
  pdf=$work/$job.pdf
  qpdf --check "$pdf" > "$work/qpdf.out" 2>&1
  check "$job: qpdf finds no errors" grep -q "No syntax or stream encoding errors found" "$work/qpdf.out"
  check "$job: and no warnings" bash -c "! grep -qi warning '$work/qpdf.out'"
  pdffonts "$pdf" | tail -n +3 > "$work/fonts"
  check "$job: pdffonts lists fonts" test -s "$work/fonts"
  check "$job: every font embedded, subset, with ToUnicode" \
    bash -c "! grep -v 'CID TrueType *Identity-H *yes yes yes' '$work/fonts'"

  quiet "$work/gs.err" gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=png16m -r50 \
    -sOutputFile="$work/gs-$job-%d.png" "$pdf"
  check "$job: Ghostscript renders every page without a warning" \
    test "$(ls "$work" | grep -c "^gs-$job-")" -eq "$(pages_of "$pdf")"
  quiet "$work/mutool.err" mutool draw -q -r 50 -o "$work/mu-$job-%d.png" "$pdf"
  check "$job: MuPDF renders every page without a warning" \
    test "$(ls "$work" | grep -c "^mu-$job-")" -eq "$(pages_of "$pdf")"
  check "$job: MuPDF reads its structure" quiet "$work/mutool.err" mutool info "$pdf"

  # Every word starts on the grid: x in points times 600/72 is a whole device unit (0.001 pt).
  pdftotext -bbox "$pdf" "$work/bbox.html"
  check "$job: poppler finds the words" grep -q "<word " "$work/bbox.html"
  check "$job: every word starts on the 1/600-inch grid" awk -F'"' '
    /<word / { n++; units = $2 * 600 / 72; if ((units - int(units + 0.5)) ^ 2 > (0.001 * 600 / 72) ^ 2) { print "off grid: " $0; bad++ } }
    END { exit !(n > 0 && bad == 0) }' "$work/bbox.html"
done

pdf=$work/sample.pdf
pdftotext -layout "$pdf" "$work/poppler.txt"
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=txtwrite -sOutputFile="$work/gs.txt" "$pdf"
mutool draw -q -F txt -o "$work/mupdf.txt" "$pdf" 2> /dev/null
for reader in poppler gs mupdf; do
  check "$reader: Polish text" has_text "$work/$reader.txt" "$polish"
  check "$reader: Russian text" has_text "$work/$reader.txt" "$russian"
done
# The dense job's text, line for line, as the generator wrote it (less its escape codes).
python3 "$here/../../bench/make_job.py" 40 "$work/dense-copy.zv" "$work/dense.txt" > /dev/null
pdftotext -layout "$work/dense.pdf" - | tr -d '\f' | sed 's/ *$//' | grep -v '^$' > "$work/dense.poppler"
tr -d '\f' < "$work/dense.txt" | sed 's/ *$//' | grep -v '^$' > "$work/dense.expected"
check "poppler gives back the dense job's text line for line" \
  cmp -s "$work/dense.poppler" "$work/dense.expected"

pdfjs=${PDFJS_DIST:-}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/zvspool-tests/pdfjs
if [[ -z $pdfjs && -d $cache/node_modules/pdfjs-dist ]]; then
  pdfjs=$cache/node_modules/pdfjs-dist
elif [[ -z $pdfjs ]] && command -v node > /dev/null && command -v npm > /dev/null; then
  mkdir -p "$cache" &&
    timeout 120 npm install --prefix "$cache" --no-audit --no-fund --silent pdfjs-dist@4 \
      > /dev/null 2>&1 && pdfjs=$cache/node_modules/pdfjs-dist
fi
if [[ -n $pdfjs ]] && command -v node > /dev/null; then
  node "$here/pdfjs_text.mjs" "$pdfjs" "$pdf" > "$work/pdfjs.txt" 2> "$work/pdfjs.err"
  check "pdf.js: Polish text" has_text "$work/pdfjs.txt" "$polish"
  check "pdf.js: Russian text" has_text "$work/pdfjs.txt" "$russian"
  check "pdf.js: no warnings" bash -c "! [[ -s '$work/pdfjs.err' ]]"
else
  echo "SKIP pdf.js: no Node with npm, and PDFJS_DIST not set"
fi
finish
