#!/usr/bin/env bash
# What zvspool keeps of its hand-overs, and who may spool a folder, against the real zvspool, a real
# scheduler and an IPP printer: the state disk full (under a running spooler, under --once runs,
# and while jobs wait in a stopped queue that a crashing scheduler then loses), the state folder
# read-only, the journal garbled, cut in half or emptied while jobs wait in a stopped queue, no
# HOME while another user has planted look-alike state in /tmp, state folders other users could
# change, and several spoolers on one folder: two users at once, one folder under two paths, one
# user after another, another user's hand-overs left behind, a spooler standing by for one killed
# or stopped mid-stream. For every job: printed exactly once (its first and last line in one
# document), or kept; never lost. The matrix of counts is printed at the end.
#   state_and_claims.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
source "$here/faults.sh"

start_system_bus || exit 1
start_printer office iso_a4_210x297mm || exit 1
start_scheduler || exit 1
add_queue office "$printer_uri" && lpadmin -d office || exit 1
# Other users' spoolers reach their folders through it.
chmod 755 "$work"
counter_proves_itself

# A scheduler that crashes numbers its next jobs on from what it had stored: with one job printed
# and the scheduler restarted, it has a stored history, as a machine's scheduler has.
W=$work/history; mkdir -p "$W/ZV"
job "$W/ZV/zv0001.zv" HISTORY
drain "$W" 20
check "a first job went through the scheduler" test "$(document_count office)" -eq 1
stop_scheduler && start_scheduler || exit 1

