#!/usr/bin/env bash
# zv-render benchmark: renders a dense generated job to PDF with zv-render and
# the same text with cups-filters' texttopdf, enscript | ps2pdf and
# paps | ps2pdf; measures wall time, CPU time, pages per second and peak RSS;
# prints Markdown tables to stdout (progress goes to stderr).
#
# usage: bench/run.sh [PATH/TO/zv-render]      (default: build/zv-render under
#                                               the repo root)
# environment knobs (all optional):
#   REPEAT=3         runs per measurement; wall/CPU are medians, RSS the max
#   PAGES=1000       pages for the tool comparison
#   ZV_PAGES="100 1000 10000"   page counts for zv-render's memory scaling
#   PAPS_PAGES=50    paps | ps2pdf is measured at this many pages (ps2pdf
#                    needs ~0.4 s per page of paps output), then scaled
#   BENCH_WORK=DIR   work directory (default: a fresh mktemp dir, removed at
#                    the end unless KEEP_WORK=1)
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
ZV_SRC=${1:-$ROOT/build/zv-render}

REPEAT=${REPEAT:-3}
PAGES=${PAGES:-1000}
ZV_PAGES=${ZV_PAGES:-"100 1000 10000"}
PAPS_PAGES=${PAPS_PAGES:-50}
TEXTTOPDF=${TEXTTOPDF:-/usr/lib/cups/filter/texttopdf}
GENERIC_PPD=/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd
URW_MONO_AFM=/usr/share/fonts/type1/urw-base35/NimbusMonoPS-Regular.afm

log() { printf '[bench] %s\n' "$*" >&2; }

for tool in /usr/bin/time pdfinfo python3 enscript ps2pdf paps iconv "$TEXTTOPDF"; do
    command -v "$tool" >/dev/null 2>&1 || { log "missing tool: $tool"; exit 1; }
done

