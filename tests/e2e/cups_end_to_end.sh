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
for tool in cupsd ippeveprinter ipptool lpadmin cupsaccept cupsreject dbus-daemon pdftotext; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; exit 1; }
done

work=$(mktemp -d /tmp/zv-cups.XXXXXX)
queue="zvtest$$"
pids=()
passed=0
failed=0
old_default=$(lpstat -d 2>/dev/null | sed -n 's/^system default destination: //p')

cleanup() {
  lpadmin -x "$queue" 2>/dev/null
  [[ -n "$old_default" ]] && lpadmin -d "$old_default" 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

check() { # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then
    echo "PASS $name"; passed=$((passed + 1))
  else
    echo "FAIL $name"; failed=$((failed + 1))
  fi
}

wait_for() { # wait_for SECONDS COMMAND...
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS >= until)) && return 1
    sleep 0.2
  done
}

# ippeveprinter needs a system bus.
if [[ ! -S /run/dbus/system_bus_socket ]]; then
  mkdir -p /run/dbus
  dbus-daemon --system --fork --print-pid > "$work/dbus.pid" || { echo "dbus-daemon failed"; exit 1; }
  pids+=("$(cat "$work/dbus.pid")")
fi

port=18631
while (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
mkdir -p "$work/printer" "$work/spool/ZV"
ippeveprinter -n localhost -p "$port" -d "$work/printer" -k -c /bin/true -f application/pdf -r off \
  "ZV Test Printer $$" > "$work/ippeveprinter.log" 2>&1 &
pids+=($!)

if ! lpstat -r 2>/dev/null | grep -q "is running"; then
  cupsd -f > "$work/cupsd.log" 2>&1 &
  pids+=($!)
fi
wait_for 20 bash -c 'lpstat -r 2>/dev/null | grep -q "is running"' || { echo "cupsd did not start"; cat "$work/cupsd.log"; exit 1; }
wait_for 20 ipptool -q "ipp://localhost:$port/ipp/print" get-printer-attributes.test \
  || { echo "ippeveprinter did not start"; cat "$work/ippeveprinter.log"; exit 1; }
lpadmin -p "$queue" -E -v "ipp://localhost:$port/ipp/print" -m everywhere -o PageSize=A4 \
  && lpadmin -d "$queue" || { echo "lpadmin failed"; exit 1; }

cat > "$work/jobs.test" <<'IPP'
{
  OPERATION Get-Jobs
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword which-jobs all
  ATTR keyword requested-attributes job-id,job-name
  STATUS successful-ok
  DISPLAY job-name
}
IPP

received() { ls "$work/printer"/*.pdf 2>/dev/null | wc -l; }
job_names() { ipptool -c "ipp://localhost:$port/ipp/print" "$work/jobs.test" | tail -n +2; }
all_text() { for f in "$work/printer"/*.pdf; do pdftotext -layout "$f" -; done; }
spool_is() { [[ "$(cd "$work/spool/ZV" && ls | tr '\n' ' ')" == "$1" ]]; }

cd "$work/spool"
# Polish text in code page 1250, Russian in code page 866.
printf 'Kartoteka: \xa3\xf3d\x9f, \x9cwi\xeatokrzyska\r\n' > ZV/zv0001.zv
printf '\x1b\x2701\x8a\xa0\xe0\xe2\xae\xe2\xa5\xaa\xa0\x1b\x2700 page one\r\n\x0cpage two\r\n' > ZV/zv0002.zv
printf 'third job\r\n' > ZV/zv0003.zv

"$poll_once"; status=$?
check "three jobs are printed (poll result 0)" test "$status" -eq 0
check "the spool directory is empty" spool_is ""
check "three documents reach the printer" wait_for 60 bash -c "[[ \$(ls '$work/printer'/*.pdf 2>/dev/null | wc -l) -ge 3 ]]"
check "every document is titled ZV: Printing" \
  bash -c "[[ \"\$(ipptool -c 'ipp://localhost:$port/ipp/print' '$work/jobs.test' | tail -n +2 | sort | uniq -c | sed 's/^ *//')\" == '3 ZV: Printing' ]]"
text=$(all_text)
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
check "the kept job reaches the printer" wait_for 60 bash -c "[[ \$(ls '$work/printer'/*.pdf | wc -l) -ge 4 ]]"
"$poll_once"
sleep 2
check "and only once" test "$(all_text | grep -c 'waited for the queue')" -eq 1
check "four documents in all" test "$(received)" -eq 4

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
