#!/usr/bin/env bash
# An office's set-up on a real scheduler with two A4 queues (4.23 mm margins): two folders, each
# printing to its own queue as its zvspool.conf says; the archive of what was printed, with its
# text, none for a job kept, and printing unharmed by a full archive disk; a page moved for
# pre-printed forms; 80 columns fitted to the queue's printable width; bad settings refused.
#   office_setup.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")

start_system_bus || exit 1
start_printer front iso_a4_210x297mm && front_uri=$printer_uri || exit 1
start_printer back iso_a4_210x297mm && back_uri=$printer_uri || exit 1
start_scheduler || exit 1
add_queue front "$front_uri" && add_queue back "$back_uri" && lpadmin -d front || exit 1

once() { # once FOLDER [OPTIONS...]: one poll there, its log in FOLDER/zvspool.log
  (cd "$1" && "$zvspool" --once "${@:2}" >> "$1/zvspool.log" 2>&1)
}
folder() { # folder NAME CONFIG_LINES...: a folder with ZV and its zvspool.conf
  mkdir -p "$work/$1/ZV"
  printf '%s\n' "${@:2}" > "$work/$1/zvspool.conf"
  echo "$work/$1"
}
# The first word of the last document a queue's printer received, as "xMin yMin xMax" in points.
first_word() {
  pdftotext -bbox "$(documents_of "$1" | tail -1)" - |
    sed -n 's/.*<word xMin="\([0-9.]*\)" yMin="\([0-9.]*\)" xMax="\([0-9.]*\)".*/\1 \2 \3/p' | head -1
}
# Polls FOLDER until its ZV is empty (a job leaves it once its printer says it printed it).
settle() { # settle FOLDER [OPTIONS...]
  local _
  for _ in $(seq 15); do
    [[ -z "$(ls "$1/ZV")" ]] && return 0
    once "$@"
    sleep 1
  done
  [[ -z "$(ls "$1/ZV")" ]]
}
printed() { wait_for 30 has_documents "$1" "$2"; } # printed QUEUE COUNT
near() { python3 -c "import sys; sys.exit(abs($1 - ($2)) > $3)"; }
at_most() { python3 -c "import sys; sys.exit(not $1 <= $2)"; }

# ---- Two folders, two queues ---------------------------------------------------------------------

archive=$work/archiwum
a=$(folder kartoteka "# the front desk" "printer = front" "archive = $archive")
b=$(folder magazyn "printer = back")
printf 'Dla recepcji\r\n' > "$a/ZV/zv0001.zv"
printf 'Dla magazynu\r\n' > "$b/ZV/zv0001.zv"
once "$a"
check "the front desk's job printed" test $? -eq 0
once "$b"
check "the store's job printed" test $? -eq 0
printed front 1 && printed back 1
check "each queue's printer got one document" test "$(document_count front):$(document_count back)" == "1:1"
check "the front desk's job reached its own queue" bash -c "pdftotext $(documents_of front) - | grep -q 'Dla recepcji'"
check "the store's job reached its own queue" bash -c "pdftotext $(documents_of back) - | grep -q 'Dla magazynu'"
check "the start line names the folder's printer and archive" \
  grep -q 'printer: "front".*; archive '"$archive" "$a/zvspool.log"

# ---- The archive ----------------------------------------------------------------------------------

