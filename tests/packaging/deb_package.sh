#!/usr/bin/env bash
# The Debian package as users get it: made by CPack from a build, checked by lintian, installed
# with dpkg into a root of its own, and the installed programs, man pages, desktop entries and
# icon used from there.
#   deb_package.sh DEB
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/../e2e/common.sh"
deb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(sed -n 's/^project(zvspool VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
arch=$(dpkg --print-architecture)

check "CPack makes zvspool_${version}_$arch.deb" test -f "$deb"
[[ -f $deb ]] || { finish; exit 1; }

dpkg-deb --field "$deb" Depends Recommends > "$work/fields"
check "it depends on the printer fonts" grep -q "^Depends: .*fonts-liberation" "$work/fields"
check "and on the libraries it links (dpkg-shlibdeps)" \
  grep -Eq "^Depends: .*libcups2 .*|^Depends: .*libgtk-3-0" "$work/fields"
check "it recommends cups" grep -q "^Recommends: cups$" "$work/fields"
check "apt can install it with what it depends on" \
  bash -c "apt-get install --simulate --no-install-recommends '$deb' > '$work/apt.log' 2>&1"

# lintian: no errors. Its warnings are printed for the log; the README lists the ones kept.
lintian --tag-display-limit 0 "$deb" > "$work/lintian" 2>&1
cat "$work/lintian"
check "lintian finds no errors" bash -c "! grep -q '^E: ' '$work/lintian'"

# dpkg -i into a root of its own: a dpkg database there, and nothing of the machine changed.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless \
  --log=/dev/null -i "$deb" > "$work/dpkg.log" 2>&1 || cat "$work/dpkg.log"
check "dpkg installs it" test "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' zvspool)" \
  == "install ok installed"
usr=$root/usr
out=$("$usr/bin/zvspool" --version 2>&1)
check "the installed zvspool --version works" test "$out" == "zvspool $version"
out=$("$usr/bin/zv-render" --version 2>&1)
check "the installed zv-render --version works" test "$out" == "zv-render $version"
check "the programs and the CUPS filter are stripped" \
  bash -c "file '$usr/bin/zvspool' '$usr/bin/zv-render' '$usr/lib/cups/filter/zvtopdf' | grep -c ', stripped' | grep -qx 3"
out=$("$usr/lib/cups/filter/zvtopdf" --version 2>&1)
check "the installed filter zvtopdf --version works" test "$out" == "zvtopdf $version"
check "its type and conversion are where the scheduler reads them" \
  grep -q "^application/vnd.zv	application/pdf	[0-9]*	zvtopdf$" "$usr/share/cups/mime/zvspool.convs"
for page in zvspool.1 zv-render.1 zvtopdf.8; do
  MANWIDTH=80 man -l "$usr/share/man/man${page##*.}/$page.gz" > "$work/$page.txt" 2> "$work/$page.err"
  check "man -l $page renders" grep -q "^NAME" "$work/$page.txt"
  check "man -l $page says nothing on stderr" bash -c "! [[ -s '$work/$page.err' ]]"
done
check "the man page shows the job codes" grep -q "ESC" "$work/zvspool.1.txt"
for entry in share/applications/zvspool.desktop; do
  check "the desktop entry validates" desktop-file-validate "$usr/$entry"
  check "it names the icon" grep -qx "Icon=zvspool" "$usr/$entry"
done
check "the autostart entry is installed" test -f "$root/etc/xdg/autostart/zvspool.desktop"
for entry in "$usr/share/applications/zvspool.desktop" "$root/etc/xdg/autostart/zvspool.desktop"; do
  check "${entry##*/share/}: nothing starts once the program is gone" grep -qx "TryExec=zvspool" "$entry"
  check "${entry##*/share/}: it starts in the home folder, its log beside ZV" \
    grep -Eq '^Exec=sh -c ".*cd && ZVSPOOL_LOG=zvspool.log exec zvspool"$' "$entry"
  check "${entry##*/share/}: it validates" desktop-file-validate "$entry"
done
# One way of starting at login: the autostart entry steps aside where the user unit is enabled.
# The command as the desktop reads it: the string's \\ is \, and in the quoted argument \$ is $.
exec_line=$(sed -n 's/^Exec=sh -c "\(.*\)"$/\1/p' "$root/etc/xdg/autostart/zvspool.desktop" |
  sed 's/\\\\/\\/g; s/\\\$/$/g')
mkdir -p "$work/fakebin"
# systemctl as the entry asks it: ZV_UNIT_ENABLED for the units asked after by the user's manager,
# 0 for the system's ZV_ENABLED_UNIT.
printf '#!/bin/sh\necho "$@" >> "%s/systemctl.log"\n[ "$1" != --user ] && [ "$3" = "${ZV_ENABLED_UNIT:-}" ] && exit 0\nexit "${ZV_UNIT_ENABLED:-1}"\n' "$work" > "$work/fakebin/systemctl"
printf '#!/bin/sh\necho "started in $(pwd), log $ZVSPOOL_LOG" >> "%s/started.log"\n' "$work" > "$work/fakebin/zvspool"
chmod +x "$work/fakebin/systemctl" "$work/fakebin/zvspool"
(HOME=$work ZV_UNIT_ENABLED=0 PATH="$work/fakebin:$PATH" sh -c "$exec_line")
check "the autostart entry starts nothing while the user unit is enabled" test ! -e "$work/started.log"
check "having asked systemd about the unit" grep -q -- "--user -q is-enabled zvspool.service" "$work/systemctl.log"
home_unit="zvspool@$(systemd-escape --path "$work").service"
: > "$work/systemctl.log"
(HOME=$work ZV_UNIT_ENABLED=1 ZV_ENABLED_UNIT=$home_unit PATH="$work/fakebin:$PATH" sh -c "$exec_line")
check "nor while the system's instance for the home folder is" test ! -e "$work/started.log"
check "(the user's is asked after too)" grep -q -- "--user -q is-enabled zvspool.service $home_unit" "$work/systemctl.log"
(HOME=$work ZV_UNIT_ENABLED=1 PATH="$work/fakebin:$PATH" sh -c "$exec_line")
check "and starts zvspool in the home folder, logging beside ZV, where it is not" \
  grep -qx "started in $work, log zvspool.log" "$work/started.log"
check "the calibration sheet is installed" cmp -s "$usr/share/zvspool/calibration.zv" "$here/../../samples/calibration.zv"
check "the scalable icon is in hicolor" test -f "$usr/share/icons/hicolor/scalable/apps/zvspool.svg"
check "and the 48 px one, a real 48 x 48 PNG" \
  bash -c "file '$usr/share/icons/hicolor/48x48/apps/zvspool.png' | grep -q '48 x 48'"
check "the user unit is installed" test -f "$usr/lib/systemd/user/zvspool.service"
check "the unit starts the installed program" \
  grep -qx "ExecStart=/usr/bin/zvspool" "$usr/lib/systemd/user/zvspool.service"
check "the template unit, one instance per folder, is installed" \
  grep -qx "ExecStart=/usr/bin/zvspool %f" "$usr/lib/systemd/user/zvspool@.service"
if command -v systemd-analyze > /dev/null; then
  # verify wants the program where the unit names it: the package's tree stands in for /usr.
  sed "s#/usr/bin/zvspool#$usr/bin/zvspool#" "$usr/lib/systemd/user/zvspool@.service" \
    > "$work/zvspool@.service"
  cp "$work/zvspool@.service" "$work/zvspool@home-anna-kartoteka.service"
  mkdir -p -m 700 "$work/runtime"
  # Its documentation is looked up too: the package's man pages.
  check "the template unit and an instance of it pass systemd-analyze verify" \
    env MANPATH="$usr/share/man" XDG_RUNTIME_DIR="$work/runtime" systemd-analyze verify --user \
    "$work/zvspool@.service" "$work/zvspool@home-anna-kartoteka.service"
fi
check "the README and copyright are in its doc folder" \
  test -f "$usr/share/doc/zvspool/README.md" -a -f "$usr/share/doc/zvspool/copyright"

# The installed zv-render prints the sample job from there.
"$usr/bin/zv-render" -o "$work/sample.pdf" "$here/../../samples/sample.zv" > /dev/null 2>&1
check "the installed zv-render prints the sample" \
  bash -c "pdftotext '$work/sample.pdf' - | grep -q 'Zażółć gęślą jaźń'"
finish
