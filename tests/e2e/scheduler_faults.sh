#!/usr/bin/env bash
# The scheduler failing under zvspool, on a server of its own over the network and on the machine
# itself: a remote scheduler killed after it took four jobs and before it stored them (with
# zvspool's clock an hour ahead of the server's, and an hour behind), a backend that cancels
# every try, a person cancelling a job in the queue, a scheduler that refuses jobs for having too
# many, a job the device cancelled and others' jobs then pushed out of the scheduler's history,
# a scheduler that refuses a document too large for it,
# a fresh server with a stopped queue killed right after it took two jobs, and a scheduler that
# keeps no job history: the job printed between two polls, and the scheduler
# restarted or killed after it printed. For every job: printed exactly once, or kept for a person;
# never printed twice, never lost (a job a person cancelled is dropped, as asked). The matrix of
# counts is printed at the end.
#   scheduler_faults.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
source "$here/faults.sh"

start_system_bus || exit 1
counter_proves_itself

# A scheduler stores its jobs and subscriptions lazily; a crash inside that delay loses them.
# The delay is made long, so that every kill -9 below comes inside it however slow the machine.
lazy="DirtyCleanInterval 300"

# --- A remote scheduler killed after it took the jobs, zvspool's clock off by an hour -----------
# The server is another network namespace behind a veth pair; its scheduler has a mount namespace
# of its own too (its configuration, spool, cache and socket under $work/server), so the client
# side has no socket of it and reaches it only over the network, as CUPS_SERVER says.
ip netns add server || exit 1
ip link add zv-client type veth peer name zv-server netns server || exit 1
ip addr add 10.77.0.1/24 dev zv-client && ip link set zv-client up || exit 1
ip -n server addr add 10.77.0.2/24 dev zv-server && ip -n server link set zv-server up \
  && ip -n server link set lo up || exit 1
# Clients of the whole network may print and ask about their jobs.
make_print_server 10.77.0.2
echo "$lazy" >> "$R/etc/cupsd.conf"
remote() { lpstat -h 10.77.0.2 "$@" 2>/dev/null; }
server_uri=$(ip netns exec server bash -c "source '$here/common.sh'; work='$work'
  start_printer remote iso_a4_210x297mm > /dev/null && echo \"\$printer_uri\"") || exit 1
start_server || exit 1
on_server lpadmin -p office -E -v "$server_uri" -m everywhere || exit 1
# A server that has been running a while: a job printed and kept in its history, the queue and
# the history stored by a restart.
printf 'HISTORY\r\n' > "$work/history.txt"
lp -h 10.77.0.2 -d office "$work/history.txt" > /dev/null || exit 1
server_history() { remote -W completed -o office | grep -q office-; }
check "the server prints a job and keeps it in its history" wait_for 30 server_history
kill "$server_pid"; wait "$server_pid"
start_server || exit 1
check "and still has it after a restart" server_history

