#!/usr/bin/env bash
# The real zvspool with a display (Xvfb): its window exists with its title, shows the twelve lines
# of the font sample in their bands, and a right click with "Drukuj" prints the test sheet. A job
# that cannot be printed for a while shows a line below the sample and a desktop notification (on a
# session bus of the test's own), both gone once it prints.
#   zvspool_window.sh ZVSPOOL [DOCS_DIR]   (DOCS_DIR: keep the screenshot and the printed sheet)
set -uo pipefail
here=$(dirname "$(realpath "$0")")
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
source "$here/common.sh"
zvspool=$(realpath "$1")
# ImageMagick's own tools: another "convert" may come first on PATH.
convert=/usr/bin/convert import=/usr/bin/import identify=/usr/bin/identify
docs=${2:-}

work=$(mktemp -d /tmp/zv-window.XXXXXX)
pids=()
stop_started() { local p; for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; }
trap 'stop_started; [[ -n "${ZV_KEEP:-}" ]] || rm -rf "$work"' EXIT
mkdir -p "$work/run/ZV" "$work/home"
export HOME="$work/home" PRINTER=PDF
unset LPDEST

# A session bus of its own, watched: what the desktop would be asked to show.
DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3> "$work/bus.pid")
export DBUS_SESSION_BUS_ADDRESS
dbus-monitor "interface='org.freedesktop.Notifications'" > "$work/bus.log" 2>&1 &
pids+=("$!" "$(cat "$work/bus.pid")")


# Stuck after a second here (5 minutes by default); a poll every second.
(cd "$work/run" && exec "$zvspool" --alarm-after 0.02 --poll-seconds 1 > "$work/zvspool.log" 2>&1) &
pid=$!
pids+=("$pid")

wid=$(timeout 10 xdotool search --sync --name "Wydruk kartoteki ZV" | head -1)
check "the window exists" test -n "$wid"
check "with its title" test "$(xdotool getwindowname "$wid" 2>/dev/null)" == "Wydruk kartoteki ZV"
sleep 1
"$import" -window "$wid" "$work/window.png"
width=$("$identify" -format %w "$work/window.png")
height=$("$identify" -format %h "$work/window.png")

# Darkest value in rows [from, from + 16) of the screenshot (the first one, or the file named
# second): 0 black, 1 white.
darkest() {
  "$convert" "${2:-$work/window.png}" -colorspace gray -crop "${width}x16+0+$1" +repage -format "%[fx:minima]" info:
}
inked=0
for k in $(seq 0 11); do
  [[ $(darkest $((k * 16))) == 0* ]] && inked=$((inked + 1))
done
check "twelve lines of text, one in every 16-pixel band (found $inked)" test "$inked" -eq 12
# Below the sample, where things stand: the folder, the printer, the jobs in ZV.
said=0
for k in 0 1 2; do
  [[ $(darkest $((208 + k * 16))) == 0* ]] && said=$((said + 1))
done
check "below it, three lines say where things stand (found $said)" test "$said" -eq 3
check "and nothing more while all is well" test "$(darkest $((208 + 3 * 16)))" == 1
check "the window is white behind the text" \
  test "$("$convert" "$work/window.png" -colorspace gray -format "%[fx:mean>0.6]" info:)" == 1

