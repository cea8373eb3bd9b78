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