# Two spoolers on two folders, one with its clock an hour ahead, one an hour behind, hand over four
# jobs each to the stopped queue; the server is killed before it stored them. The queue was
# stopped a while ago (stored by a restart): the server's stored state shows that nothing could
# print from it since, so the jobs it lost are printed again.
on_server cupsdisable office
kill "$server_pid"; wait "$server_pid"
start_server || exit 1
# libfaketime itself rather than the faketime command, which stays between the test and zvspool
# and would not pass a signal on.
faketime_lib=$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 2>/dev/null | head -1)
[[ -n "$faketime_lib" ]] || { echo "libfaketime is missing (apt-get install faketime)"; exit 1; }
skewed() { # skewed FOLDER OFFSET: a zvspool daemon whose wall clock is off by OFFSET
  mkdir -p "$1/ZV" "$1/state"
  (cd "$1" && exec env CUPS_SERVER=10.77.0.2 PRINTER=office XDG_STATE_HOME="$1/state" \
     LD_PRELOAD="$faketime_lib" FAKETIME="$2" FAKETIME_DONT_FAKE_MONOTONIC=1 \
     "$zvspool" >> "$1/zvspool.log" 2>&1) &
}
all_whole() { # all_whole STATE_HOME FILE...: whether every document went whole
  local state=$1 f; shift
  for f in "$@"; do journal_says 3 "$f" "$state" || return 1; done
}
# How far zvspool's clock is from the test's, in seconds, from the time on its first log line.
skew_of() { echo $(( $(date -d "$(head -1 "$1/zvspool.log" | cut -c1-19)" +%s) - $2 )); }
AH=$work/ahead BH=$work/behind
mkdir -p "$AH/ZV" "$BH/ZV"
for n in 1 2 3 4; do job "$AH/ZV/zv000$n.zv" AHEAD$n 2; job "$BH/ZV/zv000$n.zv" BEHIND$n 2; done
started=$(date +%s)
skewed "$AH" +1h; ahead=$!
skewed "$BH" -1h; behind=$!
jobs4="zv0001.zv zv0002.zv zv0003.zv zv0004.zv"
check "the spooler an hour ahead hands over four whole documents" wait_for 40 all_whole "$AH/state" $jobs4
check "the spooler an hour behind hands over four whole documents" wait_for 40 all_whole "$BH/state" $jobs4
skew=$(skew_of "$AH" "$started")
check "the first one's clock is an hour ahead ($skew s)" test $((skew - 3600)) -ge -60 -a $((skew - 3600)) -le 60
skew=$(skew_of "$BH" "$started")
check "the second one's clock is an hour behind ($skew s)" test $((skew + 3600)) -ge -60 -a $((skew + 3600)) -le 60
check "the server holds the eight jobs, pending" test "$(remote -W not-completed -o office | wc -l)" -eq 8
# The crash comes while the spoolers sit between polls, not in the middle of a hand-over.
sleep 2
kill -9 "$server_pid"; wait "$server_pid" 2>/dev/null
start_server || exit 1
# The queue is started again once both spoolers have seen what the server lost (they poll on).
lost_all() { (( $(grep -c "so it did not print; it is printed again" "$1/zvspool.log") >= 4 )); }
check "the spooler an hour ahead sees the four jobs lost" wait_for 60 lost_all "$AH"
check "the spooler an hour behind too" wait_for 60 lost_all "$BH" || grep "zv000" "$BH/zvspool.log"
on_server cupsenable office
# Left to finish while the local scheduler's faults are tried; their rows come at the end.

