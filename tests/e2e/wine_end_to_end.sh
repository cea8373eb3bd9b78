#!/usr/bin/env bash
# zvspool.exe, the native Windows build, under Wine with a display, printing through Wine's CUPS
# support to an IPP Everywhere printer: a job dropped into ZV arrives as a document whose text is
# the job's text, the job file is gone, zvspool.log beside ZV says so, and a second zvspool.exe on
# the same folder refuses to run, in the same session or another (a second Wine prefix); a folder
# whose zvspool.conf names another printer prints there, and a bad line in it stops the start.
#   wine_end_to_end.sh ZVSPOOL_EXE
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
source "$here/wine.sh"
enter_namespace "$0" "$@"
exe=$(realpath "$1")
for tool in cupsd ippeveprinter lpadmin dbus-daemon Xvfb xdotool pdftotext pdffonts; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; exit 1; }
done
wine_tools && polish_locale || exit 1

# Wine reads the printers when it starts: the scheduler must be up before.
start_system_bus || exit 1
start_printer office iso_a4_210x297mm || exit 1
start_scheduler || exit 1
add_queue office "$printer_uri" && lpadmin -d office || exit 1
start_printer back iso_a4_210x297mm && add_queue back "$printer_uri" || exit 1
Xvfb :77 -screen 0 1280x1024x24 > "$work/xvfb.log" 2>&1 &
export DISPLAY=:77
wait_for 10 xdotool getdisplaygeometry > /dev/null || { echo "Xvfb did not start"; exit 1; }

make_wine_prefix "$work/prefix" || exit 1

# As a user installs it: the program in the folder that holds ZV.
mkdir -p "$work/run/ZV"
cp "$exe" "$work/run/zvspool.exe"
printf 'Kartoteka \xa3\xf3d\x9f: Zam\xf3wienie 17\r\n\x1b\x07Razem\x1b\x08 123,45 z\xb3\r\n\x0cStrona druga\r\n' \
  > "$work/run/ZV/zv0001.zv"
(cd "$work/run" && exec wine zvspool.exe > "$work/zvspool.out" 2>&1) &

spool_empty() { [[ -z "$(ls -A "$work/run/ZV")" ]]; }
arrived() { [[ $(document_count office) -ge 1 ]]; }
check "the window exists" wait_for 30 bash -c 'xdotool search --name "Wydruk kartoteki ZV" > /dev/null'
# Made, then shown: it may take a moment to come onto the display.
check "and is on the display (as a window --no-window has not)" \
  wait_for 30 bash -c 'xdotool search --onlyvisible --name "Wydruk kartoteki ZV" > /dev/null'
# Its icon (title bar, Alt+Tab, taskbar) is the program's own, not Windows' generic one: the
# window manager gets it from the window class, as _NET_WM_ICON.
wid=$(xdotool search --name "Wydruk kartoteki ZV" | head -1)
icons=$(dirname "$exe")/packaging
check "the window carries the program's icon" python3 - "$(xprop -id "$wid" -notype 32c _NET_WM_ICON)" "$icons" <<'PY'
import os, subprocess, sys
values = [int(v) for v in sys.argv[1].split("=", 1)[1].replace(",", " ").split()]
best = None
while len(values) > 2:
    w, h = values[0], values[1]
    pixels, values = values[2:2 + w * h], values[2 + w * h:]
    png = os.path.join(sys.argv[2], "zvspool-%d.png" % w)
    if w != h or not os.path.exists(png):
        continue
    raw = subprocess.run(["/usr/bin/convert", png, "-depth", "8", "rgba:-"],
                         capture_output=True, check=True).stdout
    diff = 0
    for i, argb in enumerate(pixels):
        r, g, b, a = raw[4 * i:4 * i + 4]
        if a > 128:
            diff += abs(((argb >> 16) & 255) - r) + abs(((argb >> 8) & 255) - g) + abs((argb & 255) - b)
    best = diff / (3 * w * h)
    break
assert best is not None and best < 8, best
PY
check "the job leaves ZV" wait_for 60 spool_empty
check "a document reaches the printer" wait_for 60 arrived
text=$(text_of office)
check "with the job's Polish text" grep -q "Kartoteka Łódź: Zamówienie 17" <<< "$text"
check "its bold run on the second line" grep -q "Razem 123,45 zł" <<< "$text"
fonts=$(for f in $(documents_of office); do pdffonts "$f"; done)
check "in the bold face of Courier New" grep -qi "CourierNew.*Bold" <<< "$fonts"
check "beside its regular face" grep -qi "CourierNewPSMT" <<< "$fonts"
check "and its second page" grep -q "Strona druga" <<< "$text"
log=$work/run/zvspool.log
check "zvspool.log beside ZV says it started" grep -q "zvspool .* started in .*, watching .*ZV every 10 seconds; printer: \"office\"" "$log"
check "and that the job was printed" wait_for 5 grep -q "printed zv0001.zv (67 bytes, 2 pages) on \"office\"" "$log"
check "with Courier New installed, nothing is said of the fonts" bash -c "! grep -q 'do not keep the grid' '$log'"
check "and where Wine's spooler keeps the promise short" \
  grep -q "warning: under Wine the print spooler hands each job on to the print system (CUPS)" "$log"
(cd "$work/run" && timeout 60 wine zvspool.exe > /dev/null 2>&1); status=$?
check "a second zvspool.exe on the folder ends with 1" test $status -eq 1
check "bringing the running window forward, with no message to click away" \
  bash -c '! xdotool search --name "^zvspool$" > /dev/null'
