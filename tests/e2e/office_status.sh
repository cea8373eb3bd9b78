#!/usr/bin/env bash
# What the real zvspool tells the office, on a real scheduler and an A4 queue with printable
# margins: zvspool --status (and --json) on waiting, handed, kept and odd jobs; the alarm of a job
# stuck in a queue stopped with a reason, in the print system's words, repeated, and ended when it
# prints; text that falls outside the printable area; a job it may not read.
#   office_status.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
source "$here/faults.sh"

start_office || exit 1

run=$work/run
mkdir -p "$run/ZV"
log=$run/zvspool.log
has_line() { grep -q -- "$1" "$log"; }
lines() { grep -c -- "$1" "$log"; }
once() { (cd "$run" && "$zvspool" --once "$@" >> "$log" 2>&1); }
status() { (cd "$run" && "$zvspool" --status "$@"); }

# ---- --status ------------------------------------------------------------------------------------

# A spooler of another user on another machine left jobs handed over: what this one finds, it
# cannot account for, and keeps for a person.
printf 'zvspool folder 00000000000000aa\nholder clerk on frontdesk, pid 4242, since 2026-01-02 03:04:05\nhanded yes\n' \
  > "$run/zvspool.lock"
printf 'zostawione\r\n' > "$run/ZV/zv0003.zv"
once
check "a job the spooler before left is kept, and --once says so" test $? -eq 1

# The queue is stopped with a reason, as an administrator stops it: jobs handed to it wait there.
cupsdisable -r "Brak papieru" office
printf 'pierwsze\r\n' > "$run/ZV/zv0001.zv"
printf 'drugie\r\n' > "$run/ZV/zv0002.zv"
once
check "two jobs handed to the stopped queue" test "$(lines "handed zv000[12].zv")" -eq 2
mkdir "$run/ZV/zv0004.zv"
printf 'nowe\r\n' > "$run/ZV/zv0005.zv"
before=$(ls -l --time-style=+%s "$run/ZV" "$run/zvspool.lock"; lpstat -o office | wc -l)

out=$(status)
code=$?
echo "$out"
check "--status exits 1 when a job cannot print" test $code -eq 1
check "it says no spooler runs, and which ran last" grep -q "^Spooler: none runs (the last: .* on .*, pid [0-9]*" <<< "$out"
check "it names the printer the last one used" grep -q '^Printer: "office"' <<< "$out"
check "a handed job in a stopped queue: the queue's state, and its job" grep -q '^  zv0001.zv  10 bytes, written .* ago: \[printer-stopped\] handed to "office" as job [0-9]* ' <<< "$out"
check "the job's state in the scheduler's words" grep -q "the job: CUPS job [0-9]* pending" <<< "$out"
check "the printer's state and message" grep -q "the printer: stopped (paused): Brak papieru" <<< "$out"
check "a kept job: since when and why" grep -q "^  zv0003.zv .*: \[held\] kept for a person since 20[0-9-]* [0-9:]*: the spooler before this one" <<< "$out"
check "a folder named as a job is never printed" grep -q "^  zv0004.zv .*not a file written into ZV" <<< "$out"
check "a new job waits, and no spooler watches" grep -q "^  zv0005.zv  6 bytes, .*\[no-spooler\] waiting: no zvspool watches the folder" <<< "$out"
check "the printer as it is now, with its state" grep -q '^Printer: "office" \[printer-stopped\] stopped (paused): Brak papieru' <<< "$out"

json=$(status --json)
check "--json exits as --status does" test $? -eq 1
check "--json is JSON with every job in its state" python3 - "$json" <<'PY'
import json, sys
s = json.loads(sys.argv[1])
states = {j["name"]: j["state"] for j in s["jobs"]}
assert states == {"zv0001.zv": "printer-stopped", "zv0002.zv": "printer-stopped",
                  "zv0003.zv": "held", "zv0004.zv": "not-a-file", "zv0005.zv": "no-spooler"}, states
assert not any(j["fine"] for j in s["jobs"]), s["jobs"]
assert s["printer"]["name"] == "office" and s["printer"]["state"] == "printer-stopped", s["printer"]
assert "paused" in s["printer"]["reasons"], s["printer"]
import re
iso = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$")
assert all(iso.match(j["since"]) for j in s["jobs"]), [j["since"] for j in s["jobs"]]
assert s["kept"] == 2 and s["stuck"] == 0, s
assert s["spooler"]["running"] is False, s["spooler"]
one = next(j for j in s["jobs"] if j["name"] == "zv0001.zv")
assert one["printer"] == "office" and one["job_id"] > 0, one
assert "Brak papieru" in one["printer_state"], one
assert "pending" in one["job_state"], one
PY
after=$(ls -l --time-style=+%s "$run/ZV" "$run/zvspool.lock"; lpstat -o office | wc -l)
check "a look changes nothing: not ZV, not the claim, not the queue" test "$before" == "$after"
check "nothing reached the printer" test "$(document_count office)" -eq 0
check "--json without --status is a usage error" bash -c "'$zvspool' --json; test \$? -eq 2"
check "--status with --once is a usage error" bash -c "'$zvspool' --status --once; test \$? -eq 2"
check "--status of a folder that is not there is a usage error" bash -c "'$zvspool' --status /nonexistent; test \$? -eq 2"
rmdir "$run/ZV/zv0004.zv"
rm "$run/ZV/zv0003.zv"

# ---- The alarm ----------------------------------------------------------------------------------

