#!/usr/bin/env bash
# zvtopdf against texttopdf as CUPS filter chains, as cupsfilter runs them for a queue: the same
# N-page job, once as a zv job (application/vnd.zv -> zvtopdf -> application/pdf) and once as its
# text (text/plain -> texttopdf -> application/pdf), both on the Generic PDF printer's PPD (A4).
# zvtopdf comes from the build, the rest from the machine, each filter folder and type database
# made for the run (CUPS_SERVERBIN, CUPS_DATADIR). Prints Markdown.
#   bench/filter.sh [build/zvtopdf]        REPEAT (3), PAGES (1000)
set -euo pipefail
here=$(dirname "$(realpath "$0")")
filter=$(realpath "${1:-$here/../build/zvtopdf}")
repeat=${REPEAT:-3} pages=${PAGES:-1000}
ppd=/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$here/make_job.py" "$pages" "$work/job.zv" "$work/job.txt" > /dev/null
mkdir -p "$work/serverbin/filter" "$work/data"
ln -s /usr/lib/cups/filter/* "$work/serverbin/filter/"
install -m 755 "$filter" "$work/serverbin/filter/zvtopdf"
cp -a /usr/share/cups/. "$work/data/"
cp "$here/../packaging/cups/zvspool.types" "$here/../packaging/cups/zvspool.convs" "$work/data/mime/"
chain() { # chain TYPE FILE [OPTIONS...]
  CUPS_SERVERBIN=$work/serverbin CUPS_DATADIR=$work/data \
    cupsfilter -p "$ppd" -i "$1" -m application/pdf "${@:3}" "$2" 2> /dev/null
}
measure() { # measure NAME TYPE FILE [OPTIONS...]: median wall and CPU seconds of REPEAT runs
  local runs=() i
  for i in $(seq "$repeat"); do
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" bash -c "$(declare -f chain); work='$work' ppd='$ppd'; chain ${*:2} > '$work/out.pdf'"
    runs+=("$(cat "$work/time")")
  done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n "$(((repeat + 1) / 2))p" |
    awk -v name="$1" -v size="$(stat -c %s "$work/out.pdf")" -v pages="$(pdfinfo "$work/out.pdf" | awk '/^Pages:/ {print $2}')" \
      '{ printf "| %s | %d | %.2f | %.2f | %.1f | %.1f |\n", name, pages, $1, $2 + $3, $4 / 1024, size / 1048576 }'
}
echo "| chain | pages out | wall s | CPU s | max RSS MB | PDF MB |"
echo "| --- | --- | --- | --- | --- | --- |"
measure "zvtopdf (application/vnd.zv)" application/vnd.zv "$work/job.zv"
# 66 lines of 80 columns a page, as the zv job's grid lays them out (the zv-render benchmark's).
measure "texttopdf (text/plain)" text/plain "$work/job.txt" -o cpi=12 -o lpi=7 -o page-left=18 \
  -o page-right=18 -o page-top=36 -o page-bottom=36
