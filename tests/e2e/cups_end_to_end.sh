#!/usr/bin/env bash
# End to end through a real CUPS scheduler: job files dropped into ZV must reach an IPP Everywhere
# printer (ippeveprinter on loopback) as PDF documents titled "ZV: Printing" holding the jobs' text,
# and leave ZV; a queue that rejects jobs must leave them in ZV until it accepts them again.
#   cups_end_to_end.sh POLL_ONCE    (POLL_ONCE polls ./ZV once and exits with the poll's result)
set -uo pipefail

poll_once=$(realpath "$1")
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: starting cupsd and adding a queue needs root"
  exit 77
fi
for tool in cupsd ippeveprinter ipptool lpadmin cupsaccept cupsreject dbus-daemon dbus-send pdftotext; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; exit 1; }
done

here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
work=$(mktemp -d /tmp/zv-cups.XXXXXX)
trap 'stop_print_system; rm -rf "$work"' EXIT
start_print_system "$work" || exit 1
mkdir -p "$work/spool/ZV"
spool_is() { [[ "$(cd "$work/spool/ZV" && ls | tr '\n' ' ')" == "$1" ]]; }
at_least() { [[ $(received) -ge $1 ]]; }

cd "$work/spool"
# Polish text in code page 1250, Russian in code page 866.
printf 'Kartoteka: \xa3\xf3d\x9f, \x9cwi\xeatokrzyska\r\n' > ZV/zv0001.zv
printf '\x1b\x2701\x8a\xa0\xe0\xe2\xae\xe2\xa5\xaa\xa0\x1b\x2700 page one\r\n\x0cpage two\r\n' > ZV/zv0002.zv
printf 'third job\r\n' > ZV/zv0003.zv

"$poll_once"; status=$?
check "three jobs are printed (poll result 0)" test "$status" -eq 0
check "the spool directory is empty" spool_is ""
check "three documents reach the printer" wait_for 60 at_least 3
check "every document is titled ZV: Printing" test "$(job_names | sort | uniq -c | sed 's/^ *//')" == "3 ZV: Printing"
text=$(received_text)
check "Polish text arrives" grep -q "Kartoteka: Łódź, świętokrzyska" <<< "$text"
check "Russian text arrives" grep -q "Картотека page one" <<< "$text"
check "the two-page job has both pages" grep -q "page two" <<< "$text"
check "the third job arrives" grep -q "third job" <<< "$text"

cupsreject "$queue"
printf 'waited for the queue\r\n' > ZV/zv0004.zv
"$poll_once"; status=$?
check "a rejecting queue keeps the job (poll result 1)" test "$status" -eq 1
check "the job stays in the spool directory" spool_is "zv0004.zv "
sleep 2
check "nothing reaches the printer" test "$(received)" -eq 3

cupsaccept "$queue"
"$poll_once"; status=$?
check "the accepting queue takes the job (poll result 0)" test "$status" -eq 0
check "the spool directory is empty again" spool_is ""
check "the kept job reaches the printer" wait_for 60 at_least 4
"$poll_once"
sleep 2
check "and only once" test "$(received_text | grep -c 'waited for the queue')" -eq 1
check "four documents in all" test "$(received)" -eq 4

# An abandoned document is cancelled: no part of it reaches the printer.
"$poll_once" --abandon; status=$?
check "a document can be abandoned" test "$status" -eq 0
sleep 3
check "nothing of it is printed" test "$(received)" -eq 4
check "and no job is left in the queue" test -z "$(lpstat -o "$queue" 2>/dev/null)"

finish