# The line zvspool says, once, when it cannot keep its journal.
refusing="no job is printed until it can be, so none is printed twice"
# Each case with a home (for ~/PDF) and a state folder of its own; $work has no spaces.
pdf_env() { echo "PRINTER=PDF HOME=$1/home XDG_STATE_HOME=$1/state"; }
left() { ls "$1/ZV" | wc -l; }
pdfs() { ls "$1"/*.pdf 2>/dev/null | wc -l; }
said() { grep -c -- "$2" "$1" 2>/dev/null; } # said FILE TEXT: on how many lines
# Fills a small file system to the last block; true once nothing is left.
fill() { dd if=/dev/zero of="$1/fill" bs=4k 2>/dev/null; [[ "$(df --output=avail "$1" | tail -1)" -eq 0 ]]; }
# Whether a process has ended (gone, or a zombie its parent has not waited for yet).
ended() { [[ ! -e /proc/$1 || "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" == Z ]]; }
running() { ! ended "$1"; }
either_ended() { ended "$1" || ended "$2"; }
# The journal of FOLDER's jobs in STATE_HOME: named by the id the folder's claim file carries.
journal_file() { echo "$2/zvspool/$(sed -n 's/^zvspool folder //p' "$1/zvspool.lock").journal"; }
queued() { lpstat -W not-completed -o office 2>/dev/null | wc -l; }
queue_empty() { [[ $(queued) -eq 0 ]]; }
in_queue() { lpstat -W not-completed -o office 2>/dev/null | grep -q "^$1 "; }
# Whether FOLDER/ZV is empty; whether LOG says TEXT on at least N lines.
emptied() { [[ $(left "$1") -eq 0 ]]; }
says() { [[ $(said "$1" "$2") -ge $3 ]]; } # says LOG TEXT N
# --once in each folder, all at the same time.
once_each() { local f pids=(); for f in "$@"; do once "$f" & pids+=($!); done; wait "${pids[@]}"; }
# A check that shows what FILE said went wrong when it fails.
check_or_show() { # check_or_show NAME FILE COMMAND...
  local before=$failed
  check "$1" "${@:3}"
  ((failed == before)) || grep -e warning -e error -e "written again" "$2" | tail -6
}
seconds_of() { date -d "$(grep -m1 -- "$2" "$1" | cut -c1-19)" +%s; } # seconds_of LOG TEXT: its first line's time

# Each user with a home, a state folder and a runtime folder of their own.
for u in root daemon; do
  mkdir -p "$work/users/$u/home" "$work/users/$u/state" "$work/users/$u/run"
  chmod 700 "$work/users/$u/run"
  chown -R "$u" "$work/users/$u"
done
# The command that runs a program as USER, in USER's own environment.
as_user() { # as_user USER [VAR=VALUE...]
  local u=$1; shift
  echo setpriv --reuid="$u" --regid="$(id -g "$u")" --clear-groups env HOME="$work/users/$u/home" \
    XDG_STATE_HOME="$work/users/$u/state" XDG_RUNTIME_DIR="$work/users/$u/run" "$@"
}
# A folder that two users' spoolers and producers share through a group.
shared_folder() { mkdir -p "$1/ZV" && chgrp daemon "$1" "$1/ZV" && chmod 2775 "$1" "$1/ZV"; }

# --- The state disk full under a running spooler ------------------------------------------------
# The spooler polls every 10 seconds, so this runs in the background; what it sees goes into
# $P/seen.*, checked at the end. First the disk is full before the journal could be written at
# all; then, freed and filled again, the journal has a page of its own and takes entries until
# that page is used up.
P=$work/fulldaemon; mkdir -p "$P/ZV" "$P/home"
mkdir -p "$P/state" && mount -t tmpfs -o size=64k,mode=0700 tmpfs "$P/state"
full_state_daemon() {
  local spooler n
  fill "$P/state" || echo "the disk was not full" >> "$P/seen.setup"
  job "$P/ZV/zv0001.zv" DISKFULL1
  job "$P/ZV/zv0002.zv" DISKFULL2
  (cd "$P" && exec env $(pdf_env "$P") "$zvspool" >> "$P/zvspool.log" 2>&1) &
  spooler=$!
  wait_for 30 grep -qs "$refusing" "$P/zvspool.log"
  # Past the next poll, which must not say it again; the log's times show it was passed.
  sleep 14
  echo "$(pdfs "$P/home/PDF") $(left "$P")" > "$P/seen.full"
  rm "$P/state/fill"
  wait_for 30 emptied "$P"
  pdfs "$P/home/PDF" > "$P/seen.freed"
  fill "$P/state" || echo "the disk was not full again" >> "$P/seen.setup"
  for n in $(seq 3 14); do job "$P/ZV/zv$(printf %04d "$n").zv" DISKFULL$n; done
  wait_for 40 says "$P/zvspool.log" "$refusing" 2
  sleep 14
  echo "$(pdfs "$P/home/PDF") $(left "$P")" > "$P/seen.full2"
  rm "$P/state/fill"
  wait_for 30 emptied "$P"
  kill -TERM $spooler
  wait $spooler
  echo $? > "$P/seen.exit"
}
full_state_daemon &
full_state=$!

# --- A spooler standing by for one killed, then for one stopped, mid-stream ---------------------
# In the background too; the first spooler is stopped while it holds a job open (SIGSTOP makes
# sure of it), with jobs after that one still waiting.
S=$work/standby; mkdir -p "$S/ZV" "$S/home" "$S/state"
# The job file between zvFIRST and zvLAST that PID holds open, if any.
holding() { # holding PID FIRST LAST
  local n f
  for n in $(seq "$2" "$3"); do
    f=$S/ZV/zv$(printf %04d "$n").zv
    has_open "$1" "$f" && { echo "${f##*/}"; return 0; }
  done
  return 1
}
# Stops PID while it prints one of those jobs, and says which.
stop_in_print() { # stop_in_print PID FIRST LAST
  local name
  for _ in $(seq 10); do
    wait_for 30 holding "$@" > /dev/null || return 1
    kill -STOP "$1"
    name=$(holding "$@") && { echo "$name"; return 0; }
    kill -CONT "$1"
  done
  return 1
}
standby_chain() {
  local first second third n
  for n in 1 6; do job "$S/ZV/zv000$n.zv" STANDBY$n; done
  for n in 2 3 4 5; do job "$S/ZV/zv000$n.zv" STANDBY$n 800; done
  (cd "$S" && exec env $(pdf_env "$S") "$zvspool" >> "$S/first.log" 2>&1) &
  first=$!
  echo $first > "$S/seen.first"
  wait_for 10 grep -qs "started in" "$S/first.log"
  (cd "$S" && exec env $(pdf_env "$S") "$zvspool" --standby >> "$S/second.log" 2>&1) &
  second=$!
  stop_in_print $first 2 5 > "$S/seen.caught1"
  ls "$S/ZV" > "$S/seen.left1"
  kill -KILL $first
  wait $first 2>/dev/null
  wait_for 30 grep -q "zvspool takes over" "$S/second.log"
  wait_for 30 emptied "$S"
  (cd "$S" && exec env $(pdf_env "$S") "$zvspool" --standby >> "$S/third.log" 2>&1) &
  third=$!
  echo $second > "$S/seen.second"
  wait_for 10 grep -qs "this one stands by" "$S/third.log"
  for n in 7 12; do job "$S/ZV/zv$(printf %04d $n).zv" STANDBY$n; done
  for n in 8 9 10 11; do job "$S/ZV/zv$(printf %04d $n).zv" STANDBY$n 800; done
  stop_in_print $second 8 11 > "$S/seen.caught2"
  ls "$S/ZV" > "$S/seen.left2"
  kill -TERM $second
  kill -CONT $second
  wait $second
  echo $? > "$S/seen.exit2"
  wait_for 30 grep -q "zvspool takes over" "$S/third.log"
  wait_for 30 emptied "$S"
  kill -TERM $third
  wait $third
}
standby_chain &
standby=$!

