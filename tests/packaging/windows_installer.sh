#!/usr/bin/env bash
# The Windows installer under Wine, as an administrator runs it unattended: installed into a
# folder whose ZV already holds a job, it puts the program and README.txt in Program Files, a
# Start-menu and a Startup shortcut that start zvspool in that folder, the folder's printer in its
# zvspool.conf, and an Add/Remove Programs entry; run again for a second folder, it adds that
# folder's shortcuts and printer and leaves the first; uninstalled, all it installed is gone and
# the job and the folders' settings are still there. A folder printed from boot gets a task at
# system start in place of the Startup shortcut, and the uninstaller removes it.
#   windows_installer.sh ZVSPOOL_SETUP_EXE ARGV_RECORDER_EXE
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/../e2e/common.sh"
setup=$(realpath "$1")
recorder=$(realpath "$2")
version=$(basename "$setup" | sed -n 's/^zvspool-\(.*\)-setup\.exe$/\1/p')
[[ -n $version ]] || { echo "not an installer's name: $setup"; exit 1; }
for tool in wine wineboot wineserver python3 wrestool strings; do
  command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; exit 1; }
done

work=$(mktemp -d /tmp/zv-installer.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() { wineserver -k 2> /dev/null; rm -rf "$work"; }
trap cleanup EXIT
wineboot --init > "$work/wineboot.log" 2>&1 || { echo "wineboot failed"; cat "$work/wineboot.log"; exit 1; }
# Wine starts no Task Scheduler of its own; while its services start, their database is locked.
schedule_runs() {
  timeout 60 wine net start schedule > "$work/schedule.log" 2>&1
  grep -Eq "started successfully|already been started" "$work/schedule.log"
}
wineserver -w; wait_for 30 schedule_runs || cat "$work/schedule.log"

c=$WINEPREFIX/drive_c
folder=$c/kartoteka
mkdir -p "$folder/ZV"
printf 'Kartoteka\r\n\x0c' > "$folder/ZV/zv0001.zv"
job_sum=$(md5sum < "$folder/ZV/zv0001.zv")
program=$c/Program\ Files/zvspool
start_menu=$c/ProgramData/Microsoft/Windows/Start\ Menu/Programs
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\zvspool'

# The Shell Link fields of a .lnk (MS-SHLLINK): its target's local path and, from StringData, its
# working directory, one "name=value" a line.
lnk_fields() { # lnk_fields FILE.lnk
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
assert struct.unpack_from("<I", data, 0)[0] == 0x4C, "not a Shell Link"
flags = struct.unpack_from("<I", data, 20)[0]
HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH, HAS_WORKING_DIR, IS_UNICODE = (
    1, 2, 4, 8, 16, 128)
at = 0x4C
if flags & HAS_ID_LIST:
    at += 2 + struct.unpack_from("<H", data, at)[0]
if flags & HAS_LINK_INFO:
    size, _, info_flags, _, base_at, _, suffix_at = struct.unpack_from("<7I", data, at)
    if info_flags & 1:  # VolumeIDAndLocalBasePath
        def ansi(offset):
            return data[at + offset:data.index(b"\0", at + offset)].decode("cp1252")
        print("target=" + ansi(base_at) + ansi(suffix_at))
    at += size
def string():
    global at
    count = struct.unpack_from("<H", data, at)[0]
    at += 2
    if flags & IS_UNICODE:
        text = data[at:at + 2 * count].decode("utf-16-le"); at += 2 * count
    else:
        text = data[at:at + count].decode("cp1252"); at += count
    return text.rstrip("\0")  # Wine counts a terminating NUL that Windows leaves out
if flags & HAS_NAME:
    print("description=" + string())
if flags & HAS_RELATIVE_PATH:
    print("relative_path=" + string())
if flags & HAS_WORKING_DIR:
    print("working_dir=" + string())
PY
}
field() { sed -n "s/^$1=//p" <<< "$2"; }
same_path() { [[ "${1,,}" == "${2,,}" ]]; }   # Windows paths: case does not count

started=$SECONDS
(cd "$work" && timeout 60 wine "$setup" /S '/FOLDER=C:\kartoteka' '/PRINTER=Recepcja' > "$work/setup.log" 2>&1); status=$?
check "the silent install ends with 0" test $status -eq 0
check "zvspool.exe is in Program Files\\zvspool" bash -c "[[ \$(head -c 2 '$program/zvspool.exe') == MZ ]]"
check "it carries its icon group" bash -c "wrestool -l '$program/zvspool.exe' | grep -q 'type=group_icon'"
check "and its version, the one the installer registers" bash -c \
  "strings -el '$program/zvspool.exe' | grep -A1 -x ProductVersion | tail -1 | grep -qx '$version'"
readme=$program/README.txt
check "README.txt beside it, with CRLF line ends" bash -c \
  "grep -q zvspool.log '$readme' && [[ \$(grep -c \$'\\r\$' '$readme') -eq \$(wc -l < '$readme') ]]"
check "and the uninstaller" test -f "$program/Uninstall.exe"
check "the Start-menu shortcut exists" test -f "$start_menu/zvspool.lnk"
check "the Startup shortcut exists" test -f "$start_menu/StartUp/zvspool.lnk"
for lnk in "$start_menu/zvspool.lnk" "$start_menu/StartUp/zvspool.lnk"; do
  name=${lnk#"$start_menu/"}
  fields=$(lnk_fields "$lnk" 2> "$work/lnk.err") || cat "$work/lnk.err"
  check "$name starts in C:\\kartoteka" same_path "$(field working_dir "$fields")" 'C:\kartoteka'
  check "$name points at the installed zvspool.exe" \
    same_path "$(field target "$fields")" 'C:\Program Files\zvspool\zvspool.exe'
done
check "the folder's printer is in its zvspool.conf" grep -q $'^printer = Recepcja\r$' "$folder/zvspool.conf"
check "ZV and its job are as they were" bash -c "[[ \$(md5sum < '$folder/ZV/zv0001.zv') == '$job_sum' ]]"
check "the default folder was not used" test ! -e "$c/ZV-kartoteka"
entry=$(wine reg query "$key" 2> /dev/null | tr -d '\r')
check "the Add/Remove Programs entry exists" grep -q "DisplayName.*REG_SZ.*zvspool" <<< "$entry"
check "with the version" grep -qE "DisplayVersion +REG_SZ +${version//./\\.}\$" <<< "$entry"
check "and the uninstaller's command" grep -qi 'UninstallString.*REG_SZ.*"C:\\Program Files\\zvspool\\Uninstall.exe"' <<< "$entry"

# A second folder, with its own printer: its own shortcuts, the first folder's left as they were.
store=$c/magazyn
mkdir -p "$store"
printf 'printer = Stary\r\n' > "$store/zvspool.conf"
(cd "$work" && timeout 60 wine "$setup" /S '/FOLDER=C:\magazyn' '/PRINTER=Magazyn' > "$work/setup2.log" 2>&1); status=$?
check "installing for a second folder ends with 0" test $status -eq 0
check "it makes that folder's ZV" test -d "$store/ZV"
check "its settings, there before, are left as they were" grep -qx $'printer = Stary\r' "$store/zvspool.conf"
for lnk in "$start_menu/zvspool (magazyn).lnk" "$start_menu/StartUp/zvspool (magazyn).lnk"; do
  name=${lnk#"$start_menu/"}
  fields=$(lnk_fields "$lnk" 2> "$work/lnk.err") || cat "$work/lnk.err"
  check "$name starts in C:\magazyn" same_path "$(field working_dir "$fields")" 'C:\magazyn'
done
for lnk in "$start_menu/zvspool.lnk" "$start_menu/StartUp/zvspool.lnk"; do
  check "${lnk#"$start_menu/"} still starts in C:\kartoteka" \
    same_path "$(field working_dir "$(lnk_fields "$lnk")")" 'C:\kartoteka'
done
check "the first folder stays the registered one" \
  grep -qi 'ZvFolder.*REG_SZ.*C:\\kartoteka' <<< "$(wine reg query "$key" 2> /dev/null | tr -d '\r')"

# A third folder printed from boot, as a user, with nobody logged in: a task of the Task Scheduler
# (Wine's runs no task at boot, but keeps the tasks registered as Windows does, as files).
# A folder whose name has an ampersand, which XML must escape.
night="$c/noc&dzien"
(cd "$work" && timeout 60 wine "$setup" /S '/FOLDER=C:\noc&dzien' '/BOOTUSER=anna' > "$work/setup3.log" 2>&1); status=$?
check "installing with /BOOTUSER ends with 0" test $status -eq 0
task="$c/windows/system32/tasks/zvspool at boot (noc&dzien)"
check "it registers the task \"zvspool at boot (noc&dzien)\"" test -f "$task"
# Wine stores a task without its trigger, principal and action: those are read from the XML the
# installer registered, which it keeps beside the program.
check "as the Task Scheduler has it: no time limit, one at a time, on batteries too" \
  bash -c "grep -q '<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>' '$task' &&
           grep -q '<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>' '$task' &&
           grep -q '<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>' '$task'"
registered="$program/zvspool at boot (noc&dzien).xml"
xml=$(iconv -f utf-16 -t utf-8 "$registered")
check "started at boot" grep -q "<BootTrigger>" <<< "$xml"
check "as anna, storing no password (S4U)" \
  bash -c "grep -q '<UserId>anna</UserId>' <<< '$xml' && grep -q '<LogonType>S4U</LogonType>' <<< '$xml'"
check "running zvspool.exe --no-window in the folder" \
  bash -c "grep -qi '<Command>C:.Program Files.zvspool.zvspool.exe</Command>' <<< '$xml' &&
           grep -q '<Arguments>--no-window</Arguments>' <<< '$xml' &&
           grep -qi '<WorkingDirectory>C:.noc&amp;dzien</WorkingDirectory>' <<< '$xml'"
check "for as long as it runs, restarted when it fails" \
  bash -c "grep -q '<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>' <<< '$xml' && grep -q '<RestartOnFailure>' <<< '$xml'"
check "and no Startup shortcut for that folder: one zvspool a folder" \
  test ! -e "$start_menu/StartUp/zvspool (noc&dzien).lnk" -a -f "$start_menu/zvspool (noc&dzien).lnk"
# Installed again for that folder without /BOOTUSER (an upgrade): the task stays, still alone.
(cd "$work" && timeout 60 wine "$setup" /S '/FOLDER=C:\noc&dzien' > "$work/setup4.log" 2>&1); status=$?
check "installed again without /BOOTUSER, the task stays" test $status -eq 0 -a -f "$task" -a -f "$registered"
check "and no Startup shortcut comes beside it" test ! -e "$start_menu/StartUp/zvspool (noc&dzien).lnk"

# As Windows runs it: the uninstaller copies itself to the temporary folder, starts the copy and
# returns; the copy is done when the prefix has no program left. (_?=DIR would run it in place,
# but Wine quotes an argument with a space, and NSIS then does not see it.)
(cd "$work" && timeout 60 wine "$program/Uninstall.exe" /S > "$work/uninstall.log" 2>&1); status=$?
check "the silent uninstall starts" test $status -eq 0
timeout 60 wineserver -w
check "the uninstall ends" test $? -eq 0
check "zvspool.exe is gone" test ! -e "$program/zvspool.exe"
check "README.txt is gone" test ! -e "$program/README.txt"
check "the uninstaller and Program Files\\zvspool are gone" test ! -e "$program"
check "the Start-menu shortcut is gone" test ! -e "$start_menu/zvspool.lnk"
check "the Startup shortcut is gone" test ! -e "$start_menu/StartUp/zvspool.lnk"
check "and the second folder's shortcuts" \
  test ! -e "$start_menu/zvspool (magazyn).lnk" -a ! -e "$start_menu/StartUp/zvspool (magazyn).lnk"
check "the boot task is gone, and its XML" test ! -e "$task" -a ! -e "$registered"
check "the folders' settings stay" test -f "$folder/zvspool.conf" -a -f "$store/zvspool.conf"
check "the Add/Remove Programs entry is gone" bash -c "! wine reg query '$key' > /dev/null 2>&1"
check "the job is still in ZV, unchanged" bash -c "[[ \$(md5sum < '$folder/ZV/zv0001.zv') == '$job_sum' ]]"
# The boot task's password reaches schtasks.exe as it was given, a backslash at its end too, which
# a double-quoted argument must double. A recorder of its arguments stands in for schtasks.exe,
# where a 32-bit installer finds it (SysWOW64) and a 64-bit one (System32).
for dir in system32 syswow64; do
  [[ -e $c/windows/$dir/schtasks.exe ]] && cp "$recorder" "$c/windows/$dir/schtasks.exe"
done
password='p\q\'
(cd "$work" && ZV_ARGV_RECORD='C:\schtasks.args' WINEDLLOVERRIDES="mscoree,mshtml=;schtasks.exe=n" \
   timeout 60 wine "$setup" /S '/FOLDER=C:\haslo' /BOOTUSER=anna "/BOOTPASSWORD=$password" \
   > "$work/setup5.log" 2>&1)
given=$(tr -d '\r' < "$c/schtasks.args" 2> /dev/null)
check "a boot password reaches schtasks.exe as given (${password})" \
  test "$(sed -n '/^\/RP$/{n;p}' <<< "$given")" == "$password" || echo "$given"
check "with the user it is for" test "$(sed -n '/^\/RU$/{n;p}' <<< "$given")" == anna
echo "install and uninstall took $((SECONDS - started)) s"
finish
