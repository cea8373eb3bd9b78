#!/usr/bin/env bash
# Where does zv-render spend its time? Profiles it on the benchmark job:
#   1. valgrind --tool=callgrind on a 20-page job: top functions by inclusive
#      instruction count (callgrind_annotate --inclusive=yes);
#   2. if perf can sample here: perf record --call-graph dwarf on a 1000-page
#      job: top named symbols by inclusive ("children") share of samples, and
#      the share of samples per shared object (self time).
# Cairo, zlib and pixman have no symbols on Debian, so many of their frames
# show as addresses; the named entry points (cairo_show_page, deflate, ...)
# still carry the inclusive cost.
#
# usage: bench/profile.sh [PATH/TO/zv-render]   (default build/zv-render)
# env: CG_PAGES=20 PERF_PAGES=1000 TOP=25 KEEP_WORK=1
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
ZV_SRC=${1:-$ROOT/build/zv-render}
CG_PAGES=${CG_PAGES:-20}
PERF_PAGES=${PERF_PAGES:-1000}
TOP=${TOP:-25}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zvprof.XXXXXX")
[[ ${KEEP_WORK:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT
ZV=$WORK/zv-render
cp "$ZV_SRC" "$ZV"

python3 "$HERE/make_job.py" "$CG_PAGES" "$WORK/cg.zv"

echo "## callgrind, $CG_PAGES pages: top $TOP named functions by inclusive instructions"
echo
valgrind --tool=callgrind --callgrind-out-file="$WORK/cg.out" \
    "$ZV" --paper a4 -o "$WORK/cg.pdf" "$WORK/cg.zv" >/dev/null 2>"$WORK/cg.log"
grep -E 'Collected|refs' "$WORK/cg.log" | sed 's/^==[0-9]*== */    /' | awk 'NR == 1'
echo '```'
callgrind_annotate --inclusive=yes "$WORK/cg.out" 2>/dev/null |
    sed -n '/file:function/,$p' | sed -n '3,$p' | grep -v '???:0x' | awk -v n="$TOP" 'NR <= n' |
    sed -E 's#\[/usr/lib/x86_64-linux-gnu/#[#; s#\[/[^]]*/zv-render\]#[zv-render]#'
echo '```'

if command -v perf >/dev/null 2>&1 && perf stat -e task-clock true >/dev/null 2>&1; then
    python3 "$HERE/make_job.py" "$PERF_PAGES" "$WORK/perf.zv"
    perf record -q -F 499 --call-graph dwarf -o "$WORK/perf.data" \
        "$ZV" --paper a4 -o "$WORK/perf.pdf" "$WORK/perf.zv" >/dev/null 2>"$WORK/perf.log" || true
    if [[ -s $WORK/perf.data ]]; then
        echo
        echo "## perf, $PERF_PAGES pages: top $TOP named symbols by inclusive share (children, self)"
        echo
        echo '```'
        perf report -i "$WORK/perf.data" --children --stdio -g none 2>/dev/null |
            grep -E '^ +[0-9]' | grep -v ' 0x0000' | awk -v n="$TOP" 'NR <= n'
        echo '```'
        echo
        echo "## perf, $PERF_PAGES pages: self time per shared object"
        echo
        echo '```'
        perf report -i "$WORK/perf.data" --no-children --sort dso --stdio -g none 2>/dev/null |
            grep -E '^ +[0-9]' | awk 'NR <= 12'
        echo '```'
    fi
else
    echo
    echo "(perf not usable here; only the callgrind profile is shown)"
fi