# --- Two users start on one folder at once; one folder under two paths --------------------------
# Both pairs start now and are looked at further down, once their first poll is long past.
T=$work/shared; shared_folder "$T"
for n in $(seq 20); do job "$T/ZV/zv$(printf %04d "$n").zv" SHARED$n; done
(cd "$T" && exec $(as_user root PRINTER=PDF) "$zvspool" >> "$T/root.log" 2>&1) &
shared_root=$!
(cd "$T" && exec $(as_user daemon PRINTER=PDF) "$zvspool" >> "$T/daemon.log" 2>&1) &
shared_daemon=$!

B=$work/aliased; mkdir -p "$B/ZV" "$B/home" "$B/state" "$work/alias"
mount --bind "$B" "$work/alias"
for n in $(seq 10); do job "$B/ZV/zv$(printf %04d "$n").zv" ALIAS$n; done
(cd "$B" && exec env $(pdf_env "$B") "$zvspool" >> "$B/path.log" 2>&1) &
by_path=$!
(cd "$work/alias" && exec env $(pdf_env "$B") "$zvspool" >> "$B/alias.log" 2>&1) &
by_alias=$!

# --- A state folder other users could change -----------------------------------------------------
# Owned by another user, writable by others, or below a folder writable by others: refused, by
# --once and by the spooler alike. A folder writable by all with the sticky bit (as /tmp) is not.
for case in owner others above sticky; do
  R=$work/state-$case; mkdir -p "$R/ZV" "$R/home" "$R/state/zvspool"
  job "$R/ZV/zv0001.zv" STATE${case^^}
  case $case in
    owner) chown nobody "$R/state/zvspool"; chmod 700 "$R/state/zvspool" ;;
    others) chmod 777 "$R/state/zvspool" ;;
    above) chmod 777 "$R/state" ;;
    sticky) chmod 1777 "$R/state" ;;
  esac
  once "$R" env $(pdf_env "$R"); status=$?
  if [[ $case == sticky ]]; then
    check "a state folder below a sticky folder writable by all is used" test "$status:$(left "$R")" == "0:0"
  else
    check "a state folder refused ($case): --once exits 1" test $status -eq 1
    (cd "$R" && exec timeout 10 env $(pdf_env "$R") "$zvspool" >> "$R/zvspool.log" 2>&1); status=$?
    check "and the spooler exits 1 at once ($case)" test $status -eq 1
    check "both saying why ($case)" test "$(said "$R/zvspool.log" "error: zvspool's state folder is refused: .*; zvspool ends")" -eq 2
    check "nothing printed, no journal written ($case)" \
      test "$(left "$R"):$(pdfs "$R/home/PDF"):$(ls "$R"/state/zvspool/*.journal 2>/dev/null | wc -l)" == "1:0:0"
  fi
  tally "state folder: $case" STATE${case^^} "$R" "$R/home/PDF"
done

# --- The state disk full under --once runs --------------------------------------------------------
O=$work/fullonce; mkdir -p "$O/ZV" "$O/home"
mkdir -p "$O/state" && mount -t tmpfs -o size=64k,mode=0700 tmpfs "$O/state"
check "a full state disk for --once runs" fill "$O/state"
job "$O/ZV/zv0001.zv" FULLONCE
codes=""
for _ in 1 2 3; do once "$O" env $(pdf_env "$O"); codes+=$?; done
check "while it is full, every run exits 1 ($codes)" test "$codes" == 111
check "the job stays, nothing printed" test "$(left "$O"):$(pdfs "$O/home/PDF")" == "1:0"
check "each run says why, once, naming the journal" \
  test "$(said "$O/zvspool.log" "journal: .*$O/state/zvspool/.*$refusing")" -eq 3
