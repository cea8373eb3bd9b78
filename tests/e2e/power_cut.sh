#!/usr/bin/env bash
# Power cuts. Each machine's disk is a lossyfs mount, which keeps after a cut only what POSIX
# promises (a file's data once it is fsynced, a name once its folder is); a cut kills every
# process of the machine at once (they live in a PID namespace of their own) and mounts the disk
# again as the cut left it. On it: the folder with ZV and zvspool.conf (the archive on), the
# user's home and state, and a careful producer that writes each job under another name, flushes
# it, renames it into ZV and flushes ZV, and only then writes its tag into a ledger on the test's
# own disk. Every job in the ledger must come out on paper exactly once, whole, or stay in ZV for
# a person with the log saying why; nothing twice, nothing lost, no part of a job on paper.
#
# Cuts at random instants, in parallel machines: printing to CUPS (a scheduler outside the
# machine) and on the built-in PDF printer (its PDFs, the paper, on the machine's disk), as a
# daemon and as --once runs, one disk of each kind in the mode that keeps or drops each pending
# change at random and tears appends. Cuts at chosen steps: a first run, right after each step of
# a hand-over is flushed, after a job file's deletion, inside the journal's compaction, after a
# PDF and an archive copy are put in place. A scheduler of the machine's own, its spool on the
# same disk, dying in the same cuts. And the same chosen cut with fsync made a no-op (eatmydata),
# which must show a job printed twice: the test sees what it is there to see.
#   power_cut.sh ZVSPOOL LOSSYFS [KEEP]   (KEEP: a folder the machines' logs are copied to)
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
lossyfs=$(realpath "$2")
keep=${3:+$(realpath "$3")}
source "$here/faults.sh"
producer=$here/producer.py
[[ -c /dev/fuse ]] || { echo "skipped: no /dev/fuse"; exit 77; }
command -v eatmydata > /dev/null || { echo "missing eatmydata (scripts/install-deps.sh test)"; exit 1; }
seed=${ZV_CUT_SEED:-$((($(date +%s) % 30000) + 1))}
echo "random seed $seed (ZV_CUT_SEED=$seed repeats the instants)"
RANDOM=$seed

start_office || exit 1
counter_proves_itself

