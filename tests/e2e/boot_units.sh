#!/usr/bin/env bash
# Printing with nobody logged in, from the package: its system unit zvspool@.service passes
# systemd-analyze verify (with an instance), and what the unit starts, zvspool-as-owner, started
# as systemd starts it (as root, its standard error the journal's stream), runs zvspool as the
# user who owns the folder, with that user's home: the job prints into that user's PDF folder,
# the log keeps its journal priorities, SIGHUP (systemctl reload) reads its zvspool.conf again and
# SIGTERM (systemctl stop) ends it with exit 0. A folder
# of root's, or none, is refused with exit 1, which the unit does not restart.
#   boot_units.sh DEB
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
deb=$(realpath "$1")
dpkg-deb -x "$deb" "$work/package"
pkg=$work/package
unit=$pkg/usr/lib/systemd/system/zvspool@.service
check "the package installs the system unit" test -f "$unit"
check "it starts zvspool-as-owner on the instance's folder" \
  grep -qx "ExecStart=/usr/lib/zvspool/zvspool-as-owner %f" "$unit"
check "and is wanted at boot, not at a login" grep -qx "WantedBy=multi-user.target" "$unit"

# The package's tree stands in for /usr, where verify and the helper look for the programs.
sed "s#/usr/lib/zvspool/#$pkg/usr/lib/zvspool/#" "$unit" > "$work/zvspool@.service"
cp "$work/zvspool@.service" "$work/zvspool@home-anna-kartoteka.service"
sed "s#/usr/bin/zvspool#$pkg/usr/bin/zvspool#" "$pkg/usr/lib/zvspool/zvspool-as-owner" > "$work/as-owner"
chmod 755 "$work/as-owner"
if command -v systemd-analyze > /dev/null; then
  check "the system template and an instance of it pass systemd-analyze verify" \
    env MANPATH="$pkg/usr/share/man" SYSTEMD_LOG_LEVEL=notice systemd-analyze verify \
    "$work/zvspool@.service" "$work/zvspool@home-anna-kartoteka.service"
fi

# A user of this namespace's own: anna, who owns the folder.
cp /etc/passwd "$work/passwd" && cp /etc/group "$work/group"
echo "anna:x:4242:4242:Anna:$work/anna:/bin/sh" >> "$work/passwd"
echo "anna:x:4242:" >> "$work/group"
mount --bind "$work/passwd" /etc/passwd && mount --bind "$work/group" /etc/group
chmod 755 "$work"
mkdir -p "$work/anna" "$work/kartoteka/ZV"
printf 'printer = "zvspool PDF"\npoll-seconds = 1\nquiet-seconds = 0\n' > "$work/kartoteka/zvspool.conf"
printf 'KARTOTEKA z rozruchu\r\n' > "$work/kartoteka/ZV/zv0001.zv"
chown -R anna:anna "$work/anna" "$work/kartoteka"

# As systemd starts it: as root, standard error the journal's stream.
journal=$work/journal.log
: > "$journal"
env -i PATH=/usr/bin:/bin JOURNAL_STREAM="$(stat -c %d:%i "$journal")" \
  "$work/as-owner" "$work/kartoteka" 2>> "$journal" &
pid=$!
printed() { compgen -G "$work/anna/PDF/*.pdf" > /dev/null; }
check "it prints the folder's job" wait_for 30 printed
check "as the folder's owner, not root" test "$(stat -c %u "/proc/$pid")" == 4242
check "with the owner's home: the PDF folder is anna's" test "$(stat -c %U "$work/anna/PDF")" == anna
check "and the job's file leaves ZV" wait_for 20 test ! -e "$work/kartoteka/ZV/zv0001.zv"
check "its state folder is anna's too" test -d "$work/anna/.local/state/zvspool"
check "the log lines carry journal priorities" grep -q "^<6>.*printed zv0001.zv" "$journal"
# systemctl reload: the unit's ExecReload sends SIGHUP, which reads zvspool.conf again.
reload=$(sed -n 's/^ExecReload=//p' "$unit")
check "the unit reloads with SIGHUP" test "$reload" == '/bin/kill -HUP $MAINPID'
printf 'printer = "zvspool PDF"\npoll-seconds = 2\nquiet-seconds = 0\n' > "$work/kartoteka/zvspool.conf"
MAINPID=$pid bash -c "${reload/\$MAINPID/$pid}"
check "reloaded, it reads zvspool.conf again" \
  wait_for 20 grep -q "zvspool.conf read again: now .*a poll every 2 s" "$journal"
kill -TERM "$pid"
wait "$pid"
check "SIGTERM ends it with exit 0" test $? -eq 0

mkdir -p "$work/roots/ZV"
"$work/as-owner" "$work/roots" 2> "$work/roots.err"
status=$?
check "a folder of root's is refused with exit 1 ($(cat "$work/roots.err"))" \
  bash -c "[[ $status == 1 ]] && grep -q 'belongs to root' '$work/roots.err'"
"$work/as-owner" "$work/none" 2> "$work/none.err"
status=$?
check "so is a folder that is not there" bash -c "[[ $status == 1 ]] && grep -q 'no such folder' '$work/none.err'"
check "and the unit does not restart on exit 1" grep -qx "RestartPreventExitStatus=1 2" "$unit"
finish
