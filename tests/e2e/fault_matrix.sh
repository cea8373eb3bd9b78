#!/usr/bin/env bash
# The faults a hostile week brings, against the real zvspool, a real scheduler and an IPP printer:
# a job renamed over while it prints, the scheduler killed right after it took the jobs, the
# scheduler hung during a long job, zvspool killed while sending a job or writing a PDF, SIGTERM
# mid-job and while it reads a huge job of zeros, a folder zvspool cannot delete from, and
# producers that write slowly (as another user) or a line at a time. For every job: printed exactly once (its first and last line in one
# document), or kept; never lost. The matrix of counts is printed at the end.
#   fault_matrix.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
source "$here/faults.sh"

start_office || exit 1
big_pages=${ZV_FAULT_PAGES:-1500}
printer_dir() { echo "$work/printer-office"; }
counter_proves_itself
cups_jobs() { lpstat -W not-completed -o office 2>/dev/null | awk '{print $1}' | sed 's/.*-//'; }

# --- A job renamed over by a new job of the same size while it prints ---------------------------
A=$work/rename; mkdir -p "$A/ZV"
job "$A/ZV/zv0001.zv" RENAMEOLD "$big_pages"
(cd "$A" && exec "$zvspool" --once >> "$A/zvspool.log" 2>&1) &
printing=$!
check "the job is printing" wait_for 20 has_open $printing "$A/ZV/zv0001.zv"
sed 's/RENAMEOLD/RENAMENEW/' "$A/ZV/zv0001.zv" > "$A/next.tmp"
check "the new job has the same size" test "$(stat -c %s "$A/next.tmp")" -eq "$(stat -c %s "$A/ZV/zv0001.zv")"
mv "$A/next.tmp" "$A/ZV/zv0001.zv"
wait $printing
drain "$A" 40
sleep 2
tally "renamed over while printing" RENAMEOLD "$A" "$(printer_dir)"
tally "renamed over while printing" RENAMENEW "$A" "$(printer_dir)"

# --- zvspool killed while it sends a job: the empty CUPS job is cancelled at the next start ------
H=$work/killed; mkdir -p "$H/ZV"
job "$H/ZV/zv0001.zv" KILLEDSEND "$big_pages"
(cd "$H" && exec "$zvspool" --once >> "$H/zvspool.log" 2>&1) &
sender=$!
# Killed at a known point: the job is made and in the journal, its document on its way.
wait_for 20 folder_journal_says "$H" 2 zv0001.zv
abandoned=$(cups_jobs | head -1)
kill -9 $sender; wait $sender 2>/dev/null
check "zvspool killed mid-transfer leaves a CUPS job ($abandoned)" test -n "$abandoned"
drain "$H" 40
sleep 2
check "the next start cancels it" bash -c "! lpstat -W not-completed -o office | grep -q 'office-$abandoned '"
tally "zvspool killed mid-transfer" KILLEDSEND "$H" "$(printer_dir)"

# --- The scheduler killed right after it took the jobs, then restarted ---------------------------
B=$work/crash; mkdir -p "$B/ZV"
for n in 1 2 3 4; do job "$B/ZV/zv000$n.zv" CRASH$n 2; done
cupsdisable office
once "$B" env
check "four jobs handed over" test "$(grep -c 'handed zv000' "$B/zvspool.log")" -eq 4
sleep 2
kill -9 "$(cat /run/cups/cupsd.pid)"
sleep 1
start_scheduler || exit 1
cupsenable office
drain "$B" 40
sleep 2
for n in 1 2 3 4; do tally "scheduler killed after taking the jobs" CRASH$n "$B" "$(printer_dir)"; done
grep -E "lost|again" "$B/zvspool.log"

# --- The scheduler hung (SIGSTOP) during a long job, alongside the faults that need no scheduler --
C=$work/hung; mkdir -p "$C/ZV"
job "$C/ZV/zv0001.zv" HUNG "$big_pages"
(cd "$C" && exec "$zvspool" --once >> "$C/zvspool.log" 2>&1) &
sender=$!
wait_for 20 bash -c "[[ -n \"\$(lpstat -W not-completed -o office 2>/dev/null)\" ]]"
cupsd_pid=$(cat /run/cups/cupsd.pid)
kill -STOP "$cupsd_pid"
hung_since=$SECONDS

# The built-in PDF printer, each case with a home of its own.
pdf_env() { echo "PRINTER=PDF HOME=$1/home"; }

# A folder zvspool cannot delete from: printed once, said once, not printed again.
D=$work/readonly; mkdir -p "$D/ZV" "$D/home"
job "$D/ZV/zv0001.zv" READONLY
mount --bind "$D/ZV" "$D/ZV" && mount -o remount,bind,ro "$D/ZV"
for _ in 1 2 3; do once "$D" env $(pdf_env "$D"); done
tally "folder not writable" READONLY "$D" "$D/home/PDF"
check "said once that it cannot be deleted" test "$(grep -c 'was printed, but cannot delete it' "$D/zvspool.log")" -eq 1