# --- A machine ---------------------------------------------------------------------------------
# machine_disk NAME [MODE]: mounts the machine's disk at $work/NAME/disk (MODE drop or random).
machine_disk() {
  local m=$work/$1
  mkdir -p "$m/disk"
  "$lossyfs" -o "mode=${2:-drop},seed=$RANDOM,log=$m/lossyfs.log" "$m/disk.img" "$m/disk"
}
control() { echo "${*:2}" 2>/dev/null > "$work/$1/disk/.lossyfs" || { echo "lossyfs of $1 refused: ${*:2}"; return 1; }; }
state_of() { head -1 "$work/$1/disk/.lossyfs" 2>/dev/null; }
# setup NAME PRINTER [MODE]: a new machine: its disk, the folder with ZV, its settings, the home.
setup() {
  local m=$work/$1
  mkdir -p "$m"
  echo "${3:-drop}" > "$m/mode"
  echo 1 > "$m/next"
  echo 0 > "$m/cuts"
  : > "$m/ledger"
  machine_disk "$1" "${3:-drop}" || return 1
  mkdir -p "$m/disk/office/ZV" "$m/disk/home"
  printf 'archive = %s\nquiet-seconds = 1\n' "$m/disk/archive" > "$m/disk/office/zvspool.conf"
  echo "$2" > "$m/printer"
  control "$1" sync
}
# The environment of the machine's user: everything on its disk, the log on the test's.
user_env() { # user_env NAME
  local m=$work/$1 printer
  printer=$(cat "$m/printer")
  echo "HOME=$m/disk/home XDG_STATE_HOME=$m/disk/home/.local/state PRINTER=$printer"
}
# boot NAME COMMAND: the machine's processes, in a PID namespace of their own, the command run in
# the folder that holds ZV. Its init says its own pid (a child of unshare seen a moment after the
# start may not be it), and the command starts only once lossyfs knows the machine: a cut armed
# for its first step (a run makes its state folder within milliseconds) must stop it there.
boot() {
  local m=$work/$1 init
  rm -f "$m/go" "$m/init.pid"
  (cd "$m/disk/office" && exec unshare --pid --fork --kill-child \
    env $(user_env "$1") bash -c "read -r own _ < /proc/self/stat; echo \$own > '$m/init.new' &&
      mv '$m/init.new' '$m/init.pid'; until [ -e '$m/go' ]; do sleep 0.05; done; $2" \
    >> "$m/machine.out" 2>&1) &
  echo $! > "$m/unshare.pid"
  if ! wait_for 10 test -s "$m/init.pid"; then
    echo "the machine $1 did not start:"; grep -v sigprocmask "$m/machine.out" | tail -5
    return 1
  fi
  init=$(cat "$m/init.pid")
  control "$1" machine "$init" || return 1
  touch "$m/go"
}
# The producer of the machine: COUNT jobs, one every INTERVAL seconds.
produce() { # produce NAME COUNT INTERVAL: the command that starts it in the background
  local m=$work/$1 first
  first=$(cat "$m/next")
  echo $((first + $2)) > "$m/next"
  echo "python3 '$producer' ZV ${1^^}N $2 $3 '$m/ledger' $first &"
}
# The daemon polls every 2 seconds, so that the cuts need not wait for the 10 of an office.
daemon() { echo "exec '$zvspool' --poll-seconds 2 >> '$work/$1/zvspool.log' 2>&1"; }
once_loop() { echo "while :; do '$zvspool' --once >> '$work/$1/zvspool.log' 2>&1; sleep 0.3; done"; }
# cut NAME: the power cut, now, if the armed one did not come first: every process of the
# machine killed at once, the disk keeping only what was durable; then the disk is mounted again.
cut() {
  local m=$work/$1 init unshare
  init=$(cat "$m/init.pid") unshare=$(cat "$m/unshare.pid")
  kill -9 "$init" 2>/dev/null
  wait "$unshare" 2>/dev/null
  wait_for 10 bash -c "! kill -0 $init 2>/dev/null"
  [[ $(state_of "$1") == cut ]] || control "$1" cut
  echo "$(($(cat "$m/cuts") + 1))" > "$m/cuts"
  unmount "$1" && machine_disk "$1" "$(cat "$m/mode")"
}
# The machine's processes die a moment after its init: the disk is let go once none holds it.
# Should one hold on past half a minute, the log names it.
unmount() {
  wait_for 30 umount "$work/$1/disk" 2> /dev/null && return 0
  echo "the disk of $1 is still in use:"; fuser -vm "$work/$1/disk" 2>&1 | head -5
  umount "$work/$1/disk"
}
# A random instant, in seconds: from FROM for up to SPAN more.
instant() { echo "$(($1 + RANDOM % $2)).$((RANDOM % 10))"; }

# random_cuts NAME MODE CUTS: a stream of jobs and a cut at a random instant, CUTS times over.
# A daemon polls first 2 seconds after it starts: its cuts come while it prints.
random_cuts() {
  local name=$1 mode=$2 run i
  for i in $(seq "$3"); do
    if [[ $mode == daemon ]]; then
      run=$(daemon "$name"); boot "$name" "$(produce "$name" 4 0.4) $run" || return 1
      sleep "$(instant 2 6)"
    else
      run=$(once_loop "$name"); boot "$name" "$(produce "$name" 4 0.4) $run" || return 1
      sleep "$(instant 1 5)"
    fi
    cut "$name" || return 1
  done
}

# drain NAME: after the last cut, zvspool runs until ZV no longer changes: every job printed, or
# kept for a person.
drain_machine() {
  local name=$1 m=$work/$1 before="" now tries=0
  while ((tries++ < 30)); do
    now=$(ls "$m/disk/office/ZV" | tr '\n' ' ')
    [[ -z $now ]] && break
    [[ $now == "$before" ]] && (( tries > 6 )) && break
    before=$now
    (cd "$m/disk/office" && env $(user_env "$name") "$zvspool" --once >> "$m/zvspool.log" 2>&1)
    wait_for 20 bash -c '[[ -z "$(lpstat -W not-completed -o 2>/dev/null)" ]]'
  done
}

# What the machine's disk holds at the end, copied off it: the PDFs (the paper of the built-in
# printer), the archive, the jobs left in ZV.
unload() { # unload NAME
  local m=$work/$1
  mkdir -p "$m/pdf" "$m/archive" "$m/left"
  cp "$m/disk/home/PDF/"*.pdf "$m/pdf/" 2>/dev/null
  cp "$m/disk/archive/"*.pdf "$m/archive/" 2>/dev/null
  cp "$m/disk/office/ZV/"* "$m/left/" 2>/dev/null
  unmount "$1"
  [[ -n $keep ]] && mkdir -p "$keep/$1" && cp "$m"/*.log "$m"/*.out "$keep/$1/" 2>/dev/null
}

declare -a cut_rows
# tally_cuts ROW NAME PAPER: every tag in the ledger printed once, or kept in ZV for a person with
# the log saying why (a scheduler that lost its state may have printed it first: counted apart);
# no tag on paper twice or in part, ledger or not; every job printed has its copy in the archive.
tally_cuts() {
  local row=$1 m=$work/$2 paper=$3 counts archived tag whole partial once=0 twice=0 lost=0 kept=0
  local parts unexplained=0 uncopied=0 cuts prefix=${2^^}N printed_kept=0 many jobs
  counts=$(all_copies "$paper" | awk -v p="$prefix" 'index($1, p) == 1')
  archived=$(all_copies "$m/archive")
  cuts=$(cat "$m/cuts")
  jobs=$(wc -l < "$m/ledger")
  parts=$(awk '{ p += $3 } END { print p + 0 }' <<< "$counts")
  twice=$(awk '$2 > 1 { n++ } END { print n + 0 }' <<< "$counts")
  for many in $(awk '$2 > 1 { print $1 ":" $2 }' <<< "$counts"); do
    local file number=${many%%:*}
    file=$(printf 'zv%05d.zv' "${number#"$prefix"}")
    echo "printed ${many##*:} times: ${many%%:*} ($file):"
    grep -F "$file" "$m/zvspool.log" | tail -8
  done
  while read -r tag; do
    [[ -n $tag ]] || continue
    read -r whole partial <<< "$(awk -v t="$tag" '$1 == t { print $2, $3; f = 1 } END { if (!f) print 0, 0 }' <<< "$counts")"
    local file=""
    grep -qs "$tag FIRST" "$m/left/"* && file=$(basename "$(grep -ls "$tag FIRST" "$m/left/"* | head -1)")
    if [[ -n $file && $whole -le 1 ]]; then
      kept=$((kept + 1)) printed_kept=$((printed_kept + whole))
      grep -q -e "kept $file" -e "$file.*\(for a person\|kept\)" "$m/zvspool.log" \
        || { unexplained=$((unexplained + 1)); echo "kept without a word: $tag ($file), its last lines:"
             grep -F "$file" "$m/zvspool.log" | tail -4; }
    elif [[ $whole -eq 1 ]]; then
      once=$((once + 1))
      awk -v t="$tag" '$1 == t && $2 >= 1 { f = 1 } END { exit !f }' <<< "$archived" \
        || { uncopied=$((uncopied + 1)); echo "no archive copy: $tag"; }
    elif [[ $whole -eq 0 ]]; then
      lost=$((lost + 1)); echo "lost: $tag"
    fi
  done < "$m/ledger"
  cut_rows+=("$row|$cuts|$jobs|$once|$twice|$lost|$kept ($printed_kept printed before)")
  check "$row: $cuts cuts, $jobs jobs: $once once, $twice twice, $lost lost, $kept kept ($printed_kept printed before), $parts partial" \
    test "$twice:$lost:$parts" == "0:0:0" || tail -30 "$m/zvspool.log"
  check "$row: every job kept is explained in the log" test "$unexplained" -eq 0 \
    || tail -15 "$m/zvspool.log"
  check "$row: every job printed has its copy in the archive" test "$uncopied" -eq 0
}

# ZV_CUT_PARTS chooses what runs: random first steps local (the test suite runs each part on its
# own, side by side).
parts=${ZV_CUT_PARTS:-random first steps local}
part() { [[ " $parts " == *" $1 "* ]]; }

# --- Cuts at random instants, four machines at once -------------------------------------------
if part random; then
setup cupsdaemon office random && setup cupsonce office && setup pdfdaemon PDF &&
  setup pdfonce PDF random || exit 1
random_cuts cupsdaemon daemon 8 & a=$!
random_cuts cupsonce once 9 & b=$!
random_cuts pdfdaemon daemon 8 & c=$!
random_cuts pdfonce once 9 & d=$!
wait $a $b $c $d
drains=()
for name in cupsdaemon cupsonce pdfdaemon pdfonce; do drain_machine "$name" & drains+=($!); done
wait "${drains[@]}"
for name in cupsdaemon cupsonce pdfdaemon pdfonce; do unload "$name"; done
tally_cuts "CUPS, daemon, random losses" cupsdaemon "$work/printer-office"
tally_cuts "CUPS, --once runs" cupsonce "$work/printer-office"
tally_cuts "PDF printer, daemon" pdfdaemon "$work/pdfdaemon/pdf"
tally_cuts "PDF printer, --once runs, random losses" pdfonce "$work/pdfonce/pdf"
fi

# --- Cuts at chosen steps ----------------------------------------------------------------------
# step NAME PROGRAM OP GLOB N: a job, and the cut armed right after the N-th OP on GLOB, then the
# machine started with PROGRAM (a command line) and the job; the cut must come.
step() {
  local name=$1 m=$work/$1
  control "$name" arm "$3" "$4" "$5"
  boot "$name" "python3 '$producer' ZV ${name^^}N 1 0 '$m/ledger' $(cat "$m/next"); $2" || return 1
  echo $(($(cat "$m/next") + 1)) > "$m/next"
  check "$name: the cut comes right after $3 $4 #$5" wait_for 60 bash -c "[[ \$(head -1 '$m/disk/.lossyfs') == cut ]]"
  cut "$name"
}
once_run() { once_loop "$1"; }

# A first run, cut as each thing it makes is made: the state folder, the journal, the claim file.
if part first; then
setup first office || exit 1
step first "$(once_run first)" mkdir zvspool 1
step first "$(once_run first)" rename "*.journal" 1
step first "$(once_run first)" fsync zvspool.lock 1
# Each flush of a hand-over's steps, one after another (about to print, handed, whole, releasing,
# released, printed), and the deletion of the file.
for n in 1 2 3 4 5 6; do step first "$(once_run first)" fsync "*.journal" "$n"; done
step first "$(once_run first)" unlink "zv*.zv" 1
drain_machine first; unload first
tally_cuts "chosen steps on CUPS, a first run" first "$work/printer-office"
fi

if part steps; then

# The journal written anew (compaction): a journal full of old entries, cut as the new one is
# flushed and as it is moved into place.
setup compact office || exit 1
boot compact "$(produce compact 60 0) wait; exec '$zvspool' --once >> '$work/compact/zvspool.log' 2>&1"
wait "$(cat "$work/compact/unshare.pid")"
step compact "$(once_run compact)" fsync "*.journal.new" 1
step compact "$(once_run compact)" rename "*.journal" 1
drain_machine compact; unload compact
tally_cuts "inside the journal's compaction" compact "$work/printer-office"

# The built-in PDF printer: cut as a PDF is put in place, and as an archive copy is.
setup pdfsteps PDF || exit 1
step pdfsteps "$(once_run pdfsteps)" link "ZV_Printing-*" 1
step pdfsteps "$(once_run pdfsteps)" rename "20*_zv*.pdf" 1
step pdfsteps "$(once_run pdfsteps)" unlink "zv*.zv" 1
drain_machine pdfsteps; unload pdfsteps
tally_cuts "chosen steps on the PDF printer" pdfsteps "$work/pdfsteps/pdf"

# --- fsync made a no-op: the same cut must print a job twice ----------------------------------
setup unsynced office || exit 1
step unsynced "while :; do eatmydata '$zvspool' --once >> '$work/unsynced/zvspool.log' 2>&1; sleep 0.3; done" \
  unlink "zv*.zv" 1
drain_machine unsynced; unload unsynced
twice_unsynced=$(all_copies "$work/printer-office" | awk '$1 ~ /^UNSYNCEDN/ && $2 > 1 { n++ } END { print n + 0 }')
check "with fsync a no-op, the cut after a deletion prints the job twice" test "$twice_unsynced" -ge 1
fi

# --- A scheduler of the machine's own, on the same disk, dying in the same cuts ---------------
if part local; then
# Its configuration is made durable once (as a machine set up long ago); the jobs, subscriptions
# and history it writes after that live and die with the machine's disk.
stop_scheduler
setup local office || exit 1
mkdir -p "$work/local/disk/cups/spool/tmp" "$work/local/disk/cups/cache" "$work/local/disk/cups/log"
cp -a /etc/cups "$work/local/disk/cups/etc"
chown root:lp "$work/local/disk/cups/spool" "$work/local/disk/cups/spool/tmp"
chmod 0710 "$work/local/disk/cups/spool" && chmod 1770 "$work/local/disk/cups/spool/tmp"
control local sync
# machine_script COMMAND: the machine's scheduler started first, in a mount namespace of the
# machine's own where its folders are those on the machine's disk.
local_machine() {
  local c=$work/local/disk/cups
  cat > "$work/local/machine.sh" <<SCRIPT
mount --make-rprivate / && mount --bind '$c/etc' /etc/cups && mount --bind '$c/spool' /var/spool/cups &&
  mount --bind '$c/cache' /var/cache/cups && mount --bind '$c/log' /var/log/cups &&
  mount -t tmpfs tmpfs /run/cups || exit 1
cupsd -f &
for i in \$(seq 100); do lpstat -r 2>/dev/null | grep -q 'is running' && break; sleep 0.1; done
$1
SCRIPT
  boot local "exec unshare --mount bash '$work/local/machine.sh'"
}
for i in $(seq 6); do
  local_machine "$(produce local 3 0.4) $(once_loop local)" || exit 1
  sleep "$(instant 2 5)"
  cut local || exit 1
done
# Then left to print what it can, until ZV no longer changes, and stopped without a cut.
local_machine "$(once_loop local)" || exit 1
before=x
for _ in $(seq 12); do
  sleep 5
  now=$(ls "$work/local/disk/office/ZV" | tr '\n' ' ')
  [[ -z $now || $now == "$before" ]] && break
  before=$now
done
kill -9 "$(cat "$work/local/init.pid")"; wait "$(cat "$work/local/unshare.pid")" 2>/dev/null
unload local
tally_cuts "a scheduler on the machine's own disk, cut with it" local "$work/printer-office"
fi

echo
echo "| machine | cuts | jobs | once | twice | lost | kept |"
echo "|---|---|---|---|---|---|---|"
for row in "${cut_rows[@]}"; do echo "| ${row//|/ | } |"; done
finish