(cd "$work/run" && timeout 60 wine zvspool.exe --status > "$work/status.out" 2>&1)
check "zvspool.exe --status names the running spooler" grep -q "^Spooler: .* on .*, pid [0-9]*, since " "$work/status.out"
# A folder no spooler watches: its job waits, and is listed.
mkdir -p "$work/other/ZV"
printf 'czeka\r\n' > "$work/other/ZV/zv0002.zv"
(cd "$work/other" && timeout 60 wine "$work/run/zvspool.exe" --status > "$work/status.out" 2>&1); status=$?
check "and lists the jobs of a folder" grep -q "^  zv0002.zv  7 bytes, written .*: \[no-spooler\] waiting: no zvspool watches the folder" "$work/status.out"
check "exiting 1: nothing prints it" test $status -eq 1
# That folder prints on the printer its zvspool.conf names.
printf 'printer = back\r\n' > "$work/other/zvspool.conf"
(cd "$work/other" && timeout 90 wine "$work/run/zvspool.exe" --once > /dev/null 2>&1); status=$?
check "a folder whose zvspool.conf names a printer prints" test $status -eq 0
back_has_it() { text_of back | grep -q czeka; }
check "on that printer" wait_for 60 back_has_it
check "and not on the default printer" test "$(document_count office)" -eq 1
check "its log names that printer" grep -q 'polls .*ZV once; printer: "back"' "$work/other/zvspool.log"
printf 'printer = back\r\noffset = 2.5\r\n' > "$work/other/zvspool.conf"
(cd "$work/other" && timeout 60 wine "$work/run/zvspool.exe" --once > /dev/null 2>&1); status=$?
check "a bad line in zvspool.conf ends the start with 2" test $status -eq 2
check "naming the line in zvspool.log" grep -q "zvspool.conf line 2: offset takes X,Y" "$work/other/zvspool.log"
# Started with its window, a start refused is seen: a message says why, and where the log is.
(cd "$work/other" && timeout 60 wine "$work/run/zvspool.exe" > /dev/null 2>&1) &
refused=$!
message=$(timeout 30 xdotool search --sync --name "^zvspool$" | head -1)
check "a start refused by zvspool.conf shows a message" test -n "$message"
answer_message "$refused" "$message"; status=$?
check "and, once read, ends with 2" test $status -eq 2
printf 'archive = C:\\archiwum\r\n' > "$work/other/zvspool.conf"
(cd "$work/other" && timeout 60 wine "$work/run/zvspool.exe" --once > /dev/null 2>&1); status=$?
check "the archive, made on Linux only, is refused on Windows" \
  bash -c "test $status -eq 2 && grep -q 'archive is made on Linux only' '$work/other/zvspool.log'"
check "saying so in the log, and who holds it" grep -q "error: another zvspool: .* on .*, pid .*, since .* already watches .*ZV; this one ends" "$log"
# Another session (another prefix, another wine server: nothing shared but the folder) is
# refused too: the claim is a lock on the folder's own file.
first_prefix=$WINEPREFIX
make_wine_prefix "$work/prefix2" || exit 1
# There the running window is not to be seen: a message names who holds the folder.
(cd "$work/run" && timeout 60 wine zvspool.exe > /dev/null 2>&1) &
second=$!
message=$(timeout 30 xdotool search --sync --name "^zvspool$" | head -1)
check "a zvspool.exe of another session shows a message" test -n "$message"
answer_message "$second" "$message"; status=$?
check "a zvspool.exe of another session ends with 1" test $status -eq 1
check "saying who holds the folder" test "$(grep -c "error: another zvspool: .* already watches" "$log")" -eq 2
wineserver -k
export WINEPREFIX=$first_prefix
check "the first one still has its window" bash -c 'xdotool search --name "Wydruk kartoteki ZV" > /dev/null'
cat "$log"
wineserver -k
# A Windows without "Courier New" (Wine's own fonts only): what its fonts cannot keep is said.
export WINEPREFIX=$work/prefix3
wineboot --init > "$work/prefix3.log" 2>&1 || { echo "wineboot failed"; cat "$work/prefix3.log"; }
mkdir -p "$work/bare/ZV"
printf 'bez czcionki\r\n' > "$work/bare/ZV/zv0003.zv"
(cd "$work/bare" && timeout 90 wine "$work/run/zvspool.exe" --once > /dev/null 2>&1)
check "without Courier New, the log says what the fonts cannot keep" \
  grep -q 'warning: the fonts on "office" do not keep the grid: .*(install "Courier New" where it prints)' "$work/bare/zvspool.log" \
  || cat "$work/bare/zvspool.log"
wineserver -k
# As the boot task starts it (--no-window): it prints, with nothing on the display, and
# --status and zvspool.log still tell. The first prefix, which has Courier New.
export WINEPREFIX=$first_prefix
mkdir -p "$work/night/ZV"
printf 'Noc\r\n' > "$work/night/ZV/zv0004.zv"
before=$(document_count office)
(cd "$work/night" && exec wine "$work/run/zvspool.exe" --no-window > /dev/null 2>&1) &
night=$!
check "--no-window: the job prints" wait_for 90 bash -c "[[ -z \$(ls -A '$work/night/ZV') ]]"
# The job leaves ZV as Wine's spooler takes it; CUPS and the printer take a moment more.
check "and reaches the printer" wait_for 60 has_documents office $((before + 1))
check "with no window on the display" bash -c '! xdotool search --onlyvisible --name "Wydruk kartoteki ZV" > /dev/null'
(cd "$work/night" && timeout 60 wine "$work/run/zvspool.exe" --status > "$work/night-status.out" 2>&1)
check "zvspool.exe --status names the spooler without a window" \
  grep -q "^Spooler: .* on .*, pid [0-9]*, since " "$work/night-status.out"
check "zvspool.log says it runs without a window" \
  grep -q "without a window (--no-window)" "$work/night/zvspool.log"
wineserver -k
wait "$night" 2> /dev/null
finish