# --- The scheduler on this machine ---------------------------------------------------------------
# Backends of the test's own beside the real ones, in a copy of their folder: the machine's
# /usr stays as it is.
mkdir -p "$work/backend"
cp -a /usr/lib/cups/backend/. "$work/backend/"
# A device that cancels every job it is given, as a printer does that cannot print it. Run as
# root (mode 0700), it counts its tries where the test can read them.
cat > "$work/backend/zvcancel" <<BACKEND
#!/bin/sh
if [ \$# -eq 0 ]; then echo 'direct zvcancel "Unknown" "ZV cancelling device"'; exit 0; fi
echo try >> "$work/cancel-tries"
echo "ERROR: Printer cannot print with supplied options" >&2
exit 5
BACKEND
chmod 0700 "$work/backend/zvcancel"
touch "$work/cancel-tries"
mount --bind "$work/backend" /usr/lib/cups/backend || exit 1

config() { # config NAME DIRECTIVE...: a cupsd.conf of the machine's with the directives added
  { grep -v '^DirtyCleanInterval' /etc/cups/cupsd.conf; echo "$lazy"; printf '%s\n' "${@:2}"; } \
    > "$work/cupsd-$1.conf"
}
config history
config few-jobs "MaxJobs 3"
config no-history "PreserveJobHistory No"
start_local() { # start_local CONFIG
  cupsd -f -c "$work/cupsd-$1.conf" >> "$work/cupsd.log" 2>&1 &
  wait_for 20 scheduler_runs || { echo "cupsd did not start"; cat "$work/cupsd.log"; return 1; }
}
restart_local() { stop_scheduler && start_local "$1"; }
crash_local() { # crash_local CONFIG: the scheduler killed, then started again with CONFIG
  local pid
  pid=$(cat /run/cups/cupsd.pid) && kill -9 "$pid" && wait "$pid" 2>/dev/null
  wait_for 20 bash -c "! kill -0 $pid 2>/dev/null"
  rm -f /run/cups/cups.sock
  start_local "$1"
}
start_printer office iso_a4_210x297mm || exit 1
start_local history || exit 1
add_queue office "$printer_uri" && lpadmin -d office || exit 1
add_queue cancelling "$printer_uri" && lpadmin -p cancelling -v zvcancel:/ || exit 1
mkdir -p "$work/printer-cancelling"
printf 'HISTORY\r\n' | lp -d office > /dev/null || exit 1
check "the local scheduler prints a job and keeps it in its history" \
  wait_for 30 bash -c "lpstat -W completed -o office 2>/dev/null | grep -q office-"
restart_local history || exit 1
office=$work/printer-office
job_of() { # job_of FOLDER FILE: the CUPS job the file was last handed over as
  sed -n "s/.*handed $2 .*CUPS job \([0-9]*\) .*/\1/p" "$1/zvspool.log" | tail -1
}
queue_idle() { [[ -z "$(lpstat -W not-completed -o "$1" 2>/dev/null)" ]]; }

# A backend that cancels every try: printed again three times, then kept for a person, in the
# print system's words.
A=$work/cancels; mkdir -p "$A/ZV"
job "$A/ZV/zv0001.zv" DEVICECANCEL 2
for _ in $(seq 8); do
  grep -q "stays in ZV for a person" "$A/zvspool.log" 2>/dev/null && break
  once "$A" env PRINTER=cancelling
  wait_for 20 queue_idle cancelling
done
check "the device was given the job four times" test "$(wc -l < "$work/cancel-tries")" -eq 4
check "the log says it was printed 4 times without success" \
  grep -q "zv0001.zv: .*it was printed 4 times without success; it stays in ZV for a person" "$A/zvspool.log"
check "in the print system's words" grep -q "Printer cannot print with supplied options" "$A/zvspool.log"
for _ in 1 2; do once "$A" env PRINTER=cancelling; done
check "later polls leave it alone" test "$(wc -l < "$work/cancel-tries")" -eq 4
tally "a backend that cancels every try" DEVICECANCEL "$A" "$work/printer-cancelling"

# A person cancels one of two jobs waiting in a stopped queue: that one is dropped, never printed;
# the other is printed once.
P=$work/person; mkdir -p "$P/ZV"
cupsdisable office
job "$P/ZV/zv0001.zv" PERSONCANCEL 2
job "$P/ZV/zv0002.zv" PERSONKEEP 2
once "$P" env
cancelled=$(job_of "$P" zv0001.zv)
check "both jobs handed over to the stopped queue" test -n "$cancelled" -a -n "$(job_of "$P" zv0002.zv)"
cancel "$cancelled"
once "$P" env
check "the cancelled job is not printed again, the log says" \
  grep -q "zv0001.zv: CUPS job $cancelled cancelled by a person in the print queue; it is not printed again" "$P/zvspool.log"
check "and its file is gone" test ! -e "$P/ZV/zv0001.zv"
cupsenable office
drain "$P" 20
check "the job a person cancelled never reaches the printer" test "$(copies PERSONCANCEL "$office")" == "0 0"
# Its own line of the matrix: dropped is its right outcome, and any copy of it a wrong one.
read -r whole _ <<< "$(copies PERSONCANCEL "$office")"
kept=0; [[ -e "$P/ZV/zv0001.zv" ]] && kept=1
case $whole in
  0) how="dropped as asked" ;;
  1) how="printed once though cancelled" ;;
  *) how="printed $whole times though cancelled" ;;
esac
matrix+=("cancelled by a person in the queue (PERSONCANCEL, $how)|1|$((whole == 1))|$((whole > 1))|$kept|0")
tally "its neighbour in the stopped queue" PERSONKEEP "$P" "$office"

# Too many active jobs: the scheduler takes three; the other seven wait in ZV with one line in the
# log over many polls, not one per job or poll, and are printed once the queue moves.
restart_local few-jobs || exit 1
M=$work/many; mkdir -p "$M/ZV"
cupsdisable office
many=""
for n in $(seq 10); do job "$M/ZV/zv$(printf %04d "$n").zv" MANY$n 1; many+=" MANY$n"; done
# Every poll asks the scheduler to take the next job, and the access log has each refusal: the
# third one is well after the second poll has said all it had to say.
refusals() { grep -c "Create-Job client-error-not-possible" /var/log/cups/access_log; }
before=$(refusals)
(cd "$M" && exec "$zvspool" >> "$M/zvspool.log" 2>&1) &
spooler=$!
refused_thrice() { (( $(refusals) >= before + 3 )); }
check "the spooler tries three polls" wait_for 60 refused_thrice
kill -TERM $spooler; wait $spooler
check "the scheduler took three" test "$(grep -c "handed zv" "$M/zvspool.log")" -eq 3
refused=$(grep -c "warning: kept zv[0-9]*.zv and [0-9]* more jobs: " "$M/zvspool.log")
check "the other seven are kept with one line ($refused) over three polls" test "$refused" -ge 1 -a "$refused" -le 2
check "which gives the scheduler's reason" \
  grep -q "kept zv0004.zv and 6 more jobs: .*Too many active jobs" "$M/zvspool.log" \
  || grep "kept" "$M/zvspool.log"