rm "$O/state/fill"
once "$O" env $(pdf_env "$O"); status=$?
check "space freed, the next run prints it and exits 0" test "$status:$(left "$O")" == "0:0"
tally "state disk full, --once" FULLONCE "$O" "$O/home/PDF"

# --- The state folder read-only ---------------------------------------------------------------------
# Root may write anywhere, but not on a read-only mount.
R=$work/readonly; mkdir -p "$R/ZV" "$R/home" "$R/state"
job "$R/ZV/zv0001.zv" BEFOREREADONLY
once "$R" env $(pdf_env "$R")
check "a journal was kept while the state folder could be written" \
  test -s "$(journal_file "$R" "$R/state")" -a "$(left "$R")" -eq 0
mount --bind "$R/state/zvspool" "$R/state/zvspool" && mount -o remount,bind,ro "$R/state/zvspool"
job "$R/ZV/zv0002.zv" READONLY
codes=""
for _ in $(seq 8); do once "$R" env $(pdf_env "$R"); codes+=$?; done
check "eight runs on a read-only state folder, each exits 1 ($codes)" test "$codes" == 11111111
check "the job stays, nothing more printed" test "$(left "$R"):$(pdfs "$R/home/PDF")" == "1:1"
check "each run says why, once" test "$(said "$R/zvspool.log" "$refusing")" -eq 8
umount "$R/state/zvspool"
once "$R" env $(pdf_env "$R"); status=$?
check "writable again, the next run prints it and exits 0" test "$status:$(left "$R")" == "0:0"
tally "state folder read-only, 8 runs" READONLY "$R" "$R/home/PDF"

# --- A folder two users share, one after the other -------------------------------------------------
# The claim file made by the first must let the second claim the folder when the first is gone.
U=$work/turns; shared_folder "$U"
job "$U/ZV/zv0001.zv" TURNROOT
once "$U" $(as_user root PRINTER=PDF); status=$?
check "root's spooler prints in a folder shared with daemon" test "$status:$(left "$U")" == "0:0"
check "its claim file may be written by the group the folder is shared with" \
  test -n "$(find "$U/zvspool.lock" -perm -g+w)"
job "$U/ZV/zv0002.zv" TURNDAEMON
once "$U" $(as_user daemon PRINTER=PDF); status=$?
check_or_show "then daemon's spooler takes the folder and prints" "$U/zvspool.log" test "$status:$(left "$U")" == "0:0"
tally "shared folder, one user after the other" TURNROOT "$U" "$work/users/root/home/PDF" "$work/users/daemon/home/PDF"
tally "shared folder, one user after the other" TURNDAEMON "$U" "$work/users/root/home/PDF" "$work/users/daemon/home/PDF"

# --- One sudo zvspool in a user's own folder -------------------------------------------------------
# Run once as root in daemon's folder, it says it runs as root, and what it made there is
# daemon's: daemon's own spooler takes the folder after it.
O=$work/own; mkdir -p "$O/ZV"; chown -R daemon: "$O"; chmod 755 "$O" "$O/ZV"
job "$O/ZV/zv0001.zv" SUDO
once "$O" $(as_user root PRINTER=PDF); status=$?
check "root's spooler prints in daemon's folder" test "$status:$(left "$O")" == "0:0"
check "and says it runs as root" grep -q "warning: zvspool runs as root" "$O/zvspool.log"
check "its claim file is the folder owner's" test "$(stat -c %U "$O/zvspool.lock")" == daemon
job "$O/ZV/zv0002.zv" OWNER
once "$O" $(as_user daemon PRINTER=PDF); status=$?
check_or_show "then daemon's own spooler prints there" "$O/zvspool.log" test "$status:$(left "$O")" == "0:0"
# A claim file daemon may not write (left by an older zvspool run as root): named, with who held
# it last and what to do; the job waits.
chown root: "$O/zvspool.lock"; chmod 644 "$O/zvspool.lock"
job "$O/ZV/zv0003.zv" LOCKED
once "$O" $(as_user daemon PRINTER=PDF); status=$?
check "a claim file it may not write stops the start (exit 1)" test "$status:$(left "$O")" == "1:1"
check "naming who held it last, and how to remove it" \
  grep -q "cannot open zvspool.lock: .*; it was made by another user (last held by daemon on .*), and this one may not write it: its owner, or an administrator, removes it (it is made anew), e.g. sudo rm \"$O/zvspool.lock\"" "$O/zvspool.log"
