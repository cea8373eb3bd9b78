#!/usr/bin/env bash
# The real zvspool printing through a real CUPS scheduler to IPP Everywhere printers, on queues
# made as users make them. What reaches each printer is checked: a job and the test sheet come
# out on the queue's own paper (an A4 queue, a Letter queue, and an A4 queue whose user chose
# Letter with lpoptions), unscaled, their first character at the queue's printable top left, and
# with the text of the job; a scheduler reached by address or by name (no local socket) prints too;
# a producer that pauses longer than the quiet time gets its whole file printed, never a part.
#   cups_end_to_end.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
for tool in cupsd ippeveprinter ipptool lpadmin lpoptions dbus-daemon pdftotext pdfinfo; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; exit 1; }
done

start_system_bus || exit 1
start_printer a4 iso_a4_210x297mm && uri_a4=$printer_uri || exit 1
start_printer letter na_letter_8.5x11in && uri_letter=$printer_uri || exit 1
start_printer chosen iso_a4_210x297mm && uri_chosen=$printer_uri || exit 1
start_scheduler || exit 1
add_queue a4 "$uri_a4" && add_queue letter "$uri_letter" && add_queue chosen "$uri_chosen" || exit 1
lpoptions -p chosen -o media=Letter > /dev/null

# PaperDimension and ImageableArea of a queue's paper in its PPD: width height llx lly urx ury.
paper_of() { # paper_of QUEUE PAPER
  local ppd=/etc/cups/ppd/$1.ppd
  echo "$(sed -n "s/^\*PaperDimension $2: \"\(.*\)\"/\1/p" "$ppd")" \
       "$(sed -n "s/^\*ImageableArea $2: \"\(.*\)\"/\1/p" "$ppd")"
}

# Page size and the top left of the first word of a PDF's first page, in points.
page_size() { pdfinfo "$1" | sed -n 's/^Page size: *\([0-9.]*\) x \([0-9.]*\) pts.*/\1 \2/p'; }
first_word() {
  pdftotext -bbox -f 1 -l 1 "$1" - | grep -m1 '<word' |
    sed 's/.*xMin="\([0-9.]*\)" yMin="\([0-9.]*\)" xMax="\([0-9.]*\)".*/\1 \2 \3/'
}
near() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { exit !((a - b) <= d && (b - a) <= d) }'; }

# Checks one document against its queue's paper: size within 1 pt, first character at the
# printable top left within 1 pt across and 1.5 pt down (the text box's top is the font's).
check_paper() { # check_paper WHAT PDF QUEUE PAPER
  local what=$1 pdf=$2 w h llx lly urx ury pw ph x y
  read -r w h llx lly urx ury <<< "$(paper_of "$3" "$4")"
  read -r pw ph <<< "$(page_size "$pdf")"
  read -r x y _ <<< "$(first_word "$pdf")"
  check "$what: a page of $4 (${pw} x ${ph} pt)" bash -c "$(declare -f near); near $pw $w 1 && near $ph $h 1"
  check "$what: first character at the printable top left ($x, $y; margins $llx, $(awk "BEGIN{print $h - $ury}"))" \
    bash -c "$(declare -f near); near $x $llx 1 && near $y $(awk "BEGIN{print $h - $ury}") 1.5"
}

pids=()
for queue in a4 letter chosen; do
  mkdir -p "$work/$queue/ZV"
  printf 'KARTOTEKA %s\r\n\x1b\x07pogrubione\x1b\x08 Zam\xf3wienie\r\n' "$queue" > "$work/$queue/ZV/zv0001.zv"
  (cd "$work/$queue" && PRINTER=$queue exec "$zvspool" 2> "$work/$queue.log") &
  pids+=($!)
done
sleep 1
for pid in "${pids[@]}"; do kill -USR1 "$pid"; done
two_documents() { [[ $(document_count a4) -ge 2 && $(document_count letter) -ge 2 && $(document_count chosen) -ge 2 ]]; }
check "each queue's printer gets the test sheet and the job" wait_for 60 two_documents
for pid in "${pids[@]}"; do kill -TERM "$pid"; wait "$pid"; done

