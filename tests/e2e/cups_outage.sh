#!/usr/bin/env bash
# The real zvspool when the print system does not take its jobs: a queue that rejects them and a
# scheduler that is stopped. The job stays in ZV (never diverted to the built-in PDF printer while
# CUPS is installed), the log says why once, not at every poll, and the job is printed exactly once
# when the print system is back. With standard error on the journal, lines carry their priority.
#   cups_outage.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")

start_system_bus || exit 1
start_printer office iso_a4_210x297mm || exit 1
start_scheduler || exit 1
add_queue office "$printer_uri" && lpadmin -d office || exit 1

mkdir -p "$work/run/ZV"
log=$work/zvspool.log
lines() { grep -c -- "$1" "$log"; }
has_line() { grep -q -- "$1" "$log"; }
spool() { ls "$work/run/ZV" | tr '\n' ' '; }
pdfs() { ls "$HOME/PDF" 2>/dev/null | wc -l; }

cupsreject -r "paper jam in tray 2" office
printf 'pierwsze zlecenie\r\n' > "$work/run/ZV/zv0001.zv"
(cd "$work/run" && exec "$zvspool" 2> "$log") &
pid=$!

check "a rejecting queue keeps the job, and the log says why" \
  wait_for 25 has_line "warning: kept zv0001.zv: cannot start the document: .*not accepting jobs"
sleep 11
check "the same reason is not said again at the next poll" test "$(lines "kept zv0001.zv")" -eq 1
check "the job is still in ZV" test "$(spool)" == "zv0001.zv "
cupsaccept office
check "once the queue accepts jobs, the job is handed over" wait_for 15 has_line "handed zv0001.zv (19 bytes, 1 page) to \"office\": CUPS job"
check "and once printed, it leaves ZV" wait_for 15 has_line "printed zv0001.zv (19 bytes, 1 page) on \"office\": CUPS job [0-9]* completed"
check "the spool is empty" test -z "$(spool)"
check "it reaches the printer" wait_for 30 bash -c "[[ \$(ls '$work/printer-office'/*.pdf 2>/dev/null | wc -l) -eq 1 ]]"

stop_scheduler
printf 'drugie zlecenie\r\n' > "$work/run/ZV/zv0002.zv"
check "with the scheduler stopped, the next job is kept, saying why" \
  wait_for 15 has_line "warning: kept zv0002.zv: cannot open the default printer: cannot reach the print system (/run/cups/cups.sock): the scheduler is not running there, or is restarting (No such file or directory)"
check "it stays in ZV" test "$(spool)" == "zv0002.zv "
check "nothing goes to the built-in PDF printer" test "$(pdfs)" -eq 0
start_scheduler || exit 1
check "when the scheduler is back, the job is printed" wait_for 25 has_line "printed zv0002.zv"
check "it reaches the printer once" test "$(text_of office | grep -c 'drugie zlecenie')" -eq 1
check "and was said kept once and printed once" \
  test "$(lines "kept zv0002.zv"):$(lines "printed zv0002.zv")" == "1:1"
check "still nothing in ~/PDF" test "$(pdfs)" -eq 0
kill -TERM "$pid"
wait "$pid"
cat "$log"

# The journal: a line's priority in front, when standard error is the journal's stream.
cupsreject office
printf 'trzecie\r\n' > "$work/run/ZV/zv0003.zv"
journal=$work/journal.log
: > "$journal"
(cd "$work/run" && JOURNAL_STREAM=$(stat -c %d:%i "$journal") "$zvspool" --once 2>> "$journal")
check "a kept job ends --once with 1" test $? -eq 1
check "information is priority 6" grep -q '^<6>[0-9-]* [0-9:]* zvspool .* polls' "$journal"
check "a kept job is priority 4" grep -q '^<4>[0-9-]* [0-9:]* warning: kept zv0003.zv' "$journal"
(cd "$work/run" && JOURNAL_STREAM=$(stat -c %d:%i "$journal") "$zvspool" --once 2> "$work/other.log")
check "another stream gets no priorities" grep -q '^[0-9-]* [0-9:]* warning: kept zv0003.zv' "$work/other.log"
finish
