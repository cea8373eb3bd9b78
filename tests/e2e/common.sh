# Shared by the end-to-end scripts: checks that count, waiting, a namespace of the test's own, and
# a print system set up the way users set theirs up (a fresh scheduler, queues made with lpadmin
# from what the printer says of itself).
passed=0
failed=0

check() { # check NAME COMMAND...: fails as the command does
  local name=$1; shift
  if "$@"; then
    echo "PASS $name"; passed=$((passed + 1))
  else
    echo "FAIL $name"; failed=$((failed + 1))
    return 1
  fi
}

wait_for() { # wait_for SECONDS COMMAND...
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS >= until)) && return 1
    sleep 0.2
  done
}

finish() {
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}

# Runs the calling script again in namespaces of its own (mounts, network, process ids): the bus,
# scheduler and printers it starts are fresh, collide with nothing on the machine, and end with
# it. /run and CUPS's folders are empty, /etc/cups is a copy without queues, and the network has
# only loopback; /tmp is empty too, and goes with the namespace. The checkout (and the programs
# built in it) stay where they are, also when they live under /tmp. Call first thing:
# enter_namespace "$0" "$@".
enter_namespace() {
  if [[ -z "${ZV_IN_NAMESPACE:-}" ]]; then
    if [[ $(id -u) -ne 0 ]]; then
      echo "skipped: a namespace with its own scheduler needs root"
      exit 77
    fi
    # Every path the script was given, resolved now, so it can be carried into the new /tmp.
    local keep=("$(realpath "$(dirname "${BASH_SOURCE[0]}")/../..")") arg
    for arg in "${@:2}"; do [[ -e "$arg" ]] && keep+=("$(realpath "$(dirname "$arg")")"); done
    exec env ZV_IN_NAMESPACE=1 ZV_KEEP_PATHS="$(printf '%s\n' "${keep[@]}")" \
      unshare --mount --net --pid --fork --kill-child --mount-proc bash "$@"
  fi
  set -e
  ip link set lo up
  mount -t tmpfs tmpfs /run
  mkdir /run/zv-host-tmp
  mount --rbind /tmp /run/zv-host-tmp
  for d in /tmp /var/spool/cups /var/cache/cups /var/log/cups; do
    mkdir -p "$d" && mount -t tmpfs tmpfs "$d"
  done
  local kept
  while IFS= read -r kept; do
    if [[ $kept == /tmp/* ]]; then
      mkdir -p "$kept"
      mount --rbind "/run/zv-host-tmp/${kept#/tmp/}" "$kept"
    fi
  done <<< "${ZV_KEEP_PATHS:-}"
  mkdir -p /var/spool/cups/tmp
  chown root:lp /var/spool/cups /var/spool/cups/tmp
  chmod 0710 /var/spool/cups && chmod 1770 /var/spool/cups/tmp
  work=$(mktemp -d /tmp/zv-e2e.XXXXXX)
  mkdir "$work/etc-cups"
  cp -a /etc/cups/. "$work/etc-cups/"
  rm -f "$work"/etc-cups/{printers.conf,classes.conf,lpoptions,subscriptions.conf} "$work"/etc-cups/ppd/*
  mount --bind "$work/etc-cups" /etc/cups
  chmod 1777 /tmp
  mkdir -p "$work/home"
  export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_STATE_HOME="$work/state"
  mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
  unset PRINTER LPDEST CUPS_SERVER DISPLAY WAYLAND_DISPLAY JOURNAL_STREAM
  set +e
}

# As on a machine where no print system was ever installed: the scheduler's program is gone.
hide_print_system() {
  mount --bind /dev/null /usr/sbin/cupsd
}

start_system_bus() {
  mkdir -p /run/dbus
  dbus-daemon --system --fork > /dev/null || { echo "dbus-daemon failed"; return 1; }
}

# A media-col value: size in hundredths of a millimetre, margins of 1/6 inch as laser printers
# have them.
media_col() { # media_col WIDTH LENGTH
  echo "{ MEMBER collection media-size { MEMBER integer x-dimension $1 MEMBER integer y-dimension $2 }" \
    "MEMBER integer media-bottom-margin 423 MEMBER integer media-left-margin 423" \
    "MEMBER integer media-right-margin 423 MEMBER integer media-top-margin 423 }"
}

# An IPP Everywhere printer on loopback that takes PDF, A4 and Letter, and whose loaded paper (its
# default) is MEDIA; it keeps every document it receives in $work/printer-NAME. Sets printer_uri.
start_printer() { # start_printer NAME iso_a4_210x297mm|na_letter_8.5x11in
  local name=$1 media=$2 port=18631 a4 letter default
  while (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  a4=$(media_col 21000 29700) letter=$(media_col 21590 27940)
  default=$a4
  [[ $media == na_letter* ]] && default=$letter
  mkdir -p "$work/printer-$name"
  cat > "$work/printer-$name.conf" <<CONF
ATTR mimeMediaType document-format-supported application/pdf
ATTR keyword media-default $media
ATTR keyword media-ready $media
ATTR keyword media-supported iso_a4_210x297mm,na_letter_8.5x11in
ATTR collection media-col-default $default
ATTR collection media-col-ready $default
ATTR collection media-col-database $a4,$letter
ATTR collection media-size-supported { MEMBER integer x-dimension 21000 MEMBER integer y-dimension 29700 },{ MEMBER integer x-dimension 21590 MEMBER integer y-dimension 27940 }
ATTR keyword media-col-supported media-size,media-bottom-margin,media-left-margin,media-right-margin,media-top-margin
ATTR resolution printer-resolution-default 600dpi
ATTR resolution printer-resolution-supported 600dpi
ATTR integer media-bottom-margin-supported 423
ATTR integer media-left-margin-supported 423
ATTR integer media-right-margin-supported 423
ATTR integer media-top-margin-supported 423
CONF
  ippeveprinter -n localhost -p "$port" -d "$work/printer-$name" -k -c /bin/true -r off \
    -a "$work/printer-$name.conf" "ZV Test Printer $name" > "$work/printer-$name.log" 2>&1 &
  printer_uri="ipp://localhost:$port/ipp/print"
  wait_for 20 bash -c "(echo > /dev/tcp/127.0.0.1/$port) 2> /dev/null" \
    || { echo "ippeveprinter did not start"; cat "$work/printer-$name.log"; return 1; }
}

scheduler_runs() { lpstat -r 2>/dev/null | grep -q "is running"; }

start_scheduler() {
  cupsd -f >> "$work/cupsd.log" 2>&1 &
  wait_for 20 scheduler_runs || { echo "cupsd did not start"; cat "$work/cupsd.log"; return 1; }
}

# Stops the scheduler; its socket goes with it.
stop_scheduler() {
  local pid
  pid=$(cat /run/cups/cupsd.pid 2>/dev/null) || return 0
  kill "$pid" 2>/dev/null
  wait_for 20 bash -c "! kill -0 $pid 2>/dev/null"
  rm -f /run/cups/cups.sock
}

# A print server in the network namespace "server" (made by the caller, ADDRESS on it): Debian's
# cupsd.conf listening on ADDRESS too, for clients of the whole network, and a scheduler with a
# mount namespace of its own (its configuration, spool, cache, socket and logs under
# $work/server, which R names), so a client reaches it only over the network. Lines for
# cupsd.conf may be added to $R/etc/cupsd.conf before it starts.
make_print_server() { # make_print_server ADDRESS
  server_address=$1 R=$work/server
  mkdir -p "$R/etc" "$R/spool/tmp" "$R/cache" "$R/run" "$R/log" /run/cups
  cp -a /etc/cups/. "$R/etc/"
  chown root:lp "$R/spool" "$R/spool/tmp" && chmod 0710 "$R/spool" && chmod 1770 "$R/spool/tmp"
  sed -e "s/^Listen localhost:631\$/&\nListen $1:631\nServerAlias */" \
    -e '/^<Location/,/^<\/Location>/s/^  Order allow,deny$/&\n  Allow all/' \
    /etc/cups/cupsd.conf > "$R/etc/cupsd.conf"
}
# Starts the server's cupsd. server_pid is cupsd's own (every step execs the next): a kill -9 of
# it is a crash of the server.
start_server() {
  ip netns exec server unshare --mount --propagation private bash -c '
    mount --bind "$1/etc" /etc/cups && mount --bind "$1/spool" /var/spool/cups &&
    mount --bind "$1/cache" /var/cache/cups && mount --bind "$1/run" /run/cups &&
    mount --bind "$1/log" /var/log/cups && exec cupsd -f' - "$R" >> "$R/cupsd.log" 2>&1 &
  server_pid=$!
  wait_for 30 server_up \
    || { echo "the server's cupsd did not start"; cat "$R/cupsd.log" "$R"/log/error_log; return 1; }
}
server_up() {
  [[ $(cat "/proc/$server_pid/comm" 2>/dev/null) == cupsd ]] &&
    lpstat -h "$server_address" -r 2>/dev/null | grep -q "is running"
}
# Administration is done on the server itself, as its root.
on_server() { nsenter -t "$server_pid" --net --mount -- "$@"; }

# A queue made as users make one: lpadmin with the printer's own description (IPP Everywhere),
# so its PPD and its default paper are the printer's.
add_queue() { # add_queue QUEUE PRINTER_URI
  lpadmin -p "$1" -E -v "$2" -m everywhere || { echo "lpadmin failed"; return 1; }
}

# The documents a test printer received, in the order they came.
documents_of() { ls -tr "$work/printer-$1"/*.pdf 2>/dev/null; }
document_count() { documents_of "$1" | wc -l; }
has_documents() { (($(document_count "$1") >= $2)); } # has_documents QUEUE COUNT, for wait_for
text_of() { local f; for f in $(documents_of "$1"); do pdftotext -layout "$f" - 2>/dev/null; done; }


# The sample line of the test sheet as pdftotext shows it.
sample_start="ąćęłńóśźżĄĆĘŁŃÓŚŹŻ--ij1234567890"

# Presses Return on the message box WINDOW until its program PID goes (on a loaded machine the
# first key may come before the box takes keys); returns the program's exit status.
answer_message() { # answer_message PID WINDOW
  for _ in $(seq 20); do
    kill -0 "$1" 2>/dev/null || break
    xdotool windowfocus --sync "$2" 2>/dev/null
    xdotool key Return 2>/dev/null
    sleep 1
  done
  wait "$1"
}