# Stuck after 3 seconds here (5 minutes by default): said at the first poll that finds it waiting
# that long, again after three times it, and once more when it prints.
(cd "$run" && exec "$zvspool" --alarm-after 0.05 2>> "$log") &
pid=$!
check "the running spooler is seen by --status" wait_for 5 bash -c "cd '$run' && '$zvspool' --status | grep -q '^Spooler: .* on .*, pid $pid, since'"
check "a stuck job is said, in the print system's words" \
  wait_for 40 has_line "warning: zv0001.zv has waited [0-9]* seconds: handed to \"office\" as job [0-9]*: CUPS job [0-9]* pending.*; the printer: stopped (paused): Brak papieru"
check "and said again later" wait_for 30 bash -c "test \$(grep -c 'zv0001.zv has waited' '$log') -ge 2"
check "--status counts it stuck (exit 1)" bash -c "cd '$run' && '$zvspool' --status --alarm-after 0.05 > /dev/null; test \$? -eq 1"
cupsenable office
check "once the queue goes on, the job prints, and the alarm ends" wait_for 40 has_line "zv0001.zv is printed after it waited"
check "every job is printed" wait_for 40 bash -c "test -z \"\$(ls '$run/ZV')\""
out=$(status)
check "--status exits 0 when nothing waits" test $? -eq 0
check "and lists no job" grep -q "^0 jobs in ZV" <<< "$out"

# ---- Text off the page ----------------------------------------------------------------------------

# The queue's printable area is 4.23 mm inside A4 on every side: an 80-column line at 10 cpi
# (8 inches) already reaches past it, a 92-column one by a dozen columns, and the 72nd line of a page is
# far below it.
{
  printf '%092d\r\n' 0
  for i in $(seq 2 72); do printf 'wiersz %d\r\n' "$i"; done
  printf '\f%080d\r\n' 0
} > "$work/zv0010.zv"
cp "$work/zv0010.zv" "$run/ZV/"
check "text outside the printable area is said, page by page" \
  wait_for 30 has_line "warning: zv0010.zv: text outside the printable area of \"office\", cut off: page 1 ([0-9]* lines below the bottom, [0-9]* characters past the right edge); page 2 (1 character past the right edge)"
check "and the job is printed all the same" wait_for 30 has_line "printed zv0010.zv"
kill -TERM "$pid"
wait "$pid"

# ---- zv-render --printer ---------------------------------------------------------------------------

# The preview of that job for the queue is the printout: the same page, every word where the
# printer's document has it, to a device unit (600 dpi: 0.12 pt).
printf '%092d\r\n' 0 > "$work/wide.zv"
"$zv_render" --printer office -o "$work/preview.pdf" "$work/zv0010.zv" "$work/wide.zv" \
  > /dev/null 2> "$work/render.err"
cp "$(documents_of office | tail -1)" "$work/printed.pdf"
check "zv-render --printer lays out as the queue prints" python3 - "$work/preview.pdf" "$work/printed.pdf" <<'PY'
import re, subprocess, sys
def words(pdf):
    html = subprocess.run(["pdftotext", "-bbox", "-f", "1", "-l", "2", pdf, "-"],
                          capture_output=True, text=True, check=True).stdout
    pages = re.findall(r'<page width="([\d.]+)" height="([\d.]+)"', html)
    found = re.findall(r'<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="[\d.]+" yMax="[\d.]+">([^<]*)</word>', html)
    return pages, [(float(x), float(y), t) for x, y, t in found]
(pp, pw), (qp, qw) = words(sys.argv[1]), words(sys.argv[2])
assert len(pp) >= 2 and all(abs(float(a) - float(b)) < 0.01
                           for p, q in zip(pp[:2], qp[:2]) for a, b in zip(p, q)), (pp, qp)
assert len(qw) > 50 and [t for _, _, t in pw[:len(qw)]] == [t for _, _, t in qw], (pw[:5], qw[:5])
worst = max(max(abs(a[0] - b[0]), abs(a[1] - b[1])) for a, b in zip(pw, qw))
assert worst < 0.12, worst
PY
check "and says what falls outside its printable area" \
  grep -q "zv-render: .*/zv0010.zv: text outside the printable area, cut off: page 1 (" "$work/render.err"
check "the page-corner layout with --margins is another" bash -c \
  "'$zv_render' --printer office --margins -o '$work/corner.pdf' '$work/zv0010.zv' > /dev/null 2>&1 && ! cmp -s '$work/corner.pdf' '$work/preview.pdf'"
check "an unknown queue is an error" bash -c "! '$zv_render' --printer nosuchqueue -o '$work/x.pdf' '$work/wide.zv' 2> /dev/null"

# ---- A job it may not read ------------------------------------------------------------------------

# zvspool run as a user who may not read the job: said once, with the system's reason; kept.
clerk=$work/clerk
mkdir -p "$clerk/ZV" "$clerk/home"
chmod o+x "$work"
chown -R 65534:65534 "$clerk"
printf 'tajne\r\n' > "$clerk/ZV/zv0001.zv"
chmod 600 "$clerk/ZV/zv0001.zv"
as_clerk() { (cd "$clerk" && setpriv --reuid=65534 --regid=65534 --clear-groups \
  env HOME="$clerk/home" XDG_STATE_HOME="$clerk/home/state" "$zvspool" --once 2>> "$clerk/zvspool.log"); }
as_clerk
check "--once exits 1 for a job it cannot read" test $? -eq 1
check "the log says why" grep -q 'warning: kept zv0001.zv: zvspool cannot read it (Access is denied)' "$clerk/zvspool.log"
check "the job stays" test -f "$clerk/ZV/zv0001.zv"
cat "$log" "$clerk/zvspool.log"
finish
