#!/usr/bin/env bash
# zvspool's command line and its one-spooler-per-folder rule, on a machine without a print
# system: --help and --version answer without spooling, a bad option or folder is refused, a
# folder given runs as if started there, and a second zvspool on a folder one already watches
# refuses, prints nothing and leaves the first to go on.
#   command_line.sh ZVSPOOL
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
hide_print_system

folder=$work/kartoteka
mkdir -p "$folder/ZV" "$work/elsewhere"
printf 'zlecenie z folderu\r\n' > "$folder/ZV/zv0001.zv"
pdfs() { ls "$HOME/PDF" 2>/dev/null | wc -l; }
cd "$folder"

out=$("$zvspool" --help 2> "$work/err"); status=$?
check "--help exits 0" test $status -eq 0
check "--help shows the usage" grep -q "^usage: zvspool" <<< "$out"
check "--help prints nothing" test "$(pdfs):$(ls ZV)" == "0:zv0001.zv"
out=$("$zvspool" --version 2> "$work/err"); status=$?
check "--version exits 0 and says the version" test "$status:$out" == "0:zvspool $(sed -n 's/^project(zvspool VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")"
"$zvspool" --bogus > /dev/null 2> "$work/err"; status=$?
check "an unknown option exits 2" test $status -eq 2
check "and shows the usage" grep -q "unknown option --bogus" "$work/err"
"$zvspool" "$folder" "$work" > /dev/null 2> "$work/err"; status=$?
check "two folders exit 2" test $status -eq 2
"$zvspool" "$work/no-such-folder" > /dev/null 2> "$work/err"; status=$?
check "a folder that is not there exits 1" test $status -eq 1
check "saying why" grep -q "cannot work in $work/no-such-folder: .*cannot find the path" "$work/err"
check "nothing was printed on the way" test "$(pdfs):$(ls ZV)" == "0:zv0001.zv"

cd "$work/elsewhere"
"$zvspool" --once "$folder" 2> "$work/once.log"; status=$?
check "FOLDER runs in that folder: its job is printed" test "$status:$(pdfs):$(ls "$folder/ZV")" == "0:1:"
check "the log names the folder" grep -q "polls $folder/ZV once" "$work/once.log"

printf 'drugie\r\n' > "$folder/ZV/zv0002.zv"
"$zvspool" "$folder" 2> "$work/first.log" &
first=$!
sleep 1
ln -s "$folder" "$work/link"
for name in "$folder" "$work/link"; do
  timeout 10 "$zvspool" "$name" 2> "$work/second.log"; status=$?
  check "a second zvspool on $name exits 1" test $status -eq 1
  check "saying so, and who, in one line" test "$(grep -c "another zvspool: $(id -un) on $(hostname -s), pid $first, since .* already watches $folder/ZV; this one ends" "$work/second.log"):$(wc -l < "$work/second.log")" == "1:1"
done
check "the second printed nothing" test "$(pdfs):$(ls "$folder/ZV")" == "1:zv0002.zv"
check "the first goes on" kill -0 $first
check "and prints the job at its first poll" wait_for 15 bash -c "[[ \$(ls '$HOME/PDF' | wc -l) -eq 2 ]]"
kill -TERM $first; wait $first

# --once ends on SIGTERM as the spooler does: the job in print abandoned and kept, exit 1.
printf 'DUZE FIRST\r\n' > "$folder/ZV/zv0003.zv"
head -c 25000000 /dev/urandom | tr -d '\000' >> "$folder/ZV/zv0003.zv"
"$zvspool" --once "$folder" 2> "$work/term.log" &
once_pid=$!
# Stopped at a known point: once it prints the job, which it holds open while it does.
printing() { [[ "$(readlink /proc/$once_pid/fd/* 2>/dev/null)" == *"$folder/ZV/zv0003.zv"* ]]; }
check "the big job is printing" wait_for 20 printing
kill -TERM $once_pid
stopped_at=$SECONDS
wait $once_pid; status=$?
check "--once ends on SIGTERM within 5 seconds" test $((SECONDS - stopped_at)) -le 5
check "with 1: the job in print was kept" test $status -eq 1
check "saying why" grep -q "kept zv0003.zv: abandoned: the program is ending" "$work/term.log"
check "and it stays in ZV, with no PDF of it" test "$(ls "$folder/ZV"):$(pdfs)" == "zv0003.zv:2"
rm "$folder/ZV/zv0003.zv"

mkdir -p "$work/empty"
"$zvspool" --once "$work/empty" 2> "$work/empty.log"
check "a folder without ZV is warned about" grep -q "warning: there is no folder ZV here" "$work/empty.log"
finish