xdotool mousemove --window "$wid" 200 100 click 3
sleep 1
"$import" -window root "$work/menu.png"
xdotool key d
sheet_printed() { [[ $(ls "$HOME"/PDF/*.pdf 2>/dev/null | wc -l) -eq 1 ]]; }
check "right click and Drukuj print the test sheet" wait_for 10 sheet_printed
lines=$(pdftotext -layout "$HOME"/PDF/*.pdf - 2>/dev/null | grep -c -- "$sample_start")
check "the sheet has sixteen sample lines (found $lines)" test "$lines" -eq 16

if [[ -n "$docs" ]]; then
  mkdir -p "$docs"
  cp "$work/window.png" "$docs/window.png"
  pdftoppm -r 100 -png -singlefile -x 0 -y 0 -W 827 -H 300 "$HOME"/PDF/*.pdf "$docs/test-sheet"
fi

xdotool key Escape

# The built-in PDF printer cannot write (its folder is a file now): a job waits, and is stuck.
mv "$HOME/PDF" "$HOME/PDF.sheet" && touch "$HOME/PDF"
printf 'czeka\r\n' > "$work/run/ZV/zv0001.zv"
check "the log raises the alarm" wait_for 30 grep -q "zv0001.zv has waited" "$work/zvspool.log"
sleep 1
"$import" -window "$wid" "$work/alarm.png"
# Whether row band `2` (from 208) of screenshot `1` holds red text: the alarm's colour.
line_ink() {
  "$convert" "$1" -crop "${width}x16+0+$((208 + ${2:-0} * 16))" +repage \
    -fx "(r > 0.4 && g < 0.25) ? 1 : 0" -format "%[fx:maxima>0.5]" info:
}
check "the window shows a red line below the sample" test "$(line_ink "$work/alarm.png")" == 1
check "a long alarm wraps onto the next line, not cut at the window's edge" \
  test "$(line_ink "$work/alarm.png" 1)" == 1
check "the desktop is asked to show a notification" \
  wait_for 5 grep -q 'string "1 job waiting: kept: ' "$work/bus.log"
check "by the program's name" grep -q 'string "zvspool"' "$work/bus.log"
rm "$HOME/PDF" && mv "$HOME/PDF.sheet" "$HOME/PDF"
check "once the printer can print, the job prints" wait_for 25 bash -c "test ! -e '$work/run/ZV/zv0001.zv'"
sleep 1
"$import" -window "$wid" "$work/cleared.png"
check "and the red line is gone" test "$(line_ink "$work/cleared.png")" == 0
check "the job printed last is named below" test "$(darkest $((208 + 3 * 16)) "$work/cleared.png")" != 1

# Started again from the menu while it runs: the person who clicked is told who holds the folder.
(cd "$work/run" && exec "$zvspool" > "$work/second.log" 2>&1) &
second=$!
pids+=("$second")
dialog=$(timeout 10 xdotool search --sync --onlyvisible --pid "$second" --name '^zvspool$' | head -1)
check "a second start shows a message" test -n "$dialog"
check "and logs who holds the folder" grep -q "pid $pid, since .* already watches .*/run/ZV; this one ends" "$work/second.log"
answer_message "$second" "$dialog"
check "once the message is read, it ends with 1" test $? -eq 1
check "the first one runs on" kill -0 "$pid"

# SIGHUP reads zvspool.conf again, as daemons do: the log says what is in force, and it runs on.
printf '\xef\xbb\xbfquiet-seconds = 1,5  # półtorej sekundy\n' > "$work/run/zvspool.conf"
kill -HUP "$pid"
check "SIGHUP reads zvspool.conf again, and says what is in force" \
  wait_for 10 grep -q "zvspool.conf read again: now the default printer; a poll every 1 s; stuck after 1 s; job files taken after 1.5 s unchanged (before: " "$work/zvspool.log"
printf 'quiet-seconds = 1,5\noffset = 2,5\n' > "$work/run/zvspool.conf"
kill -HUP "$pid"
check "a file it cannot take is refused, and the settings stay" \
  wait_for 10 grep -q 'error: zvspool.conf line 2: offset = 2,5 is ambiguous.*; the settings stay as they were' "$work/zvspool.log"
check "it runs on" kill -0 "$pid"

# Closed with a job waiting: the log names the job left in ZV.
mv "$HOME/PDF" "$HOME/PDF.sheet" && touch "$HOME/PDF"
printf 'zostaje\r\n' > "$work/run/ZV/zv0002.zv"
wait_for 10 grep -q "zv0002.zv" "$work/zvspool.log"
kill -TERM "$pid"
wait "$pid"
check "SIGTERM ends it with exit code 0" test $? -eq 0
check "and the log names the job it leaves waiting" \
  grep -q "zvspool ends with 1 job left waiting in ZV: zv0002.zv; they are printed when it starts again" "$work/zvspool.log"
rm "$HOME/PDF" && mv "$HOME/PDF.sheet" "$HOME/PDF"

# A start that fails is seen: with a display, a message says why and where the log is.
printf 'offset = 2,5\n' > "$work/run/zvspool.conf"
(cd "$work/run" && ZVSPOOL_LOG="$work/failed.log" exec "$zvspool" 2> /dev/null) &
refused=$!
pids+=("$refused")
dialog=$(timeout 10 xdotool search --sync --onlyvisible --pid "$refused" --name '^zvspool$' | head -1)
check "a start refused by zvspool.conf shows a message" test -n "$dialog"
"$import" -window "$dialog" "$work/failed.png" 2> /dev/null
check "and the log has the reason, with its line" grep -q "error: zvspool.conf line 1: offset = 2,5 is ambiguous" "$work/failed.log"
answer_message "$refused" "$dialog"
check "once read, it ends with 2" test $? -eq 2

# In a Polish desktop session (GTK takes the locale from the environment) numbers keep their dot:
# the settings read as written, and the log says them so.
# The locale made where it is missing, as for Wine (root only).
if [[ $(id -u) -eq 0 ]]; then
  (source "$here/wine.sh" && polish_locale)
fi
if locale -a | grep -qix 'pl_PL.utf8'; then
  mkdir -p "$work/pl/ZV"
  printf 'offset = 2.5,-1\nquiet-seconds = 0,5\n' > "$work/pl/zvspool.conf"
  (cd "$work/pl" && LC_ALL=pl_PL.UTF-8 LANG=pl_PL.UTF-8 "$zvspool" --once > "$work/pl.log" 2>&1)
  check "under pl_PL.UTF-8, offset = 2.5,-1 is read as written" \
    grep -q "offset 2.5 mm right, -1 mm down; job files taken after 0.5 s unchanged" "$work/pl.log" \
    || cat "$work/pl.log"
else
  echo "skipped: no pl_PL.UTF-8 locale here, and making one needs root"
fi
finish