rm "$O/zvspool.lock"
once "$O" $(as_user daemon PRINTER=PDF); status=$?
check "removed, the next start prints the job" test "$status:$(left "$O")" == "0:0"
tally "a sudo zvspool in a user's folder" SUDO "$O" "$work/users/root/home/PDF" "$work/users/daemon/home/PDF"
tally "a sudo zvspool in a user's folder" OWNER "$O" "$work/users/root/home/PDF" "$work/users/daemon/home/PDF"
tally "a sudo zvspool in a user's folder" LOCKED "$O" "$work/users/root/home/PDF" "$work/users/daemon/home/PDF"

# --- No HOME, and another user's look-alike state in /tmp ------------------------------------------
# Root's own home, private, as the passwd entry names it; nobody has a job held in the queue and,
# in /tmp, a state folder of the shape zvspool's (a journal that names the very folder and that
# job, and a list of CUPS jobs to cancel) and a runtime folder named for uid 0.
echo "a letter of nobody's, held" > "$work/letter.txt"
held=$(runuser -u nobody -- lp -d office -H hold -t "nobody's letter" "$work/letter.txt" | sed -n 's/^request id is \(office-[0-9]*\).*/\1/p')
check "nobody has a job held in the queue ($held)" in_queue "$held"
N=/root/kartoteka
# Made before root's home is covered: the tools may live there.
with_sum() { python3 -c 'import sys, zlib; t = sys.argv[1]; print("%s *%08x" % (t, zlib.crc32(t.encode())))' "$1"; }
{ with_sum "zvspool-journal 1 0123456789abcdef $N"
  with_sum "r 1 1 2 zv0001.zv 0 0 0 0 0 0 0 0 0 office ${held#office-} cups%20/run/cups/cups.sock%20631%20ipp://localhost/printers/office%20${held#office-}%20urn:uuid:3d1f0b8e-0000-4000-8000-000000000001%20$(date +%s)%200%200 1 0 0 0 $(date +%s) 0 %"
} > "$work/bait.journal"
printf '%s\n' "${held#office-}" "$held" "ipp://localhost/jobs/${held#office-}" > "$work/bait.cups-jobs"
mount -t tmpfs -o mode=0700 tmpfs /root
mkdir -p "$N/ZV"
job "$N/ZV/zv0001.zv" NOHOME
planted=/tmp/.local/state/zvspool
runuser -u nobody -- mkdir -p -m 700 /tmp/.local /tmp/.local/state "$planted" /tmp/zvspool-0
install -o nobody -m 600 "$work/bait.journal" "$planted/0123456789abcdef.journal"
install -o nobody -m 600 "$work/bait.cups-jobs" "$planted/cups-jobs"
# /tmp as it is now, without what the test itself changes there ($work, and a checkout kept in it).
tmp_changes() {
  local prune=(-path "$work") kept
  while IFS= read -r kept; do [[ $kept == /tmp/?* ]] && prune+=(-o -path "$kept"); done <<< "${ZV_KEEP_PATHS:-}"
  find /tmp \( "${prune[@]}" \) -prune -o \( -newer /run/zv-mark -o -cnewer /run/zv-mark \) -print
}
touch /run/zv-mark
drain "$N" 20 -u HOME -u XDG_STATE_HOME -u XDG_RUNTIME_DIR
check "without HOME the job is printed" test "$(left "$N")" -eq 0
check "with its journal in the passwd entry's home" test -n "$(ls /root/.local/state/zvspool/*.journal 2>/dev/null)"
changed=$(tmp_changes | tr '\n' ' ')
check "nothing was made or changed under /tmp${changed:+: $changed}" test -z "$changed"
check "the planted state is as it was" \
  bash -c "cmp -s '$work/bait.journal' '$planted/0123456789abcdef.journal' && cmp -s '$work/bait.cups-jobs' '$planted/cups-jobs' && [[ -z \"\$(ls -A /tmp/zvspool-0)\" ]]"
check "and nobody's held job is still held" in_queue "$held"
tally "no HOME, look-alike state in /tmp" NOHOME "$N" "$work/printer-office"
cancel "$held"