cupsenable office
# Polled until every job is printed or left for a person.
settled() {
  local f
  for f in $(ls "$M/ZV"); do grep -q "$f: .*stays in ZV for a person" "$M/zvspool.log" || return 1; done
}
for _ in $(seq 30); do
  settled && break
  once "$M" env
  wait_for 30 queue_idle office
done
tally_many "too many active jobs" "$M" "$many" "$office"

# A job the device cancelled, pushed out of the scheduler's history by others' jobs before zvspool
# asked again: gone from a scheduler that keeps history, so whether it printed cannot be told.
X=$work/pushed; mkdir -p "$X/ZV"
cupsdisable cancelling
job "$X/ZV/zv0001.zv" PUSHEDOUT 1
tries=$(wc -l < "$work/cancel-tries")
once "$X" env PRINTER=cancelling
once "$X" env PRINTER=cancelling
pushed=$(job_of "$X" zv0001.zv)
cupsenable cancelling
wait_for 30 queue_idle cancelling
in_history() { lpstat -W completed -o cancelling | grep -q "^cancelling-$pushed "; }
cancelled_once() { in_history && (( $(wc -l < "$work/cancel-tries") == tries + 1 )); }
check "the device cancelled it" cancelled_once
for _ in 1 2 3; do printf 'ANOTHER USER\r\n' | lp -d office > /dev/null; done
wait_for 30 queue_idle office
pushed_out() { ! in_history; }
check "others' jobs pushed it out of the history" pushed_out
once "$X" env PRINTER=cancelling
tally "a job the device cancelled, pushed out of the history" PUSHEDOUT "$X" "$work/printer-cancelling"

# A scheduler that takes no request as long as the job's document: it answers so before the
# document goes, and the job it made for it is cancelled then, not left waiting in the queue for
# a document that never comes; once the scheduler takes it, the job prints once.
config small-requests "MaxRequestSize 4k"
restart_local small-requests || exit 1
L=$work/large; mkdir -p "$L/ZV"
job "$L/ZV/zv0001.zv" TOOLARGE 1
once "$L" env
check "a document the scheduler will not take is kept" test -e "$L/ZV/zv0001.zv"
check "the log gives the scheduler's answer" \
  grep -q "zv0001.zv: .*the printer did not take the document: Request Entity Too Large" "$L/zvspool.log" \
  || tail -5 "$L/zvspool.log"
check "and its job is not left in the queue" queue_idle office || lpstat -W not-completed -o office
restart_local history || exit 1
drain "$L" 10
tally "a document too large for the scheduler, taken after its restart" TOOLARGE "$L" "$office"

# A fresh print server (its history just cleaned: it has finished no job since) whose queue was
# stopped a while ago, killed 2 s after it took two jobs: it loses both, and as its stored state
# shows that the queue printed nothing since before they came, both are printed again, once.
cancel -a -x
cupsdisable office
restart_local history || exit 1
check "the fresh server lists no finished jobs" test -z "$(lpstat -W completed -o)"
N=$work/fresh; mkdir -p "$N/ZV"
job "$N/ZV/zv0001.zv" FRESH1 1
job "$N/ZV/zv0002.zv" FRESH2 1
once "$N" env
check "the fresh server took both jobs" test "$(grep -c "handed zv000" "$N/zvspool.log")" -eq 2
sleep 2
crash_local history || exit 1
once "$N" env
check "both are lost with it and printed again, the log says why" \
  test "$(grep -c "the print system restarted and lost it); its queue has been stopped since before it was made, so it did not print; it is printed again" "$N/zvspool.log")" -eq 2 \
  || cat "$N/zvspool.log"