if [[ -n ${BENCH_WORK:-} ]]; then
    WORK=$BENCH_WORK
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/zvbench.XXXXXX")
    [[ ${KEEP_WORK:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT
fi
LOG=$WORK/tools.log
: >"$LOG"
log "work directory: $WORK"

# --- the zv-render binary ----------------------------------------------------
# It is rebuilt in place from time to time: wait for it, copy it, check the copy.
ZV=$WORK/zv-render
for attempt in 1 2 3 4 5 6; do
    if [[ -x $ZV_SRC ]] && cp "$ZV_SRC" "$ZV" &&
        "$ZV" --paper a4 -o "$WORK/sanity.pdf" "$ROOT/samples/sample.zv" >/dev/null 2>>"$LOG"; then
        break
    fi
    if [[ $attempt == 6 ]]; then log "zv-render not usable at $ZV_SRC"; exit 1; fi
    log "zv-render not ready at $ZV_SRC, retrying in 30 s"
    sleep 30
done

# --- helpers -----------------------------------------------------------------
pdf_pages() { pdfinfo "$1" 2>/dev/null | awk '/^Pages:/ {print $2}'; }
mb() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
file_mb() { awk -v b="$(stat -c %s "$1")" 'BEGIN {printf "%.1f", b / 1048576}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {if (NR % 2) m = a[(NR + 1) / 2]; else m = (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.2f\n", m}'; }
minmax() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {print lo "-" hi}'; }

# measure OUT.pdf CMD...
#   Runs CMD REPEAT times under GNU time (stdout of CMD goes to $M_STDOUT or
#   /dev/null, stderr to the log). Sets:
#   M_WALL  median wall seconds    M_RANGE min-max wall seconds
#   M_CPU   median user+sys seconds (includes all child processes)
#   M_RSS   peak RSS in KiB of the largest single process (GNU time's %M of
#           the top process; for `bash -c 'a | b'` the kernel reports the max
#           over bash and its waited-for descendants, not their sum)
#   M_SUM   for pipelines: sum of the per-stage peaks (each stage runs under
#           its own GNU time writing $STAGE/N); else equal to M_RSS
#   M_PAGES pages of OUT.pdf (pdfinfo)
STAGE=$WORK/stage
measure() {
    local out=$1
    shift
    local walls=() cpus=() rss=0 sum=0 i e u s m f stage_sum
    for ((i = 0; i < REPEAT; i++)); do
        rm -f "$out"
        rm -rf "$STAGE"
        mkdir -p "$STAGE"
        /usr/bin/time -o "$WORK/time.txt" -f '%e %U %S %M' "$@" \
            >"${M_STDOUT:-/dev/null}" 2>>"$LOG"
        read -r e u s m < <(tail -n 1 "$WORK/time.txt")
        walls+=("$e")
        cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN {print u + s}')")
        if ((m > rss)); then rss=$m; fi
        stage_sum=0
        for f in "$STAGE"/*; do
            [[ -e $f ]] || continue
            stage_sum=$((stage_sum + $(tail -n 1 "$f")))
        done
        if ((stage_sum == 0)); then stage_sum=$m; fi
        if ((stage_sum > sum)); then sum=$stage_sum; fi
    done
    M_WALL=$(median "${walls[@]}")
    M_RANGE=$(minmax "${walls[@]}")
    M_CPU=$(median "${cpus[@]}")
    M_RSS=$rss
    M_SUM=$sum
    M_PAGES=$(pdf_pages "$out")
}

# --- inputs --------------------------------------------------------------------
gen() { # gen PAGES [with_text]
    local p=$1
    [[ -s $WORK/job$p.zv ]] && { [[ -z ${2:-} ]] || [[ -s $WORK/job$p.txt ]]; } && return
    log "generating $p-page job"
    if [[ -n ${2:-} ]]; then
        python3 "$HERE/make_job.py" "$p" "$WORK/job$p.zv" "$WORK/job$p.txt"
        # enscript does not read UTF-8: give it the same text in ISO-8859-2
        iconv -f utf-8 -t iso-8859-2 "$WORK/job$p.txt" >"$WORK/job$p.l2"
    else
        python3 "$HERE/make_job.py" "$p" "$WORK/job$p.zv"
    fi
}
gen "$PAGES" text
gen "$PAPS_PAGES" text
for p in $ZV_PAGES; do gen "$p"; done

# enscript's own Courier metrics lack the Polish letters (they print as '?');
# point it at the URW Nimbus Mono PS metrics, whose glyphs Ghostscript has.
ENSCRIPT_FONT=Courier10
ENSCRIPT_HOME=$WORK/enscript-home
mkdir -p "$ENSCRIPT_HOME/afm"
if [[ -r $URW_MONO_AFM ]]; then
    ln -sf "$URW_MONO_AFM" "$ENSCRIPT_HOME/afm/"
    printf 'NimbusMonoPS-Regular\tNimbusMonoPS-Regular\n' >"$ENSCRIPT_HOME/afm/font.map"
    printf 'AFMPath: %s:/usr/share/enscript/afm\n' "$ENSCRIPT_HOME/afm" >"$ENSCRIPT_HOME/.enscriptrc"
    ENSCRIPT_FONT=NimbusMonoPS-Regular@10
else
    log "warning: $URW_MONO_AFM missing, enscript falls back to Courier10 (no Polish glyphs)"
fi

# texttopdf takes the page size from a PPD only; without one it makes Letter.
TT_PPD= TT_NOTE="Letter (no PPD)"
if [[ -r $GENERIC_PPD ]]; then TT_PPD=$GENERIC_PPD TT_NOTE="A4 via Generic-PDF PPD, 12 cpi, 7 lpi"; fi

LOAD_BEFORE=$(cut -d ' ' -f 1-3 /proc/loadavg)

# --- zv-render: scaling with the page count --------------------------------------
declare -A ZW ZR ZC ZM ZP ZS ZF
for p in $ZV_PAGES; do
    log "zv-render, $p pages"
    measure "$WORK/zv$p.pdf" "$ZV" --paper a4 -o "$WORK/zv$p.pdf" "$WORK/job$p.zv"
    ZW[$p]=$M_WALL ZR[$p]=$M_RANGE ZC[$p]=$M_CPU ZM[$p]=$M_RSS ZP[$p]=$M_PAGES
    ZF[$p]=$(file_mb "$WORK/zv$p.pdf")
done

# --- tool comparison -------------------------------------------------------------
ROWS=()
# row NAME PAGES_IN OUT.pdf NOTE
row() {
    local pps per1000
    pps=$(awk -v p="$M_PAGES" -v w="$M_WALL" 'BEGIN {printf "%.1f", (w > 0 ? p / w : 0)}')
    if [[ $2 == "$PAGES" ]]; then
        per1000=$M_WALL
    else
        # scaled by the pages of text given (a trailing blank page costs ~nothing)
        per1000="≈ $(awk -v n="$PAGES" -v p="$2" -v w="$M_WALL" 'BEGIN {printf "%.0f", w * n / p}') (scaled)"
    fi
    ROWS+=("| $1 | $2 | $M_PAGES | $M_WALL ($M_RANGE) | $M_CPU | $pps | $per1000 | $(mb "$M_RSS") | $(mb "$M_SUM") | $(file_mb "$3") | $4 |")
}

if [[ " $ZV_PAGES " == *" $PAGES "* ]]; then
    M_WALL=${ZW[$PAGES]} M_RANGE=${ZR[$PAGES]} M_CPU=${ZC[$PAGES]} M_RSS=${ZM[$PAGES]} M_SUM=${ZM[$PAGES]} M_PAGES=${ZP[$PAGES]}
else
    log "zv-render, $PAGES pages"
    measure "$WORK/zv$PAGES.pdf" "$ZV" --paper a4 -o "$WORK/zv$PAGES.pdf" "$WORK/job$PAGES.zv"
fi
row "zv-render (600 dpi, A4)" "$PAGES" "$WORK/zv$PAGES.pdf" "escape codes honoured"
ZV_CPU=$M_CPU ZV_WALL=$M_WALL

log "texttopdf, $PAGES pages"
M_STDOUT=$WORK/texttopdf.pdf measure "$WORK/texttopdf.pdf" \
    env ${TT_PPD:+PPD=$TT_PPD} CHARSET=utf-8 CONTENT_TYPE=text/plain \
    "$TEXTTOPDF" 1 bench bench 1 \
    "PageSize=A4 cpi=12 lpi=7 page-left=18 page-right=18 page-top=36 page-bottom=36" \
    "$WORK/job$PAGES.txt"
row "texttopdf" "$PAGES" "$WORK/texttopdf.pdf" "$TT_NOTE"
TT_CPU=$M_CPU TT_WALL=$M_WALL

log "enscript | ps2pdf, $PAGES pages"
measure "$WORK/enscript.pdf" bash -c '
    /usr/bin/time -o "$1/1" -f %M env HOME="$2" enscript -B -q -f "$3" --media=A4 --encoding=latin2 -o - "$4" |
    /usr/bin/time -o "$1/2" -f %M ps2pdf -sPAPERSIZE=a4 - "$5"' \
    _ "$STAGE" "$ENSCRIPT_HOME" "$ENSCRIPT_FONT" "$WORK/job$PAGES.l2" "$WORK/enscript.pdf"
row "enscript \| ps2pdf" "$PAGES" "$WORK/enscript.pdf" "$ENSCRIPT_FONT, latin2 input"

log "paps | ps2pdf, $PAPS_PAGES pages"
measure "$WORK/paps.pdf" bash -c '
    /usr/bin/time -o "$1/1" -f %M paps --paper=a4 --font="Monospace 8" --left-margin=18 --right-margin=18 \
        --top-margin=36 --bottom-margin=36 "$2" |
    /usr/bin/time -o "$1/2" -f %M ps2pdf -sPAPERSIZE=a4 - "$3"' \
    _ "$STAGE" "$WORK/job$PAPS_PAGES.txt" "$WORK/paps.pdf"
row "paps \| ps2pdf" "$PAPS_PAGES" "$WORK/paps.pdf" "Monospace 8; paps writes PostScript only"

LOAD_AFTER=$(cut -d ' ' -f 1-3 /proc/loadavg)

# --- the grid and the text of zv-render's PDF ------------------------------------------
# Every word's left edge in points times 600/72 must be a whole device unit (within 0.001 pt).
pdftotext -bbox "$WORK/zv$PAGES.pdf" "$WORK/bbox.html"
read -r GRID_WORDS GRID_OFF GRID_WORST < <(awk -F'"' '
    /<word / { n++; u = $2 * 600 / 72; d = u - int(u + 0.5); if (d < 0) d = -d; if (d > worst) worst = d
               if (d > 0.001 * 600 / 72) off++ }
    END { printf "%d %d %.6f\n", n, off, worst * 72 / 600 }' "$WORK/bbox.html")
DEFLATE_LEVEL=$(sed -n 's/.*kDeflateLevel = \([0-9]*\);.*/\1/p' "$ROOT/platform/portable/gdi32/pdf/pdf_output.h")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }

# --- report ------------------------------------------------------------------------
cpu_model=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
rev=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)
cat <<EOF
## zv-render benchmark

- date: $(date -u '+%Y-%m-%d %H:%M UTC'); machine: $(nproc) cores, ${cpu_model}, $(awk '/^MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM
- zv-render: $ZV_SRC (binary of $(date -u -r "$ZV_SRC" "+%Y-%m-%d %H:%M UTC"), repo HEAD $rev); runs per figure: $REPEAT (wall and CPU: median, range in brackets; RSS: max)
- load average before: $LOAD_BEFORE, after: $LOAD_AFTER
- job: 66 lines x 80 characters per page, cp1250 with ESC pitch/bold/underline codes for zv-render; the same text as UTF-8 (ISO-8859-2 for enscript) for the others
- zv-render's deflate level: ${DEFLATE_LEVEL:-unknown} (PdfOutput::kDeflateLevel)
- zv-render against texttopdf, $PAGES pages: $(ratio "$TT_CPU" "$ZV_CPU") times its throughput by CPU time, $(ratio "$TT_WALL" "$ZV_WALL") by wall time
- zv-render's grid: $GRID_WORDS words, $GRID_OFF off the 1/600-inch grid by more than 0.001 pt (largest distance $GRID_WORST pt)

### Tools on the same text

| tool | pages in | pages out | wall s | CPU s | pages/s | wall for $PAGES pages, s | peak RSS MB (largest process) | peak RSS MB (sum of stages) | PDF MB | notes |
| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |
EOF
printf '%s\n' "${ROWS[@]}"
cat <<EOF

### zv-render memory against page count

| pages | pages out | wall s | CPU s | pages/s | peak RSS MB | PDF MB |
| ---: | ---: | ---: | ---: | ---: | ---: | ---: |
EOF
for p in $ZV_PAGES; do
    pps=$(awk -v p="${ZP[$p]}" -v w="${ZW[$p]}" 'BEGIN {printf "%.1f", (w > 0 ? p / w : 0)}')
    printf '| %s | %s | %s (%s) | %s | %s | %s | %s |\n' "$p" "${ZP[$p]}" "${ZW[$p]}" "${ZR[$p]}" "${ZC[$p]}" "$pps" "$(mb "${ZM[$p]}")" "${ZF[$p]}"
done
log "done"
