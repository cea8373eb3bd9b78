#!/usr/bin/env bash
# What the hand-over journal costs: N small jobs (two lines each) printed by one `zvspool --once`
# run on the built-in PDF printer, into a folder on the disk the state folder is on (every step of
# a hand-over is flushed to the disk before the next). Prints the run's wall time, the part of it
# that is the wait for new files to be quiet (two seconds), and the time per job beyond that.
#   bench/handover.sh [ZVSPOOL] [N]
# Knobs (environment): REPEAT (default 3), BENCH_WORK (a folder on the disk to measure; default a
# new folder under /var/tmp).
set -euo pipefail
here=$(dirname "$(realpath "$0")")
zvspool=$(realpath "${1:-$here/../build/zvspool}")
n=${2:-300}
repeat=${REPEAT:-3}
work=${BENCH_WORK:-$(mktemp -d /var/tmp/zv-handover.XXXXXX)}
trap 'rm -rf "$work"' EXIT

runs=()
for _ in $(seq "$repeat"); do
  rm -rf "$work/run" && mkdir -p "$work/run/ZV"
  for i in $(seq "$n"); do printf 'job %d\r\nline two\r\n' "$i" > "$work/run/ZV/zv$(printf %05d "$i").zv"; done
  start=$(date +%s%N)
  (cd "$work/run" && env -u LPDEST PRINTER=PDF HOME="$work/run/home" XDG_STATE_HOME="$work/run/state" \
    "$zvspool" --once 2> "$work/run/log")
  end=$(date +%s%N)
  printed=$(ls "$work/run/home/PDF" | wc -l)
  [[ $printed -eq $n && -z "$(ls "$work/run/ZV")" ]] || { echo "only $printed of $n printed" >&2; exit 1; }
  runs+=($(((end - start) / 1000000)))
done
median=$(printf '%s\n' "${runs[@]}" | sort -n | sed -n "$(((repeat + 1) / 2))p")
echo "| jobs | wall ms (median of $repeat) | of which the quiet wait | ms per job beyond it |"
echo "|---|---|---|---|"
echo "| $n | $median | 2000 | $(awk -v m="$median" -v n="$n" 'BEGIN { printf "%.2f", (m - 2000) / n }') |"