# zvspool killed while the built-in PDF printer writes: nothing is left behind, and the job is
# printed whole at the next start.
E=$work/pdfkill; mkdir -p "$E/ZV" "$E/home"
job "$E/ZV/zv0001.zv" PDFKILL "$big_pages"
"$zv_render" -o "$E/expected.pdf" "$E/ZV/zv0001.zv" > /dev/null
(cd "$E" && exec env $(pdf_env "$E") "$zvspool" --once >> "$E/zvspool.log" 2>&1) &
writer=$!
wait_for 20 has_open $writer "$E/ZV/zv0001.zv"
kill -9 $writer; wait $writer 2>/dev/null
check "killed while writing a PDF, nothing is left in ~/PDF" test -z "$(ls -A "$E/home/PDF" 2>/dev/null)"
drain "$E" 5 $(pdf_env "$E")
tally "killed while writing a PDF" PDFKILL "$E" "$E/home/PDF"
pages() { pdfinfo "$1" | sed -n 's/^Pages: *//p'; }
check "and the PDF has every page" test "$(pages "$E"/home/PDF/*.pdf)" -eq "$(pages "$E/expected.pdf")"

# SIGTERM mid-job: the program ends within 5 seconds, the job is abandoned and kept, and printed
# whole next time.
F=$work/sigterm; mkdir -p "$F/ZV" "$F/home"
# Random bytes are the slowest job there is: every control code, runs of a few letters; 25 MB of
# them take seconds to print.
{ printf 'SIGTERM FIRST\r\n'; head -c 25000000 /dev/urandom | tr -d '\000'
  printf '\r\n\x0c\x1b\x19SIGTERM LAST\r\n'; } > "$F/ZV/zv0001.zv"
(cd "$F" && exec env $(pdf_env "$F") "$zvspool" >> "$F/zvspool.log" 2>&1) &
term_while_printing $! "$F/ZV/zv0001.zv" 5 "random bytes"
check "and nothing of it is in ~/PDF" test -z "$(ls -A "$F/home/PDF" 2>/dev/null | grep -v '^\.')"
drain "$F" 5 $(pdf_env "$F")
tally "SIGTERM mid-job" SIGTERM "$F" "$F/home/PDF"

# SIGTERM while it reads a job that draws nothing at all: a sparse file of 100 GiB, every byte
# zero. The reading itself hears the signal: the program ends within two seconds, the job kept.
Z=$work/sparse; mkdir -p "$Z/ZV" "$Z/home"
truncate -s 100G "$Z/ZV/zv0001.zv"
(cd "$Z" && exec env $(pdf_env "$Z") "$zvspool" >> "$Z/zvspool.log" 2>&1) &
term_while_printing $! "$Z/ZV/zv0001.zv" 2 "100 GiB of zeros"
check "and it stays in ZV" test -f "$Z/ZV/zv0001.zv"
rm -f "$Z/ZV/zv0001.zv"

# Producers, with the spooler running as another user than they: one keeps its file open and
# writes a line every 3 seconds, one opens, appends and closes once a second.
G=$work/producers; mkdir -p "$G/ZV" "$G/home" "$G/state" "$G/runtime"
chmod 755 "$work"
chown daemon "$G" "$G/home" "$G/state" "$G/runtime"
chown nobody "$G/ZV"
chmod 755 "$G/ZV"
(cd "$G" && exec runuser -u daemon -- env PRINTER=PDF HOME="$G/home" XDG_STATE_HOME="$G/state" \
  XDG_RUNTIME_DIR="$G/runtime" "$zvspool" >> "$G/zvspool.log" 2>&1) &
spooler=$!
runuser -u nobody -- bash -c "exec 3> '$G/ZV/zv0001.zv'; echo -e 'SLOW FIRST\r' >&3;
  for i in 1 2 3 4 5; do sleep 3; echo -e \"slow line \$i\r\" >&3; done; echo -e 'SLOW LAST\r' >&3" &
slow=$!
runuser -u nobody -- bash -c "for i in \$(seq 14); do echo -e \"\$( ((i == 1)) && echo APPEND FIRST || echo append line \$i)\r\" >> '$G/ZV/zv0002.zv'; sleep 1; done
  echo -e 'APPEND LAST\r' >> '$G/ZV/zv0002.zv'" &
appender=$!
wait $slow $appender
wait_for 30 bash -c "[[ -z \"\$(ls '$G/ZV')\" ]]"
kill -TERM $spooler; wait $spooler
tally "another user's slow writer" SLOW "$G" "$G/home/PDF"
tally "open, append, close every second" APPEND "$G" "$G/home/PDF"

# Back to the hung scheduler: it has been stopped well past the spooler's patience.
sleep $((hung_since + 70 - SECONDS > 0 ? hung_since + 70 - SECONDS : 0))
kill -CONT "$cupsd_pid"
wait $sender
drain "$C" 60
sleep 2
tally "scheduler hung during a long job" HUNG "$C" "$(printer_dir)"
grep -E "kept|lost|again|handed|printed" "$C/zvspool.log" | sort | uniq -c | sort -rn | head
tail -5 "$work/cupsd.log"

print_matrix
finish