# --- The journal damaged while jobs wait in a stopped queue ----------------------------------------
# Garbage over its entries, cut short inside its third job, emptied: the jobs it told of are handed
# to CUPS and not yet printed. Started again, zvspool cannot tell them from new jobs, so it holds
# them for a person and hands nothing again. Beside them, another user's spooler hands jobs
# over and goes; root's, coming after it, cannot know those hand-overs (its journal is another).
cupsdisable office
# The CUPS jobs a log says were handed over: a job handed again is a new one.
cups_jobs_handed() { grep -o 'handed zv[0-9]*.zv (.*CUPS job [0-9]*' "$1" | sed 's/.*CUPS job //' | sort -u | wc -l; }
G=$work/garbled; C=$work/halved; E=$work/emptied; I=$work/inherited
for X in "$G" "$C" "$E"; do mkdir -p "$X/ZV"; done
shared_folder "$I"
for n in 1 2 3; do
  job "$G/ZV/zv000$n.zv" GARBLED$n
  job "$C/ZV/zv000$n.zv" HALVED$n
  job "$E/ZV/zv000$n.zv" EMPTIED$n
done
for n in 1 2; do job "$I/ZV/zv000$n.zv" INHERITED$n; done
once "$I" $(as_user daemon) &
by_daemon=$!
once_each "$G" "$C" "$E"
wait $by_daemon
for X in "$G" "$C" "$E"; do
  check "three jobs handed to the stopped queue (${X##*/})" test "$(said "$X/zvspool.log" "handed zv")" -eq 3