cupsenable office
drain "$N" 20
check "and ZV is empty" test -z "$(ls "$N/ZV")"
tally "a fresh server killed 2 s after it took two jobs" FRESH1 "$N" "$office"
tally "a fresh server killed 2 s after it took two jobs" FRESH2 "$N" "$office"

# A scheduler that keeps no job history. A job it printed between two polls is gone from it at the
# next: zvspool's marker, still there, tells that the scheduler did not restart, so the job
# printed. After a graceful restart too (the scheduler keeps its subscriptions); after a crash the
# marker is gone with the job, and whether it printed cannot be told: kept, not printed twice.
# The jobs of the rows above go, history and all: a scheduler set up so from the start has none.
cancel -a -x
restart_local no-history || exit 1
check "the scheduler lists no finished jobs" test -z "$(lpstat -W completed -o)"
printed_since() { (( $(document_count office) > $1 )) && queue_idle office; }
printed_behind() { # printed_behind TAG COUNT: until the printer has a new document, the queue idle
  check "$1 printed before zvspool polls again" wait_for 30 printed_since "$2"
}
F=$work/between; mkdir -p "$F/ZV"
job "$F/ZV/zv0001.zv" BETWEENPOLLS 1
count=$(document_count office)
once "$F" env
printed_behind BETWEENPOLLS "$count"
once "$F" env
check "a job printed between two polls counts as printed" grep -q "printed zv0001.zv" "$F/zvspool.log"
check "and its file is gone" test ! -e "$F/ZV/zv0001.zv"
tally "no job history, printed between two polls" BETWEENPOLLS "$F" "$office"
# Handed over to the stopped queue and seen waiting there at the next poll (a job seen waiting has
# zvspool's marker beside it on the scheduler), then printed.
hand_over() { # hand_over FOLDER TAG
  mkdir -p "$1/ZV"
  cupsdisable office
  job "$1/ZV/zv0001.zv" "$2" 1
  once "$1" env
  once "$1" env
  check "$2 handed over whole and waiting" \
    bash -c "grep -q 'handed zv0001.zv .* pending' '$1/zvspool.log' && ! grep -q 'printed zv0001.zv' '$1/zvspool.log'"
  local count
  count=$(document_count office)
  cupsenable office
  printed_behind "$2" "$count"
}
G=$work/graceful
hand_over "$G" GRACEFUL
restart_local no-history || exit 1
once "$G" env
check "after a graceful restart it counts as printed" grep -q "printed zv0001.zv" "$G/zvspool.log"
check "and its file is gone" test ! -e "$G/ZV/zv0001.zv"
tally "no job history, scheduler restarted after it printed" GRACEFUL "$G" "$office"
K=$work/crashed
hand_over "$K" CRASHED
count=$(document_count office)
crash_local no-history || exit 1
for _ in 1 2; do once "$K" env; done
# Whether the crash took zvspool's watch with it depends on whether the scheduler had written the
# watch down: gone, whether the job printed cannot be told and it stays for a person; still there,
# the job counts as printed. Either way it is not printed again.
check "after a crash it stays for a person, the log saying why, or counts as printed" \
  grep -q "zv0001.zv: .*cannot be told.*; it stays in ZV for a person\|printed zv0001.zv" "$K/zvspool.log"
check "and it is not printed again" test "$(document_count office)" -eq "$count"
tally "no job history, scheduler killed after it printed" CRASHED "$K" "$office"

# --- Back to the remote server -------------------------------------------------------------------
gone() { [[ -z "$(ls "$1/ZV")" ]]; }
check "the spooler an hour ahead empties its folder" wait_for 60 gone "$AH"
check "the spooler an hour behind empties its folder" wait_for 60 gone "$BH"
kill -TERM "$ahead" "$behind"; wait "$ahead" "$behind"
check "the first one says the server lost all four" test "$(grep -c "so it did not print; it is printed again" "$AH/zvspool.log")" -eq 4
check "the second one too" test "$(grep -c "so it did not print; it is printed again" "$BH/zvspool.log")" -eq 4
tally_many "remote scheduler killed, zvspool's clock 1 h ahead" "$AH" "AHEAD1 AHEAD2 AHEAD3 AHEAD4" "$work/printer-remote"
tally_many "remote scheduler killed, zvspool's clock 1 h behind" "$BH" "BEHIND1 BEHIND2 BEHIND3 BEHIND4" "$work/printer-remote"

print_matrix
finish
