#!/usr/bin/env bash
# zvspool.exe, the native Windows build, under Wine and Xvfb, printing through Wine's CUPS support
# to an IPP Everywhere printer: a job dropped into ZV arrives as a document titled "ZV: Printing"
# whose text is the job's text, and the job file is gone.
#   wine_end_to_end.sh ZVSPOOL_EXE
set -uo pipefail
here=$(dirname "$(realpath "$0")")
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: starting cupsd and adding a queue needs root"
  exit 77
fi
if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
source "$here/common.sh"
exe=$(realpath "$1")
for tool in wine wineboot wineserver cupsd ippeveprinter lpadmin dbus-daemon dbus-send xdotool pdftotext; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; exit 1; }
done

# With a Polish locale Wine's ANSI code page is 1250, the one the job files are written in.
if ! locale -a | grep -qix 'pl_PL.utf8'; then
  sed -i 's/^# *pl_PL.UTF-8 UTF-8/pl_PL.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^pl_PL.UTF-8 UTF-8' /etc/locale.gen || echo 'pl_PL.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen > /dev/null || { echo "locale-gen failed"; exit 1; }
fi

work=$(mktemp -d /tmp/zv-wine.XXXXXX)
trap 'wineserver -k 2>/dev/null; stop_print_system; rm -rf "$work"' EXIT
# Wine reads the printers when it starts: the scheduler must be up before.
start_print_system "$work" || exit 1

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=pl_PL.UTF-8 LC_ALL=pl_PL.UTF-8
wineboot --init > "$work/wineboot.log" 2>&1
for face in "Courier New" "Courier New Bold"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ \
    /d "Liberation Mono${face#Courier New}" /f > /dev/null 2>&1
done
wineserver -w

# As a user installs it: the program in the folder that holds ZV.
mkdir -p "$work/run/ZV"
cp "$exe" "$work/run/zvspool.exe"
printf 'Kartoteka \xa3\xf3d\x9f: Zam\xf3wienie 17\r\n\x1b\x07Razem\x1b\x08 123,45 z\xb3\r\n\x0cStrona druga\r\n' \
  > "$work/run/ZV/zv0001.zv"
(cd "$work/run" && exec wine zvspool.exe > "$work/zvspool.log" 2>&1) &
pids+=($!)

spool_empty() { [[ -z "$(ls -A "$work/run/ZV")" ]]; }
arrived() { [[ $(received) -ge 1 ]]; }
check "the window exists" wait_for 30 bash -c 'xdotool search --name "Wydruk kartoteki ZV" > /dev/null'
check "the job leaves ZV" wait_for 60 spool_empty
check "a document reaches the printer" wait_for 60 arrived
check "titled ZV: Printing" test "$(job_names)" == "ZV: Printing"
text=$(received_text)
check "with the job's Polish text" grep -q "Kartoteka Łódź: Zamówienie 17" <<< "$text"
check "its bold run on the second line" grep -q "Razem 123,45 zł" <<< "$text"
check "and its second page" grep -q "Strona druga" <<< "$text"
finish