done
check "two jobs handed over by daemon's spooler" test "$(said "$I/zvspool.log" "handed zv")" -eq 2
check "which says so in the claim file" grep -qz "holder daemon .*handed yes" "$I/zvspool.lock"
waiting=$(queued)
gj=$(journal_file "$G" "$XDG_STATE_HOME")
hj=$(journal_file "$C" "$XDG_STATE_HOME")
ej=$(journal_file "$E" "$XDG_STATE_HOME")
header=$(head -1 "$gj" | wc -c)
{ head -1 "$gj"; head -c $(($(stat -c %s "$gj") - header)) /dev/urandom; } > "$work/garbled.journal"
cat "$work/garbled.journal" > "$gj"
# Cut short inside the first entry of the third job: what came after it is gone.
truncate -s $(($(grep -b -m1 " zv0003.zv " "$hj" | cut -d: -f1) + 10)) "$hj"
: > "$ej"
once_each "$G" "$C" "$E" "$I"
for X in "$G:$gj" "$C:$hj" "$E:$ej"; do
  folder=${X%%:*} journal=${X#*:}
  check_or_show "the journal ${folder##*/} is said to be damaged and moved aside" "$folder/zvspool.log" \
    bash -c "grep -q 'the journal $journal is damaged; it is moved aside to $journal.damaged-' '$folder/zvspool.log' && ls '$journal'.damaged-* > /dev/null"
  check_or_show "its jobs are held for a person (${folder##*/})" "$folder/zvspool.log" \
    grep -q "held for a person: the journal was damaged" "$folder/zvspool.log"
  check "and none is handed again (${folder##*/})" test "$(cups_jobs_handed "$folder/zvspool.log")" -eq 3
done
check "the jobs daemon's spooler left are held for a person" \
  grep -q "2 jobs waiting in ZV are held for a person: the spooler before this one left jobs handed over" "$I/zvspool.log"
check "and not handed again" test "$(said "$I/zvspool.log" "handed zv")" -eq 2
check "no new job in the queue" test "$(queued)" -eq "$waiting"
# A person finds GARBLED1 still waiting in the queue, cancels it there and touches its file: it
# is printed as a new job.
first_job=$(sed -n 's/.*handed zv0001.zv .*CUPS job \([0-9]*\).*/\1/p' "$G/zvspool.log" | head -1)
cancel "office-$first_job"
touch "$G/ZV/zv0001.zv"
once "$G"
check "the touched job is handed over anew" test "$(said "$G/zvspool.log" "handed zv0001.zv")" -eq 2
cupsenable office
for _ in 1 2 3; do
  wait_for 60 queue_empty
  once_each "$G" "$C" "$E" "$I"
done
check "the touched job is printed and its file deleted" test ! -e "$G/ZV/zv0001.zv"
check "the held jobs not touched stay for the person" test "$(left "$G")" -eq 2
tally_many "journal garbled, jobs in a stopped queue" "$G" "GARBLED1 GARBLED2 GARBLED3" "$work/printer-office"
tally_many "journal cut short, jobs in a stopped queue" "$C" "HALVED1 HALVED2 HALVED3" "$work/printer-office"
tally_many "journal emptied, jobs in a stopped queue" "$E" "EMPTIED1 EMPTIED2 EMPTIED3" "$work/printer-office"
tally_many "another user's spooler left jobs handed over" "$I" "INHERITED1 INHERITED2" "$work/printer-office"

# --- The state disk full while jobs wait in a stopped queue, and the scheduler loses them ----------
# Restarted first, the scheduler has stored everything so far, and stores the jobs below lazily,
# well after it is killed: it loses them all.
# Its queue was stopped before, and the stop is stored too: what it loses cannot have printed.
cupsdisable office
stop_scheduler && start_scheduler || exit 1
K=$work/cupsfull; mkdir -p "$K/ZV"
# Every job goes to the stopped queue at once, to fill the journal.
echo "in-flight = 100" > "$K/zvspool.conf"
mkdir -p "$K/state" && mount -t tmpfs -o size=64k,mode=0700 tmpfs "$K/state"
for n in $(seq 6); do job "$K/ZV/zv$(printf %04d "$n").zv" CUPSFULL$n; done
once "$K" env XDG_STATE_HOME="$K/state"
check "six jobs handed to the stopped queue" test "$(said "$K/zvspool.log" "handed zv")" -eq 6
check "then the state disk is full" fill "$K/state"
# New jobs take what is left of the journal's last page; then it cannot grow.
for n in $(seq 7 14); do job "$K/ZV/zv$(printf %04d "$n").zv" CUPSFULL$n; done
once "$K" env XDG_STATE_HOME="$K/state"
handed=$(said "$K/zvspool.log" "handed zv")
check "of eight new jobs, those the journal has no room for are kept ($((handed - 6)) handed)" test "$handed" -lt 14
check "saying why, once" test "$(said "$K/zvspool.log" "$refusing")" -eq 1
cupsd_pid=$(cat /run/cups/cupsd.pid)
kill -9 "$cupsd_pid"; wait "$cupsd_pid" 2>/dev/null
start_scheduler || exit 1
delivered=$(document_count office)
codes=""
for _ in 1 2; do once "$K" env XDG_STATE_HOME="$K/state"; codes+=$?; done
check "with the jobs lost and the disk full, runs exit 1 ($codes)" test "$codes" == 11
check "every job stays, none is handed again" test "$(left "$K"):$(said "$K/zvspool.log" "handed zv")" == "14:$handed"
check "each run says why, once" test "$(said "$K/zvspool.log" "$refusing")" -eq 3
check "no document reached the printer" test "$(document_count office)" -eq "$delivered"
rm "$K/state/fill"
# Seen lost while the queue is still stopped, then the queue started.
once "$K" env XDG_STATE_HOME="$K/state"
cupsenable office
drain "$K" 40 XDG_STATE_HOME="$K/state"
check "space freed, every job is printed" test "$(left "$K")" -eq 0
tally_many "state disk full, scheduler lost the jobs" "$K" "$(seq -f CUPSFULL%g 14)" "$work/printer-office"

# --- Two users at once, one folder under two paths: the outcome ------------------------------------
# settle_pair NAME FOLDER PID_A LOG_A COMMAND_A PID_B LOG_B COMMAND_B WHERE_A WHERE_B: exactly one
# of two spoolers started together runs, the other ends saying that one watches the folder (it
# may not have said who it is yet, so close together); started again, it is told who. Sets `ran`.
settle_pair() {
  local name=$1 folder=$2 status refused log where command holder
  check "$name: one of the two ends at its start" wait_for 10 either_ended "$3" "$6"
  if ended "$3"; then
    ran=$6 refused=$3 log=$4 command=$5 where=$9
  else
    ran=$3 refused=$6 log=$7 command=$8 where=${10}
  fi
  check "$name: the other runs" running "$ran"
  wait "$refused"; status=$?
  check "$name: the one that ended exits 1" test $status -eq 1
  check_or_show "$name: saying another zvspool already watches $where/ZV" "$log" \
    grep -qE "error: another zvspool(: [a-z]+ on $(hostname -s), pid $ran, since [-0-9: ]+| \(it has not said who it is yet\)) already watches $where/ZV; this one ends" "$log"
  holder=$(sed -n 's/^holder \([a-z]*\) on .*, pid \([0-9]*\), .*/\1 \2/p' "$folder/zvspool.lock")
  check "$name: the claim file names the one that runs" test "${holder#* }" == "$ran"
  (cd "$where" && exec timeout 10 $command "$zvspool" >> "$folder/again.log" 2>&1); status=$?
  check_or_show "$name: started again, the other exits 1 naming the holder" "$folder/again.log" \
    bash -c "[[ $status -eq 1 ]] && grep -q 'error: another zvspool: ${holder% *} on $(hostname -s), pid $ran, since .* already watches $where/ZV; this one ends' '$folder/again.log'"
}
settle_pair "two users on one folder" "$T" $shared_root "$T/root.log" "$(as_user root PRINTER=PDF)" \
  $shared_daemon "$T/daemon.log" "$(as_user daemon PRINTER=PDF)" "$T" "$T"
check "two users on one folder: the one that runs prints all 20" wait_for 30 emptied "$T"
kill -TERM $ran; wait $ran
tally_many "two users start on one folder at once" "$T" "$(seq -f SHARED%g 20)" \
  "$work/users/root/home/PDF" "$work/users/daemon/home/PDF"

settle_pair "one folder, two paths" "$B" $by_path "$B/path.log" "env $(pdf_env "$B")" \
  $by_alias "$B/alias.log" "env $(pdf_env "$B")" "$B" "$work/alias"
check "one folder, two paths: the one that runs prints all 10" wait_for 30 emptied "$B"
kill -TERM $ran; wait $ran
tally_many "one folder started on by two paths" "$B" "$(seq -f ALIAS%g 10)" "$B/home/PDF"

# --- Standing by: the outcome ----------------------------------------------------------------------
wait $standby
first=$(cat "$S/seen.first") second=$(cat "$S/seen.second")
check "the second spooler stands by, naming the first" \
  grep -q "another zvspool: root on $(hostname -s), pid $first, since .* watches $S/ZV; this one stands by, and takes over when it ends" "$S/second.log"
caught=$(cat "$S/seen.caught1")
check "the first is killed while it prints $caught, with jobs after it waiting ($(tr '\n' ' ' < "$S/seen.left1"))" \
  bash -c "[[ -n '$caught' ]] && grep -qvx -e '$caught' -e zv0001.zv '$S/seen.left1'"
check "the second takes over" grep -q "zvspool takes over $S/ZV" "$S/second.log"
caught=$(cat "$S/seen.caught2")
check "the second is ended (SIGTERM) while it prints $caught, with jobs after it waiting" \
  bash -c "[[ -n '$caught' ]] && grep -qvx -e '$caught' -e zv0007.zv '$S/seen.left2'"
check "it exits 0" test "$(cat "$S/seen.exit2")" -eq 0
check "and a third, standing by, takes over" grep -q "zvspool takes over $S/ZV" "$S/third.log"
check "every job is printed" test "$(left "$S")" -eq 0
tally_many "standby takes over from a spooler killed, then ended, mid-stream" "$S" "$(seq -f STANDBY%g 12)" "$S/home/PDF"

# --- The state disk full under a running spooler: the outcome --------------------------------------
wait $full_state
check "the state disk was full each time" test ! -e "$P/seen.setup"
check "full from the start: nothing printed, both jobs stay" test "$(cat "$P/seen.full")" == "0 2"
warned=$(seconds_of "$P/zvspool.log" "$refusing")
back=$(seconds_of "$P/zvspool.log" "the journal can be written again")
check "it said why once, and nothing more over the next poll ($((back - warned)) s to the poll that could write)" \
  test $((back - warned)) -ge 13
check "space freed, both printed" test "$(cat "$P/seen.freed")" -eq 2
read -r _ stayed < "$P/seen.full2"
check "full again mid-stream: jobs are kept ($stayed of 12)" test "$stayed" -ge 1
check_or_show "each time said once, and said when it was over" "$P/zvspool.log" \
  test "$(said "$P/zvspool.log" "$refusing"):$(said "$P/zvspool.log" "the journal can be written again")" == "2:2"
check "the journal was never found damaged or cut short" \
  test "$(said "$P/zvspool.log" "damaged\|cut short")" -eq 0
check "the spooler ends with 0" test "$(cat "$P/seen.exit")" -eq 0
check "every job is printed" test "$(left "$P")" -eq 0
tally_many "state disk full under a running spooler" "$P" "$(seq -f DISKFULL%g 14)" "$P/home/PDF"

print_matrix
finish
