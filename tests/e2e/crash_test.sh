#!/usr/bin/env bash
# zvspool killed with SIGKILL at random instants across a stream of jobs, and started again each
# time, as a power cut, the OOM killer or a reboot would do it: on a real scheduler and IPP
# printer, and on the built-in PDF printer at the same time. In the end every job is printed
# exactly once, and none is lost. The instants come from a seed that the script prints (set
# ZV_CRASH_SEED to repeat a run; ZV_CRASH_KILLS sets how many kills, 30 by default).
#   crash_test.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
source "$here/faults.sh"

start_office || exit 1
counter_proves_itself

seed=${ZV_CRASH_SEED:-$((RANDOM * 32768 + RANDOM))}
kills=${ZV_CRASH_KILLS:-30}
echo "seed $seed, $kills kills"

# Kills zvspool --once runs in FOLDER at random instants: before each start two new jobs of 30 to
# 130 pages arrive (pages_from and pages_step set otherwise); a run waits two seconds for new files to be quiet, then prints, hands over,
# follows and deletes. One kill in four comes anywhere in the run's first seconds; the others
# come at a random instant up to $late seconds (0.25 unless set) after the printing began, where
# the hand-over happens. Writes the
# jobs' tags to FOLDER/tags, and the last journal entry at each kill (1 printing begun, 2 job
# made, 3 document whole, 4 printed, g file gone, h jobs handed over or none) to FOLDER/at-kill.
kill_at_random() { # kill_at_random FOLDER SEED [VAR=VALUE...]
  local folder=$1 n=0 k pid delay
  RANDOM=$2
  shift 2
  mkdir -p "$folder/ZV"
  : > "$folder/tags"
  for k in $(seq "$kills"); do
    for _ in 1 2; do
      n=$((n + 1))
      job "$folder/ZV/zv$(printf %04d $n).zv" "JOB$n" $((${pages_from:-30} + RANDOM % 100 * ${pages_step:-1}))
      echo "JOB$n" >> "$folder/tags"
    done
    (cd "$folder" && exec env "$@" "$zvspool" --once >> "$folder/zvspool.log" 2>&1) &
    pid=$!
    if ((RANDOM % 4 == 0)); then
      delay=$(awk -v r=$RANDOM 'BEGIN { printf "%.3f", r / 32767 * 2.5 }')
    else
      # Looked for often: the built-in PDF printer writes a job in a fraction of a second.
      local until=$((SECONDS + 5))
      until printing $pid || ((SECONDS >= until)); do sleep 0.01; done
      delay=$(awk -v r=$RANDOM -v late="${late:-0.25}" 'BEGIN { printf "%.3f", r / 32767 * late }')
    fi
    sleep "$delay"
    kill -9 $pid 2>/dev/null
    wait $pid 2>/dev/null
    last_entry "$folder" >> "$folder/at-kill"
  done
  # Started again with nothing to stop it, it prints what is left.
  drain "$folder" 60 "$@"
}

# Whether process PID holds a job file open: it does while it prints the job.
printing() { [[ "$(readlink /proc/"$1"/fd/* 2>/dev/null)" == *"/ZV/zv"* ]]; }
# The kind of the last entry in FOLDER's journal (found by the folder's id in its claim file).
last_entry() {
  local id
  id=$(sed -n 's/^zvspool folder //p' "$1/zvspool.lock" 2>/dev/null)
  tail -1 "$XDG_STATE_HOME/zvspool/$id.journal" 2>/dev/null | awk '$1 == "g" || $1 == "h" { print $1; next } $1 == "r" { print $4; next } { print "-" }'
}
# How many kinds of step the kills came after.
steps_hit() { grep -v -- - "$1/at-kill" | sort -u | wc -l; }

C=$work/cups
P=$work/pdf
job "$work/first.zv" FIRSTJOB 1 # makes the text the jobs are cut from, once, before both runs
kill_at_random "$C" "$seed" &
cups_run=$!
# The built-in PDF printer writes 100 pages in a few hundredths of a second, a loaded machine's
# look at the process takes about as long: its jobs are of 150 to 645 pages, which take it a
# twentieth of a second to a quarter, so that many kills after the printing began find it writing.
pages_from=150 pages_step=5 late=0.15 kill_at_random "$P" "$((seed + 1))" PRINTER=PDF HOME="$P/home" &
pdf_run=$!
wait $cups_run $pdf_run

# The kills must have come at different steps of the hand-over, or they proved little.
check "kills on CUPS came after $(steps_hit "$C") kinds of step ($(sort "$C/at-kill" | uniq -c | tr '\n' ' '))" \
  test "$(steps_hit "$C")" -ge 3
# The built-in PDF printer writes a job in milliseconds: what counts is that kills came while it
# wrote one.
check "kills on the PDF printer came while it wrote a job ($(sort "$P/at-kill" | uniq -c | tr '\n' ' '))" \
  test "$(grep -c '^2$' "$P/at-kill")" -ge 3
tally_many "killed at $kills random instants, CUPS" "$C" "$(cat "$C/tags")" "$work/printer-office"
tally_many "killed at $kills random instants, PDF printer" "$P" "$(cat "$P/tags")" "$P/home/PDF"
check "nothing left half written in ~/PDF" test -z "$(find "$P/home/PDF" -name '.zvspool-*')"
grep -hE "printed again|cancelled|stopped while" "$C/zvspool.log" "$P/zvspool.log" | sed 's/^[0-9-]* [0-9:]* //' | sort | uniq -c | sort -rn | head
# What the journal and the scheduler say of a CUPS job left in ZV, if any, for the one who reads
# a failure.
for f in "$C"/ZV/*; do
  [[ -f $f ]] || continue
  b=$(basename "$f"); echo "== $b"; grep -F "$b" "$XDG_STATE_HOME"/zvspool/*.journal | tail -2
  id=$(grep -F "$b" "$XDG_STATE_HOME"/zvspool/*.journal | tail -1 | awk '{print $16}')
  ipptool -tv "ipp://localhost/jobs/$id" get-job-attributes.test | grep -E "job-state|number-of-doc|job-hold|job-printer-state"
done
print_matrix
finish
