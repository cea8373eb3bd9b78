# Shared by the end-to-end scripts: checks that count, waiting, and processes stopped by pid.
passed=0
failed=0
pids=()

check() { # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then
    echo "PASS $name"; passed=$((passed + 1))
  else
    echo "FAIL $name"; failed=$((failed + 1))
  fi
}

wait_for() { # wait_for SECONDS COMMAND...
  local until=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS >= until)) && return 1
    sleep 0.2
  done
}

stop_started() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
}

finish() {
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}

# True when this machine has a print system for the built-in PDF printer to give way to.
have_print_system() {
  [[ -n "${CUPS_SERVER:-}" || -S /run/cups/cups.sock || -S /var/run/cups/cups.sock ]] && return 0
  grep -qis '^ *ServerName' /etc/cups/client.conf "$HOME/.cups/client.conf" 2>/dev/null && return 0
  (echo > /dev/tcp/127.0.0.1/631) 2>/dev/null
}

# The sample line of the test sheet as pdftotext shows it.
sample_start="ąćęłńóśźżĄĆĘŁŃÓŚŹŻ--ij1234567890"

system_bus_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetId > /dev/null 2>&1
}

# A bus that died (or one this script stopped earlier) leaves its socket and pid file behind; the
# socket alone does not mean a bus is there, and the pid file keeps a new one from starting.
start_system_bus() { # start_system_bus WORKDIR
  system_bus_answers && return 0
  rm -f /run/dbus/system_bus_socket /run/dbus/pid
  mkdir -p /run/dbus
  dbus-daemon --system --fork --print-pid > "$1/dbus.pid" || { echo "dbus-daemon failed"; return 1; }
  pids+=("$(cat "$1/dbus.pid")")
  started_bus=1
  wait_for 10 system_bus_answers || { echo "the system bus does not answer"; return 1; }
}

# Starts what printing through CUPS needs, all stopped by stop_started: a system bus (ippeveprinter
# will not start without one), an IPP Everywhere printer keeping each document in $printer_dir,
# and the scheduler (unless one runs already), with a queue to the printer as the default
# destination. Sets $printer_uri and $queue; removes the queue at exit through stop_print_system.
start_print_system() { # start_print_system WORKDIR
  local work=$1
  printer_dir="$work/printer"
  queue="zvtest$$"
  old_default=$(lpstat -d 2>/dev/null | sed -n 's/^system default destination: //p')
  mkdir -p "$printer_dir"
  start_system_bus "$work" || return 1
  local port=18631
  while (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  printer_uri="ipp://localhost:$port/ipp/print"
  ippeveprinter -n localhost -p "$port" -d "$printer_dir" -k -c /bin/true -f application/pdf \
    -r off "ZV Test Printer $$" > "$work/ippeveprinter.log" 2>&1 &
  pids+=($!)
  if ! lpstat -r 2>/dev/null | grep -q "is running"; then
    cupsd -f > "$work/cupsd.log" 2>&1 &
    pids+=($!)
  fi
  wait_for 20 bash -c 'lpstat -r 2>/dev/null | grep -q "is running"' \
    || { echo "cupsd did not start"; cat "$work/cupsd.log"; return 1; }
  wait_for 20 bash -c "ipptool -q $printer_uri get-printer-attributes.test 2> /dev/null" \
    || { echo "ippeveprinter did not start"; cat "$work/ippeveprinter.log"; return 1; }
  lpadmin -p "$queue" -E -v "$printer_uri" -m everywhere -o PageSize=A4 && lpadmin -d "$queue" \
    || { echo "lpadmin failed"; return 1; }
  cat > "$work/jobs.test" <<'IPP'
{
  OPERATION Get-Jobs
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR keyword which-jobs all
  ATTR keyword requested-attributes job-id,job-name
  STATUS successful-ok
  DISPLAY job-name
}
IPP
  jobs_test="$work/jobs.test"
}

stop_print_system() {
  [[ -n "${queue:-}" ]] && lpadmin -x "$queue" 2>/dev/null
  [[ -n "${old_default:-}" ]] && lpadmin -d "$old_default" 2>/dev/null
  stop_started
  [[ -n "${started_bus:-}" ]] && rm -f /run/dbus/system_bus_socket /run/dbus/pid
  return 0
}

# Documents the test printer has received, their titles (one a line), and all their text.
received() { ls "$printer_dir"/*.pdf 2>/dev/null | wc -l; }
job_names() { ipptool -c "$printer_uri" "$jobs_test" | tail -n +2; }
received_text() { for f in "$printer_dir"/*.pdf; do pdftotext -layout "$f" - 2>/dev/null; done; }
