#!/usr/bin/env bash
# A CUPS print server printing zv jobs itself: the package's filter, type and conversion installed
# from the built package into a fresh scheduler, an IPP Everywhere queue made with lpadmin. What
# reaches the printer is checked: `lp job.zv` comes out as the same pages zvspool prints on that
# queue (every word within one device unit), with the job's offset and fit options and on the
# paper the job chooses too; plain
# text, PCL and a file of zv codes under another name go their usual ways, never through the
# filter; a damaged job ends with the filter's reason in its state. Then a workstation whose folder
# hands its job files over unrendered (render = server) to a print server in a network of its own:
# the server renders each, the same pages again, and prints it once, also when the workstation's
# zvspool is killed while the server holds its job; an empty job is printed by the workstation
# itself, and a damaged one, failing on the server, is handed again and then kept for a person.
#   cups_filter.sh ZVSPOOL DEB
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1") deb=$(realpath "$2")
for tool in cupsd ippeveprinter ipptool lpadmin lp lpoptions dbus-daemon pdftotext pdfinfo dpkg-deb; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; exit 1; }
done

# The package's files where the scheduler looks for them, as dpkg would put them: each folder
# is the machine's own with the package's files added, in this namespace only.
install_package_files() { # install_package_files ROOT
  local dir over
  for dir in /usr/lib/cups/filter /usr/share/cups/mime; do
    over=$work/over${dir//\//-}
    mkdir -p "$over" && cp -a "$dir/." "$over/" && cp -a "$1$dir/." "$over/"
    chown -R root:root "$over" && chmod 755 "$over"
    mount --bind "$over" "$dir"
  done
}
dpkg-deb -x "$deb" "$work/package"

# A job of everything the codes do: pitches, bold, underline, a margin, Cyrillic, two pages.
job=$work/zv0042.zv
{
  printf '\x1b\x19\x1b\x07KARTOTEKA ZV\x1b\x08 - wydruk pr\xf3bny\r\n\r\n'
  printf '\x1b\x0312 cpi: \x1b\x0e\xb3\xf3d\xbf\x1b\x0f \x1b\x01 17 cpi\x1b\x02 20 cpi\x1b\x03\r\n'
  printf '\x1b 5\x00Wci\xeaty o 5 kolumn\r\n\x1b\x27\x31\x00\x8f\xe0\xa8\xa2\xa5\xe2 \x1b\x27\x30\x00koniec\r\n'
  printf '\x0c\x1b\x19Strona 2: Za\xbf\xf3\xb3\xe6 g\xea\x9cl\xb9 ja\x9f\xf1\r\n'
} > "$job"

start_system_bus || exit 1
start_printer office iso_a4_210x297mm && uri=$printer_uri || exit 1
sed -i 's/^LogLevel .*/LogLevel debug/' /etc/cups/cupsd.conf
start_scheduler || exit 1
add_queue office "$uri" || exit 1
log=/var/log/cups/error_log

# Before the package is on the scheduler: a folder handing its job files over unrendered is told
# that the queue takes none, and no job is left there.
mkdir -p "$work/early/ZV" && cp "$job" "$work/early/ZV/"
(cd "$work/early" && "$zvspool" --once --printer office --render server --quiet-seconds 0 \
   > "$work/early.log" 2>&1)
check "a scheduler without zvtopdf: the job is kept, saying why" \
  grep -q 'kept zv0042.zv: "office" takes no job files as they are' "$work/early.log"
check "and no job is made there" test -z "$(lpstat -W all -o office)"
check "the job file stays in ZV" test -f "$work/early/ZV/zv0042.zv"

stop_scheduler
install_package_files "$work/package"
check "the package installs the filter" test -x /usr/lib/cups/filter/zvtopdf
check "and its type and conversion" test -f /usr/share/cups/mime/zvspool.types -a -f /usr/share/cups/mime/zvspool.convs
start_scheduler || exit 1

# The filter contract, run by hand as cupsfilter runs it.
filter=/usr/lib/cups/filter/zvtopdf
check "run by hand, it writes the PDF on standard output and a PAGE: line for each page" \
  bash -c "'$filter' 7 anna zv0042 1 '' '$job' > '$work/by-hand.pdf' 2> '$work/by-hand.err' &&
           head -c 5 '$work/by-hand.pdf' | grep -q '%PDF-' && grep -cx 'PAGE: [12] 1' '$work/by-hand.err' | grep -qx 2"
check "the job on standard input is the same pages" \
  bash -c "'$filter' 7 anna zv0042 1 '' < '$job' > '$work/stdin.pdf' 2> /dev/null &&
           python3 '$here/same_pages.py' '$work/by-hand.pdf' '$work/stdin.pdf' > /dev/null"
# A few zero bytes print nothing, as in zvspool: padding, or a code's parameter.
printf 'KARTOTEKA\0\0\0 ZV\r\n' > "$work/padded.zv"
check "a job with a few zero bytes in it is printed" \
  bash -c "'$filter' 7 anna t 1 '' '$work/padded.zv' 2> /dev/null | pdftotext - - | grep -q 'KARTOTEKA'"
"$filter" 7 anna > /dev/null 2> "$work/usage.err"
check "too few arguments: its usage and exit 1" \
  bash -c "[[ $? == 1 ]] && grep -q '^Usage: zvtopdf job-id user title copies options \[file\]' '$work/usage.err'"
"$filter" 7 anna t 1 'zv-fit-columns=5' "$job" > /dev/null 2> "$work/option.err"
check "an option zvspool would refuse: ERROR: and exit 1" \
  bash -c "[[ $? == 1 ]] && grep -q '^ERROR: zv-fit-columns: fit-columns takes' '$work/option.err'"
"$filter" 7 anna t 1 '' "$job" > /dev/full 2> "$work/full.err"
check "a PDF that cannot be written: ERROR: saying so, and exit 1" \
  bash -c "[[ $? == 1 ]] && grep -qx 'ERROR: cannot write the PDF: No space left on device' '$work/full.err'" \
  || cat "$work/full.err"

# The filters the scheduler started for job N, by name, one a line.
filters_of() { sed -n "s#^.*\[Job $1\] Started filter [^ ]*/\([^ /]*\) (PID.*#\1#p" "$log"; }
job_of() { sed -n 's/^request id is office-\([0-9]*\) .*/\1/p'; }
# An attribute of job N, as ipptool shows it.
job_attribute() { # job_attribute N NAME [PRINTER-URI]
  cat > "$work/get-job-$2.test" <<TEST
{ OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri \$uri
  ATTR integer job-id $1
  ATTR name requesting-user-name root
  DISPLAY $2 }
TEST
  ipptool -c "${3:-ipp://localhost/printers/office}" "$work/get-job-$2.test" | tail -n +2
}
job_done() { [[ $(job_attribute "$1" job-state) =~ ^(completed|canceled|aborted|processing-stopped)$ ]]; }
# Submits FILE with lp (more lp arguments may follow) and waits until the scheduler is done with
# it; prints its job number.
submit() { # submit FILE [LP-ARGUMENTS...]
  local id
  id=$(lp -d office "$@" 2>&1 | job_of)
  [[ -n $id ]] || return 1
  wait_for 60 job_done "$id"
  echo "$id"
}

# zvspool prints the job on the queue, once plainly and once with the office's set-up.
print_with_zvspool() { # print_with_zvspool NAME [OPTIONS...]
  local folder=$work/folder-$1; shift
  mkdir -p "$folder/ZV" && cp "$job" "$folder/ZV/"
  (cd "$folder" && "$zvspool" --once --printer office --quiet-seconds 0 "$@" > "$folder.log" 2>&1)
  wait_for 60 bash -c "! lpstat -o office | grep -q ."
}
before=$(document_count office)
print_with_zvspool plain
by_zvspool=$(documents_of office | tail -1)
print_with_zvspool setup --offset 2.5,-1 --fit-columns 80
by_zvspool_setup=$(documents_of office | tail -1)
check "zvspool prints the job twice on the queue" test "$(document_count office)" -eq $((before + 2))

id=$(submit "$job")
check "lp job.zv goes through zvtopdf" grep -qx zvtopdf <(filters_of "$id")
by_filter=$(documents_of office | tail -1)
check "and reaches the printer as the pages zvspool prints there, to the device unit" \
  python3 "$here/same_pages.py" "$by_zvspool" "$by_filter"
check "its Cyrillic and Polish text arrive" \
  bash -c "pdftotext '$by_filter' - | grep -q 'Привет' && pdftotext '$by_filter' - | grep -q 'Zażółć gęślą jaźń'"
pages_logged() { grep -c "\[Job $1\] PAGE: [0-9]" "$log"; }
check "its two pages are counted once each ($(pages_logged "$id"))" \
  test "$(pages_logged "$id")" -eq 2
id=$(submit "$job" -o zv-offset=2.5,-1 -o zv-fit-columns=80)
by_filter_setup=$(documents_of office | tail -1)
check "with -o zv-offset=2.5,-1 -o zv-fit-columns=80, as zvspool --offset 2.5,-1 --fit-columns 80" \
  python3 "$here/same_pages.py" "$by_zvspool_setup" "$by_filter_setup"
# The same set-up as the queue's own defaults, set once by the server's administrator.
lpadmin -p office -o zv-offset-default=2.5,-1 -o zv-fit-columns-default=80
id=$(submit "$job")
check "or as the queue's defaults (lpadmin -o zv-offset-default=2.5,-1 -o zv-fit-columns-default=80)" \
  python3 "$here/same_pages.py" "$by_zvspool_setup" "$(documents_of office | tail -1)"
lpadmin -p office -R zv-offset-default -R zv-fit-columns-default
# Letter chosen for the job: the page and printable area of Letter in the queue's PPD, as zvspool
# lays out on a queue whose user chose Letter with lpoptions.
lpoptions -p office -o media=Letter > /dev/null
print_with_zvspool letter
by_zvspool_letter=$(documents_of office | tail -1)
lpoptions -p office -r media > /dev/null
id=$(submit "$job" -o media=Letter)
check "with -o media=Letter, the Letter page zvspool prints where Letter is chosen" \
  python3 "$here/same_pages.py" "$by_zvspool_letter" "$(documents_of office | tail -1)"
check "(a Letter page: 612 x 792 pt)" \
  bash -c "pdfinfo '$(documents_of office | tail -1)' | grep -q 'Page size: *612 x 792 pts'"
# The comparison sees a difference of a few device units: a page moved by 0.2 mm is not the same.
id=$(submit "$job" -o zv-offset=0.2,0)
check "(and a page moved by 0.2 mm is told apart)" \
  bash -c "! python3 '$here/same_pages.py' '$by_zvspool' '$(documents_of office | tail -1)'"
cp "$job" "$work/noname"
id=$(submit "$work/noname" -o document-format=application/vnd.zv)
check "a job of another name goes through zvtopdf when its format is given" grep -qx zvtopdf <(filters_of "$id")

# Other files keep their ways: text through texttopdf, PCL raw, zv codes in a .txt file raw.
printf 'Plain text, a line of it.\n' > "$work/notes.txt"
id=$(submit "$work/notes.txt")
check "plain text goes through texttopdf, not zvtopdf" \
  bash -c "filters_of() { $(declare -f filters_of | tail -n +2); }; log=$log; filters_of $id | grep -qx texttopdf && ! filters_of $id | grep -qx zvtopdf"
printf '\x1bE\x1b&l26A\x1b(s0p10h12v0s0b3T Hello PCL\x0c\x1bE' > "$work/report.pcl"
id=$(submit "$work/report.pcl")
check "PCL is not taken by zvtopdf" bash -c "! grep -q '\[Job $id\] Started filter .*zvtopdf' $log"
check "the scheduler types it as raw, as before" grep -q "\[Job $id\].*application/vnd.cups-raw" "$log"
cp "$job" "$work/report.txt"
id=$(submit "$work/report.txt")
check "zv codes in a file of another name are not taken by zvtopdf" \
  bash -c "! grep -q '\[Job $id\] Started filter .*zvtopdf' $log"

# A job cut by a power cut: its first line, then the zeros its lost blocks read as.
{ printf 'KARTOTEKA\r\n'; head -c 4096 /dev/zero; } > "$work/zv0043.zv"
before_damaged=$(document_count office)
id=$(submit "$work/zv0043.zv")
check "a damaged job: zvtopdf says why" grep -q "^E .*\[Job $id\] the job is damaged: zero bytes from offset 11 on" "$log"
state=$(job_attribute "$id" job-state)
check "and the job does not complete ($state)" test "$state" != completed
message=$(job_attribute "$id" job-printer-state-message)
# The filter's ERROR: line becomes the job's message where the scheduler reads it before it sees
# the filter end; where it sees the end first, its own words stand there ("Filter failed"), and
# the reason is in its log (above).
check "its state carries the filter's reason, or the scheduler's words for a filter that failed ($message)" \
  bash -c "grep -q 'the job is damaged' <<< '$message' || [[ '$message' == 'Filter failed' ]]"
check "and nothing of it reaches the printer" test "$(document_count office)" -eq "$before_damaged"
check "the queue stays enabled" bash -c "! lpstat -p office | grep -q disabled"
id=$(submit "$work/notes.txt")
check "and prints the next job" test "$(job_attribute "$id" job-state)" == completed

# --- A workstation handing its job files to a print server ------------------------------------
ip link add zvbr type bridge && ip addr add 10.79.0.254/16 dev zvbr && ip link set zvbr up || exit 1
for ns in server ws; do
  ip netns add $ns && ip link add "v-$ns" type veth peer name eth0 netns $ns || exit 1
  ip link set "v-$ns" master zvbr && ip link set "v-$ns" up || exit 1
  ip -n $ns link set eth0 up && ip -n $ns link set lo up || exit 1
done
ip -n server addr add 10.79.0.1/16 dev eth0 && ip -n ws addr add 10.79.1.1/16 dev eth0 || exit 1
make_print_server 10.79.0.1
uri=$(ip netns exec server bash -c "source '$here/common.sh'; work='$work'; start_printer hall iso_a4_210x297mm > /dev/null && echo \$printer_uri")
start_server || exit 1
on_server lpadmin -p office -E -v "$uri" -m everywhere || exit 1
server_uri=ipp://10.79.0.1/printers/office
W=$work/ws
mkdir -p "$W/ZV" "$W/home" "$W/state" "$W/runtime"
printf 'printer = office\nrender = server\noffset = 2.5,-1\nfit-columns = 80\nquiet-seconds = 3\n' > "$W/zvspool.conf"
start_workstation() {
  (cd "$W" && exec ip netns exec ws env CUPS_SERVER=10.79.0.1 HOME="$W/home" XDG_STATE_HOME="$W/state" \
     XDG_RUNTIME_DIR="$W/runtime" "$zvspool" --poll-seconds 1 >> "$W/zvspool.log" 2>&1) &
  ws_pid=$!
}
start_workstation
cp "$job" "$W/ZV/zv0042.zv"
# The job's document went; the server holds it until its file has stayed unchanged: kill -9 then.
held_on_server() {
  [[ $(job_attribute 1 job-state "$server_uri") == pending-held &&
     $(job_attribute 1 number-of-documents "$server_uri") == 1 ]]
}
check "the workstation hands the job file over; the server holds its job, its document whole" \
  wait_for 30 held_on_server
kill -9 "$ws_pid"; wait "$ws_pid" 2>/dev/null
start_workstation
check "started again, it prints the job and deletes its file" wait_for 60 test ! -e "$W/ZV/zv0042.zv"
kill -TERM "$ws_pid"; wait "$ws_pid"
check "the log says the print server renders it" grep -q "handed zv0042.zv ($(stat -c %s "$job") bytes, for the print server to render)" "$W/zvspool.log"
wait_for 30 has_documents hall 1
check "the server's printer got it once ($(document_count hall) documents)" test "$(document_count hall)" -eq 1
check "rendered by the server's zvtopdf" grep -q "Started filter /usr/lib/cups/filter/zvtopdf" "$R/log/error_log"
check "with the folder's offset and fit: the pages zvspool prints with them" \
  python3 "$here/same_pages.py" "$by_zvspool_setup" "$(documents_of hall | tail -1)"

# An empty job, which no print server takes as a document, is printed by the workstation as the
# blank page it is; a damaged one fails on the server, is handed again, and after its last try
# stays in ZV for a person, in the server's words, no job of it left standing in the queue.
: > "$W/ZV/zv0050.zv"
{ printf 'KARTOTEKA\r\n'; head -c 4096 /dev/zero; } > "$W/ZV/zv0051.zv"
start_workstation
check "an empty job is printed by the workstation" wait_for 60 test ! -e "$W/ZV/zv0050.zv"
check "as a blank page" grep -q "printed zv0050.zv (empty: 1 blank page)" "$W/zvspool.log"
gave_up() { grep -q "zv0051.zv: .*it was printed 4 times without success; it stays in ZV" "$W/zvspool.log"; }
check "a damaged job is tried four times, then kept for a person" wait_for 120 gave_up
kill -TERM "$ws_pid"; wait "$ws_pid"
check "in the server's words" \
  grep -q "zv0051.zv: CUPS job [0-9]* stopped by the print system (job-completed-with-errors.*the job is damaged" "$W/zvspool.log" \
  || grep zv0051 "$W/zvspool.log"
check "its file stays in ZV" test -e "$W/ZV/zv0051.zv"
check "and no job of it stands in the server's queue" \
  test -z "$(on_server lpstat -W not-completed -o office 2> /dev/null)"
wait_for 30 has_documents hall 2
check "the server's printer got the blank page, and nothing of the damaged job" \
  test "$(document_count hall)" -eq 2
finish
