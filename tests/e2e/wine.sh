# Shared by the scripts that run Windows programs under Wine: a prefix of the test's own, with the
# Polish code page and a real "Courier New" family.
wine_tools() {
  local tool
  for tool in wine wineboot wineserver; do
    command -v "$tool" > /dev/null || { echo "missing $tool (scripts/install-deps.sh test)"; return 1; }
  done
  /usr/bin/python3 -c 'import fontTools' 2> /dev/null \
    || { echo "missing python3-fonttools (scripts/install-deps.sh test)"; return 1; }
}

# With a Polish locale Wine's ANSI code page is 1250, the one the job files are written in.
polish_locale() {
  if ! locale -a | grep -qix 'pl_PL.utf8'; then
    sed -i 's/^# *pl_PL.UTF-8 UTF-8/pl_PL.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^pl_PL.UTF-8 UTF-8' /etc/locale.gen || echo 'pl_PL.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen > /dev/null || { echo "locale-gen failed"; return 1; }
  fi
  export LANG=pl_PL.UTF-8 LC_ALL=pl_PL.UTF-8
}

# A new prefix in DIR whose fonts folder holds a "Courier New" family made from Liberation Mono,
# as a Windows machine has it; Wine reads the printers when it starts, so the scheduler must be up.
make_wine_prefix() { # make_wine_prefix DIR
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot --init > "$1.log" 2>&1 || { echo "wineboot failed"; cat "$1.log"; return 1; }
  /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/courier_new.py" "$WINEPREFIX/drive_c/windows/Fonts" \
    || return 1
  local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts'
  wine reg add "$key" /v "Courier New (TrueType)" /t REG_SZ /d cour.ttf /f > /dev/null 2>&1
  wine reg add "$key" /v "Courier New Bold (TrueType)" /t REG_SZ /d courbd.ttf /f > /dev/null 2>&1
  wineserver -w
}