for queue in a4 letter chosen; do
  paper=A4
  [[ $queue != a4 ]] && paper=Letter
  sheet=$(documents_of "$queue" | head -1) job=$(documents_of "$queue" | tail -1)
  check "$queue: the test sheet has its sixteen lines" test "$(pdftotext -layout "$sheet" - | grep -c -- "$sample_start")" -eq 16
  check "$queue: the job's text arrives" grep -q "KARTOTEKA $queue" <(pdftotext -layout "$job" -)
  check "$queue: with its Polish letters" grep -q "pogrubione Zamówienie" <(pdftotext -layout "$job" -)
  check_paper "$queue test sheet" "$sheet" "$queue" "$paper"
  check_paper "$queue job" "$job" "$queue" "$paper"
  read -r x y x_end <<< "$(first_word "$job")"
  check "$queue job: unscaled, 10 characters an inch (KARTOTEKA is $x to $x_end pt)" \
    bash -c "$(declare -f near); near $(awk "BEGIN{print $x_end - $x}") 64.8 0.1"
  check "$queue: the log names the queue and the CUPS job" grep -q "handed zv0001.zv (.*) to \"$queue\": CUPS job [0-9]" "$work/$queue.log"
done

# A producer that appends a line and closes its file every 5 seconds for 30 seconds, with a quiet
# time (3 s) shorter than its pauses: the file is taken in every pause, but each job is held until
# the file stayed as it was for the quiet time after its document went, and the next line cancels
# it before it prints. Exactly one document reaches the printer: the whole file.
S=$work/slow; mkdir -p "$S/ZV"
echo "quiet-seconds = 3" > "$S/zvspool.conf"
(cd "$S" && PRINTER=a4 exec "$zvspool" 2> "$work/slow.log") &
spooler=$!
before=$(document_count a4)
for n in $(seq 7); do
  printf 'SLOW line %d\r\n' "$n" >> "$S/ZV/zv0001.zv"
  [[ $n -lt 7 ]] && sleep 5
done
slow_done() { [[ ! -e "$S/ZV/zv0001.zv" ]]; }
check "the slow producer's job is printed and leaves ZV" wait_for 60 slow_done
kill -TERM $spooler; wait $spooler
check "exactly one document of it reaches the printer" test "$(document_count a4)" -eq $((before + 1))
check "the whole file: its seven lines" test "$(pdftotext -layout "$(documents_of a4 | tail -1)" - | grep -c 'SLOW line')" -eq 7
check "the jobs held while it was written are cancelled, not printed" \
  grep -q "kept zv0001.zv: it changed while it printed\|zv0001.zv changed after it was handed" "$work/slow.log" \
  || cat "$work/slow.log"

# A scheduler named by address or by name, reached over the network only.
stop_scheduler
sed -i 's/^Listen .*//' /etc/cups/cupsd.conf
echo "Listen 127.0.0.1:631" >> /etc/cups/cupsd.conf
start_scheduler || exit 1
check "the scheduler has no local socket" test ! -e /run/cups/cups.sock
for server in 127.0.0.1:631 localhost:631; do
  before=$(document_count a4)
  mkdir -p "$work/remote/ZV"
  printf 'przez serwer %s\r\n' "$server" > "$work/remote/ZV/zv0001.zv"
  (cd "$work/remote" && CUPS_SERVER=$server PRINTER=a4 "$zvspool" --once 2> "$work/remote.log")
  check "CUPS_SERVER=$server: the job is handed over" test $? -eq 0
  arrived() { [[ $(document_count a4) -gt $before ]]; }
  check "CUPS_SERVER=$server: it reaches the printer" wait_for 30 arrived
  sleep 1
  (cd "$work/remote" && CUPS_SERVER=$server PRINTER=a4 "$zvspool" --once 2>> "$work/remote.log")
  check "CUPS_SERVER=$server: once printed, it leaves ZV" test ! -e "$work/remote/ZV/zv0001.zv"
  job=$(documents_of a4 | tail -1)
  check "CUPS_SERVER=$server: with its text" grep -q "przez serwer $server" <(pdftotext -layout "$job" -)
  check_paper "CUPS_SERVER=$server job" "$job" a4 A4
  cat "$work/remote.log"
done
finish
