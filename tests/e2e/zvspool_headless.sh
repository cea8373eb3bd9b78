#!/usr/bin/env bash
# The real zvspool without a display, on a machine where no print system was ever installed: a job
# dropped into ZV leaves ZV at the first poll (10 s after the start) and comes out as a PDF in
# $HOME/PDF; SIGUSR1 prints the test sheet; SIGTERM ends the program with exit code 0; the log on
# standard error says each of these.
#   zvspool_headless.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
hide_print_system

mkdir -p "$work/run/ZV"
(cd "$work/run" && exec "$zvspool" 2> "$work/zvspool.log") &
pid=$!
started=$SECONDS
printf 'Zam\xf3wienie nr 17\r\n\x1b\x07Razem\x1b\x08: 123,45 z\xb3\r\n' > "$work/run/ZV/zv0001.zv"

pdfs() { ls "$HOME/PDF"/*.pdf 2>/dev/null | wc -l; }
spool_empty() { [[ -z "$(ls -A "$work/run/ZV")" ]]; }
check "the job leaves ZV within about 10 seconds of the first poll" wait_for 25 spool_empty
check "not before the first poll, 10 seconds after the start" test $((SECONDS - started)) -ge 9
check "a PDF appears in \$HOME/PDF" wait_for 5 bash -c "[[ \$(ls '$HOME/PDF'/*.pdf 2>/dev/null | wc -l) -eq 1 ]]"
job_text=$(pdftotext -layout "$HOME"/PDF/*.pdf - 2>/dev/null)
check "it holds the job's text" grep -q "Zamówienie nr 17" <<< "$job_text"
check "with its second line" grep -q "Razem: 123,45 zł" <<< "$job_text"
check "on A4" grep -q "Page size: *595.276 x 841.89 pts (A4)" <(pdfinfo "$HOME"/PDF/*.pdf)

kill -USR1 "$pid"
check "SIGUSR1 prints the test sheet" wait_for 10 bash -c "[[ \$(ls '$HOME/PDF'/*.pdf 2>/dev/null | wc -l) -eq 2 ]]"
sheet=$(ls -t "$HOME"/PDF/*.pdf | head -1)
lines=$(pdftotext -layout "$sheet" - | grep -c -- "$sample_start")
check "the sheet has sixteen sample lines (found $lines)" test "$lines" -eq 16

kill -TERM "$pid"
wait "$pid"
status=$?
check "SIGTERM ends it with exit code 0" test "$status" -eq 0

log=$(cat "$work/zvspool.log")
echo "$log"
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} '
check "every log line is stamped" bash -c "! grep -Evq '$stamp' <<< \"\$1\"" _ "$log"
check "the start names the folder, the printer and why, and no window" grep -Eq \
  "${stamp}zvspool [0-9.]+ started in $work/run, watching $work/run/ZV every 10 seconds; printer: \"zvspool PDF\" printing to $HOME/PDF \(no print system is installed or configured\); without a window" <<< "$log"
check "the printed job with its size, pages and file" grep -Eq \
  "${stamp}printed zv0001.zv \(40 bytes, 1 page\) on \"zvspool PDF\": written to $HOME/PDF/ZV_Printing-[0-9]{8}-[0-9]{6}-1.pdf" <<< "$log"
check "the test sheet" grep -Eq "${stamp}printed the test sheet on \"zvspool PDF\": written to " <<< "$log"
check "and how much of its lines A4 holds" grep -Eq \
  "${stamp}the test sheet's lines are 162 characters wide; the printable width of \"zvspool PDF\" holds 82 at 10 cpi, 99 at 12 cpi, 140 at 17 cpi: the rest" <<< "$log"
check "the end" grep -Eq "${stamp}zvspool ends$" <<< "$log"
as_root=$(( $(id -u) == 0 ))
check "run as root, it says so" test "$(grep -c "warning: zvspool runs as root" <<< "$log")" -eq "$as_root"
check "nothing else" test "$(wc -l <<< "$log")" -eq $((5 + as_root))
finish
