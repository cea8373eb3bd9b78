#!/usr/bin/env bash
# What handing jobs over costs: N small jobs (two lines each) printed by one `zvspool --once` run
# on the built-in PDF printer, into a folder on the disk the state folder is on. Every step of a
# hand-over is flushed to the disk before the next, each deletion and each PDF put in place is
# flushed with its folder, and the poll waits the quiet time twice (before it takes the new files,
# and while their jobs are held). The same run again with fsync made a no-op (eatmydata) shows
# what the flushes cost; the run's waits are taken off both.
#   bench/handover.sh [ZVSPOOL] [N]
# Knobs (environment): REPEAT (default 3), QUIET (quiet-seconds, default 0.5), BENCH_WORK (a folder
# on the disk to measure; default a new folder under /var/tmp).
set -euo pipefail
here=$(dirname "$(realpath "$0")")
zvspool=$(realpath "${1:-$here/../build/zvspool}")
n=${2:-300}
repeat=${REPEAT:-3}
quiet=${QUIET:-0.5}
work=${BENCH_WORK:-$(mktemp -d /var/tmp/zv-handover.XXXXXX)}
trap 'rm -rf "$work"' EXIT
command -v eatmydata > /dev/null || { echo "needs eatmydata (apt-get install eatmydata)" >&2; exit 1; }

# run [WRAPPER...]: the median wall time of REPEAT runs, in ms.
run() {
  local runs=() start end printed
  for _ in $(seq "$repeat"); do
    rm -rf "$work/run" && mkdir -p "$work/run/ZV"
    for i in $(seq "$n"); do printf 'job %d\r\nline two\r\n' "$i" > "$work/run/ZV/zv$(printf %05d "$i").zv"; done
    # Written long enough ago that the first look takes them.
    touch -d '1 minute ago' "$work/run/ZV/"*
    sync
    start=$(date +%s%N)
    (cd "$work/run" && env -u LPDEST PRINTER=PDF HOME="$work/run/home" XDG_STATE_HOME="$work/run/state" \
      "$@" "$zvspool" --once --quiet-seconds "$quiet" 2> "$work/run/log")
    end=$(date +%s%N)
    printed=$(ls "$work/run/home/PDF" | wc -l)
    [[ $printed -eq $n && -z "$(ls "$work/run/ZV")" ]] || { echo "only $printed of $n printed" >&2; exit 1; }
    runs+=($(((end - start) / 1000000)))
  done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n "$(((repeat + 1) / 2))p"
}
synced=$(run)
unsynced=$(run eatmydata)
waits=$(awk -v q="$quiet" 'BEGIN { printf "%d", 2 * q * 1000 }')
per_job() { awk -v m="$1" -v w="$waits" -v n="$n" 'BEGIN { printf "%.2f", (m - w) / n }'; }
echo "| jobs | flushes | wall ms (median of $repeat) | of which the waits | ms per job beyond them |"
echo "|---|---|---|---|---|"
echo "| $n | as made | $synced | $waits | $(per_job "$synced") |"
echo "| $n | none (eatmydata) | $unsynced | $waits | $(per_job "$unsynced") |"
echo
echo "The flushes add $(awk -v a="$synced" -v b="$unsynced" -v n="$n" 'BEGIN { printf "%.2f", (a - b) / n }') ms per job on $(df --output=source,fstype "$work" | tail -1)."
