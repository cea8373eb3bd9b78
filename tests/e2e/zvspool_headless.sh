#!/usr/bin/env bash
# The real zvspool without a display, on a machine without a print system: a job dropped into ZV
# leaves ZV at the first poll (10 s after the start) and comes out as a PDF in $HOME/PDF; SIGUSR1
# prints the test sheet; SIGTERM ends the program with exit code 0.
#   zvspool_headless.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
zvspool=$(realpath "$1")

work=$(mktemp -d /tmp/zv-headless.XXXXXX)
trap 'stop_started; rm -rf "$work"' EXIT
mkdir -p "$work/run/ZV" "$work/home"
unset DISPLAY WAYLAND_DISPLAY PRINTER LPDEST
if have_print_system; then
  # Still the built-in PDF printer, chosen by name where a scheduler is around.
  echo "note: this machine has a print system; using PRINTER=PDF"
  export PRINTER=PDF
fi
export HOME="$work/home"

(cd "$work/run" && exec "$zvspool" > "$work/zvspool.log" 2>&1) &
pid=$!
pids+=("$pid")
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

kill -USR1 "$pid"
check "SIGUSR1 prints the test sheet" wait_for 10 bash -c "[[ \$(ls '$HOME/PDF'/*.pdf 2>/dev/null | wc -l) -eq 2 ]]"
sheet=$(ls -t "$HOME"/PDF/*.pdf | head -1)
lines=$(pdftotext -layout "$sheet" - | grep -c -- "$sample_start")
check "the sheet has sixteen sample lines (found $lines)" test "$lines" -eq 16

kill -TERM "$pid"
wait "$pid"
status=$?
check "SIGTERM ends it with exit code 0" test "$status" -eq 0
check "nothing was reported" test ! -s "$work/zvspool.log"
finish