copies=("$archive"/*.pdf)
check "the archive holds one copy" test "${#copies[@]}" -eq 1
check "named by the time, the folder and the job file" \
  bash -c "basename '${copies[0]}' | grep -Eq '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}-[0-9]{2}-[0-9]{2}_kartoteka_zv0001\.pdf$'"
check "with the job's text" bash -c "pdftotext '${copies[0]}' - | grep -q 'Dla recepcji'"
check "the same page as the printer's" \
  test "$(pdfinfo "${copies[0]}" | grep 'Page size')" == "$(pdfinfo "$(documents_of front)" | grep 'Page size')"

# A job the queue refuses is kept, and not archived.
cupsreject front
printf 'Odrzucone\r\n' > "$a/ZV/zv0002.zv"
once "$a"
check "a job the queue refuses is kept" test $? -eq 1
check "and has no copy in the archive" test "$(ls "$archive" | wc -l)" -eq 1
cupsaccept front
once "$a"
printed front 2
check "it prints once the queue takes jobs" test "$(document_count front)" -eq 2
check "and then has its copy" test "$(ls "$archive" | grep -c '_zv0002\.pdf$')" -eq 1

# Another folder of the same name shares the archive, and prints a job of the same name in the
# same second: the copy that finds its name taken takes the next, and overwrites nothing.
twin=$(folder drugi/kartoteka "printer = front" "archive = $archive")
now=$(date +%s)
for t in $(seq "$now" $((now + 20))); do
  echo stara > "$archive/$(date -d "@$t" +%Y-%m-%dT%H-%M-%S)_kartoteka_zv0009.pdf"
done
printf 'Druga kartoteka\r\n' > "$twin/ZV/zv0009.zv"
once "$twin"
check "a copy whose name is taken takes the next" \
  test "$(ls "$archive" | grep -c '_kartoteka_zv0009-2\.pdf$')" -eq 1
check "and the file there is left as it was" \
  test "$(cat "$archive"/*_kartoteka_zv0009.pdf | sort -u)" == stara
check "with its own job's text" bash -c "pdftotext '$archive/'*_zv0009-2.pdf - | grep -q 'Druga kartoteka'"
check "and nothing half written is left" test -z "$(ls -A "$archive" | grep -v '\.pdf$')"
rm -f "$archive"/*_zv0009*.pdf
printed front 3

# A full archive disk: the job prints and leaves ZV; the log says the copy is missing.
full=$work/pelny
mkdir -p "$full" && mount -t tmpfs -o size=64k tmpfs "$full"
dd if=/dev/zero of="$full/filler" bs=4k 2> /dev/null
c=$(folder pelne "printer = front" "archive = $full")
printf 'Mimo pelnego dysku\r\n' > "$c/ZV/zv0003.zv"
once "$c"
check "with the archive's disk full the job still prints" test $? -eq 0
printed front 4
check "once" test "$(document_count front)" -eq 4
check "and leaves ZV when printed" settle "$c"
check "the log says no copy was made, and why" \
  grep -q "zv0003.zv was printed, but no copy is in the archive $full: .*No space left on device" "$c/zvspool.log"
check "no half copy is left in the archive" test -z "$(ls "$full" | grep -v '^filler$')"

# ---- Forms that line up ---------------------------------------------------------------------------

d=$(folder formularze "printer = back")
printf '\r\nFORMULARZ\r\n' > "$d/ZV/zv0004.zv"
once "$d"
printed back 2
read -r x0 y0 _ <<< "$(first_word back)"
printf '\r\nFORMULARZ\r\n' > "$d/ZV/zv0005.zv"
once "$d" --offset 2.5,-1
printed back 3
read -r x1 y1 _ <<< "$(first_word back)"
# 2.5 mm and 1 mm in whole 600-dpi units: 59 and 24, that is 7.08 and 2.88 points.
check "--offset 2.5,-1 moves the text 2.5 mm right ($x0 -> $x1)" near "$x1 - $x0" 7.08 0.01
check "and 1 mm up ($y0 -> $y1)" near "$y1 - $y0" -2.88 0.01

# ---- Reports wider than the printable width -------------------------------------------------------

e=$(folder raporty "printer = back")
line=$(printf '%080d' 0 | tr 0 W)
printf '%s\r\n' "$line" > "$e/ZV/zv0006.zv"
once "$e"
printed back 4
check "80 columns at 10 cpi do not fit an A4 queue" grep -q "zv0006.zv: text outside the printable area" "$e/zvspool.log"
printf 'fit-columns = 80\n' >> "$e/zvspool.conf"
printf '%s\r\n' "$line" > "$e/ZV/zv0007.zv"
once "$e"
printed back 5
read -r x y right <<< "$(first_word back)"
# The printable area of the queue ends 4.23 mm short of the sheet's 595.28 points: at 583.08.
check "with fit-columns 80 the line ends inside the printable area (at $right)" at_most "$right" 583.08
check "nothing was cut" bash -c "! grep -q 'zv0007.zv: text outside' '$e/zvspool.log'"
check "the log says the scale" grep -q 'pages on "back" are printed at 98\.3 % to fit 80 columns' "$e/zvspool.log"

# ---- A printer that is not there --------------------------------------------------------------

g=$(folder gdzie "printer = nieznana")
printf 'Do nieznanej\r\n' > "$g/ZV/zv0009.zv"
once "$g"
check "a queue the scheduler does not know is refused at the start" test $? -eq 2
check "naming it with the queues there are, as lpstat -e lists them" \
  grep -q "error: printer = nieznana: there is no printer \"nieznana\"; the printers here: $(lpstat -e | sort | paste -sd, | sed 's/,/, /g'); zvspool does not start" "$g/zvspool.log"
check "and its job waits in ZV" test -f "$g/ZV/zv0009.zv"
# The queue as the desktop's printer settings name it (its description) is that queue.
lpadmin -p back -D "Drukarka w magazynie"
printf 'printer = Drukarka w magazynie\n' > "$g/zvspool.conf"
once "$g"
check "a queue named by its description prints" test $? -eq 0
printed back 6
check "and nothing went to the default printer" test "$(document_count front)" -eq 4

# ---- The built-in PDF printer's one name -----------------------------------------------------------

# "zvspool PDF" is the built-in printer wherever CUPS is: no queue can have a name with a space.
h=$(folder wlasny "printer = zvspool PDF")
printf 'Do pliku\r\n' > "$h/ZV/zv0010.zv"
(cd "$h" && HOME="$work/pdfhome" "$zvspool" --once >> "$h/zvspool.log" 2>&1)
check "printer = zvspool PDF writes the job to ~/PDF, CUPS running" test $? -eq 0
check "one PDF there, with the job" bash -c "pdftotext '$work'/pdfhome/PDF/*.pdf - | grep -q 'Do pliku'"
# PDF, its older name, is cups-pdf's queue's too: where a queue has it, the queue wins.
add_queue PDF "$back_uri"
printf 'printer = PDF\n' > "$h/zvspool.conf"
printf 'Do kolejki PDF\r\n' > "$h/ZV/zv0011.zv"
(cd "$h" && HOME="$work/pdfhome" "$zvspool" --once >> "$h/zvspool.log" 2>&1)
check "printer = PDF prints on a CUPS queue named PDF" test $? -eq 0
printed back 7
check "which reached that queue's printer" bash -c "pdftotext '$(documents_of back | tail -1)' - | grep -q 'Do kolejki PDF'"
check "and nothing more went to ~/PDF" test "$(ls "$work/pdfhome/PDF" | wc -l)" -eq 1
lpadmin -x PDF

# ---- Bad settings ---------------------------------------------------------------------------------

bad=$(folder zle "printer = front" "" "offset = 2.5")
out=$(cd "$bad" && "$zvspool" --once 2>&1); code=$?
check "a bad line in zvspool.conf exits 2" test $code -eq 2
check "naming the line" grep -q "zvspool.conf line 3: offset takes X,Y in millimetres" <<< "$out"
printf 'printer = front\nwhatever\n' > "$bad/zvspool.conf"
out=$(cd "$bad" && "$zvspool" --once 2>&1); code=$?
check "a line that is no setting exits 2, named" \
  bash -c "test $code -eq 2 && grep -q 'zvspool.conf line 2: \"whatever\" is not key = value' <<< '$out'"
printf 'colour = red\n' > "$bad/zvspool.conf"
out=$(cd "$bad" && "$zvspool" --once 2>&1); code=$?
check "an unknown key exits 2, named" \
  bash -c "test $code -eq 2 && grep -q 'zvspool.conf line 1: unknown option colour' <<< '$out'"
rm "$bad/zvspool.conf"
out=$(cd "$bad" && "$zvspool" --once --fit-columns many 2>&1); code=$?
check "a bad option value exits 2" bash -c "test $code -eq 2 && grep -q 'fit-columns takes' <<< '$out'"
printf 'offset = 1;1\n' > "$bad/zvspool.conf"
printf 'Nie drukowac\r\n' > "$bad/ZV/zv0008.zv"
out=$(cd "$bad" && "$zvspool" --once --offset x 2>&1); code=$?
check "the command line is checked after the file, and wins" \
  bash -c "test $code -eq 2 && grep -q 'offset takes' <<< '$out'"
check "nothing of a refused start was printed" test -f "$bad/ZV/zv0008.zv"
finish
