#!/usr/bin/env bash
# An office at scale: one print server (cupsd with Debian's defaults and ErrorPolicy retry-job,
# three IPP Everywhere queues made with lpadmin -m everywhere) in a network namespace of its own,
# and WORKSTATIONS workstations, each a network namespace of its own on a bridge to it, each
# running one zvspool daemon as its own user with CUPS_SERVER naming the server, their jobs
# dropped over a few minutes. While they print: one queue stopped "Brak papieru" for a while, the
# server's cupsd killed -9 twice under load, one printer killed and started again. Counted at
# the printers (their kept documents are the paper): every job printed once or kept for a person
# with the log saying why; none handed twice by zvspool where it printed, none lost, none printed
# and still in ZV; copies the server ran twice itself counted apart (a job it ran again after a
# crash, from its own records). And what the spoolers cost the server: its subscriptions at their
# most, its requests, the log lines per job.
#   office_at_scale.sh ZVSPOOL [WORKSTATIONS [JOBS_EACH]]
# ZV_OFFICE_SERVER=durable sets the server up as the README advises (DirtyCleanInterval 0,
# SyncOnClose Yes): then no job is kept. ZV_OFFICE_LOGS=DIR keeps the logs.
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/common.sh"
enter_namespace "$0" "$@"
zvspool=$(realpath "$1")
stations=${2:-20}
jobs_each=${3:-20}
source "$here/faults.sh"
counter_proves_itself
start_system_bus || exit 1
started_at=$SECONDS

# --- The server -------------------------------------------------------------------------------
ip link add zvbr type bridge && ip addr add 10.78.0.254/16 dev zvbr && ip link set zvbr up || exit 1
ip netns add server || exit 1
ip link add zv-srv type veth peer name eth0 netns server || exit 1
ip link set zv-srv master zvbr && ip link set zv-srv up || exit 1
ip -n server addr add 10.78.0.1/16 dev eth0 && ip -n server link set eth0 up \
  && ip -n server link set lo up || exit 1
# Debian's cupsd.conf (its error policy retries a job a printer failed rather than stop the
# queue), reachable from the office's network, every request in its access log to be counted.
make_print_server 10.78.0.1
echo "AccessLogLevel all" >> "$R/etc/cupsd.conf"
# ZV_OFFICE_SERVER=durable: the server set up as the README advises, writing every change of a
# job at once and to the disk.
if [[ ${ZV_OFFICE_SERVER:-} == durable ]]; then
  echo "DirtyCleanInterval 0" >> "$R/etc/cupsd.conf"
  echo "SyncOnClose Yes" >> "$R/etc/cups-files.conf"
fi
cat > "$work/subscriptions.test" <<'TEST'
{
  OPERATION Get-Subscriptions
  GROUP operation
  ATTR charset attributes-charset utf-8
  ATTR language attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name root
  ATTR boolean my-subscriptions false
  STATUS successful-ok
  STATUS client-error-not-found
  DISPLAY notify-subscription-id
}
TEST
on_server_ns() { ip netns exec server "$@"; }
# The printers live in the server's network namespace too, each its own ippeveprinter.
start_office_printer() { # start_office_printer NAME: sets printer_uri
  local uri
  uri=$(on_server_ns bash -c "source '$here/common.sh'; work='$work'; start_printer $1 iso_a4_210x297mm > /dev/null && echo \$printer_uri; echo \$! > '$work/printer-$1.pid'") || return 1
  printer_uri=$uri
}
start_server || exit 1
queues=(parter pietro magazyn)
for q in "${queues[@]}"; do
  start_office_printer "$q" || exit 1
  echo "$printer_uri" > "$work/printer-$q.uri"
  on_server lpadmin -p "$q" -E -v "$printer_uri" -m everywhere || exit 1
done
# The server as one that has run a while: its queues stored by a restart.
kill "$server_pid"; wait "$server_pid"
start_server || exit 1

# --- The workstations -------------------------------------------------------------------------
chmod 755 "$work"
for i in $(seq "$stations"); do
  ws=ws$(printf %02d "$i")
  ip netns add "$ws" || exit 1
  ip link add "v$ws" type veth peer name eth0 netns "$ws" || exit 1
  ip link set "v$ws" master zvbr && ip link set "v$ws" up || exit 1
  ip -n "$ws" addr add "10.78.1.$i/16" dev eth0 && ip -n "$ws" link set eth0 up \
    && ip -n "$ws" link set lo up || exit 1
  W=$work/$ws
  mkdir -p "$W/ZV" "$W/home/.cups" "$W/state" "$W/runtime"
  # Each workstation's user is its own, to the server too.
  echo "User $ws" > "$W/home/.cups/client.conf"
  # The reports are 80 columns wide, the A4 queues' printable width a little less.
  echo "fit-columns = 80" > "$W/zvspool.conf"
  queue=${queues[$(((i - 1) % ${#queues[@]}))]}
  echo "$queue" > "$W/queue"
  (cd "$W" && exec ip netns exec "$ws" env CUPS_SERVER=10.78.0.1 PRINTER="$queue" HOME="$W/home" \
     XDG_STATE_HOME="$W/state" XDG_RUNTIME_DIR="$W/runtime" "$zvspool" >> "$W/zvspool.log" 2>&1) &
  echo $! > "$W/pid"
done

# --- The jobs, and the faults while they print ------------------------------------------------
# Each workstation drops its jobs one by one, a second or two apart, each under a name of its own
# written whole first (as the card-index program's rename makes them whole).
produce() { # produce WS
  local W=$work/$1 n
  for n in $(seq "$jobs_each"); do
    job "$W/.job.tmp" "${1^^}J$n" 1
    mv "$W/.job.tmp" "$W/ZV/zv$(printf %04d "$n").zv"
    sleep "$((1 + RANDOM % 2)).$((RANDOM % 10))"
  done
}
producers=()
for i in $(seq "$stations"); do produce "ws$(printf %02d "$i")" & producers+=($!); done
subscriptions_most=0
count_subscriptions() {
  local n
  n=$(ipptool -t "ipp://10.78.0.1/" "$work/subscriptions.test" 2>/dev/null | grep -c "notify-subscription-id")
  ((n > subscriptions_most)) && subscriptions_most=$n
  peak_kb server_peak "$server_pid"
}
# The most memory a process has had, in kB, kept in the variable VAR when larger.
peak_kb() { # peak_kb VAR PID
  local kb
  kb=$(awk '/^VmHWM/ { print $2 }' "/proc/$2/status" 2>/dev/null)
  [[ -n $kb ]] && ((kb > ${!1})) && printf -v "$1" %s "$kb"
}
server_peak=0 spooler_peak=0
# The faults, spread over the time the jobs come in (about two seconds a job): a quarter in, the
# second queue runs out of paper and the server crashes; halfway, the third printer dies for ten
# seconds; three quarters in, the paper is back; at seven eighths the server crashes again.
span=$((jobs_each * 2))
at() { sleep "$(awk -v t="$1" -v s="$SECONDS" -v z="$faults_from" 'BEGIN { d = t - (s - z); print (d > 0 ? d : 0) }')"; }
crash_server() {
  count_subscriptions
  kill -9 "$server_pid"; wait "$server_pid" 2>/dev/null
  start_server
}
faults_from=$SECONDS
at $((span / 4))
on_server cupsdisable -r "Brak papieru" pietro
crash_server || exit 1
at $((span / 2))
kill "$(cat "$work/printer-magazyn.pid")" 2>/dev/null
# Started again it numbers its documents from 1 anew: what it printed before is kept apart.
wait_for 10 on_server_ns bash -c "! (echo > /dev/tcp/127.0.0.1/$(sed 's/.*:\([0-9]*\)\/.*/\1/' "$work/printer-magazyn.uri")) 2>/dev/null"
mv "$work/printer-magazyn" "$work/printer-magazyn-before"
sleep 10
start_office_printer magazyn || exit 1
count_subscriptions
at $((span * 3 / 4))
on_server cupsenable pietro
at $((span * 7 / 8))
crash_server || exit 1
wait "${producers[@]}"
produced_at=$SECONDS

# --- Until the office is quiet: every ZV empty, or unchanged for 60 s -----------------------------
state_now() { for i in $(seq "$stations"); do ls "$work/ws$(printf %02d "$i")/ZV"; done | md5sum; }
last=$(state_now) still=0
while ((still < 60 && SECONDS - produced_at < 600)); do
  sleep 5
  count_subscriptions
  now=$(state_now)
  if [[ $now == "$last" ]]; then still=$((still + 5)); else still=0 last=$now; fi
  left=$(for i in $(seq "$stations"); do ls "$work/ws$(printf %02d "$i")/ZV"; done | wc -l)
  ((left == 0)) && break
done
drained_at=$SECONDS
peak_kb server_peak "$server_pid"
spoolers=()
for i in $(seq "$stations"); do spoolers+=("$(cat "$work/ws$(printf %02d "$i")/pid")"); done
for pid in "${spoolers[@]}"; do peak_kb spooler_peak "$pid"; done
kill -TERM "${spoolers[@]}" 2>/dev/null
wait "${spoolers[@]}"

# --- The tally -------------------------------------------------------------------------------
papers=()
for q in "${queues[@]}"; do papers+=("$work/printer-$q"); done
papers+=("$work/printer-magazyn-before")
counts=$(all_copies "${papers[@]}")
once=0 twice_ours=0 twice_server=0 lost=0 kept=0 printed_kept=0 unexplained=0 parts=0 total=0
for i in $(seq "$stations"); do
  ws=ws$(printf %02d "$i") W=$work/ws$(printf %02d "$i")
  for n in $(seq "$jobs_each"); do
    tag=${ws^^}J$n file=zv$(printf %04d "$n").zv
    total=$((total + 1))
    read -r whole partial <<< "$(awk -v t="$tag" '$1 == t { print $2, $3; f = 1 } END { if (!f) print 0, 0 }' <<< "$counts")"
    parts=$((parts + partial))
    handed=$(grep -o "handed $file (.*CUPS job [0-9]*" "$W/zvspool.log" | sed 's/.*CUPS job //' | sort -u | wc -l)
    if [[ -e $W/ZV/$file ]]; then
      kept=$((kept + 1))
      # A job kept for a person is one the server lost in a crash before its end was seen: the log
      # says why. One it printed is counted apart; so is any other job still here.
      if grep -q "$file: .*for a person to see to" "$W/zvspool.log"; then
        ((whole > 0)) && printed_kept=$((printed_kept + 1))
      else
        unexplained=$((unexplained + 1)); echo "still in ZV, not kept for a person: $tag"
        grep "$file" "$W/zvspool.log" | tail -3
      fi
    elif ((whole == 1)); then
      once=$((once + 1))
    elif ((whole == 0)); then
      lost=$((lost + 1)); echo "lost: $tag"
    elif ((handed > 1)); then
      twice_ours=$((twice_ours + 1)); echo "handed $handed times by zvspool, printed $whole times: $tag"
      grep "$file" "$W/zvspool.log" | tail -5
    else
      twice_server=$((twice_server + 1)); echo "run $whole times by the server: $tag"
    fi
  done
done
lines=$(cat "$work"/ws*/zvspool.log | wc -l)
warnings=$(cat "$work"/ws*/zvspool.log | grep -c "warning:")
requests=$(wc -l < "$R/log/access_log" 2>/dev/null || echo 0)
echo
echo "| server | workstations | jobs | once | twice, zvspool's | twice, the server's | lost | kept for a person (printed before) | drained | jobs/s | log lines (warnings) per job | subscriptions at most | server requests | peak memory, server / a spooler |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
server_kind=${ZV_OFFICE_SERVER:-"Debian's defaults"}
echo "| $server_kind | $stations | $total | $once | $twice_ours | $twice_server | $lost | $kept ($printed_kept) | $((drained_at - produced_at)) s after the last job | $(awk -v n="$total" -v t="$((drained_at - faults_from))" 'BEGIN { printf "%.1f", n / t }') | $(awk -v l="$lines" -v w="$warnings" -v n="$total" 'BEGIN { printf "%.1f (%.2f)", l / n, w / n }') | $subscriptions_most | $requests | $((server_peak / 1024)) MiB / $((spooler_peak / 1024)) MiB |"
check "$total jobs: none handed twice by zvspool where it printed ($twice_ours), none lost ($lost), none in part ($parts)" \
  test "$twice_ours:$lost:$parts" == "0:0:0"
check "every job still in ZV is kept for a person, the log saying why ($unexplained not)" test "$unexplained" -eq 0
# A server that writes each change of a job at once loses none in a crash: nothing is kept.
[[ ${ZV_OFFICE_SERVER:-} == durable ]] && check "on a durable server no job is kept ($kept)" test "$kept" -eq 0
check "one subscription at most for each workstation ($subscriptions_most)" test "$subscriptions_most" -le "$stations"
echo "the run took $((SECONDS - started_at)) s"
# ZV_OFFICE_LOGS=DIR keeps the logs of the run (a folder outside /tmp, which goes with the test).
if [[ -n ${ZV_OFFICE_LOGS:-} ]]; then
  for i in $(seq "$stations"); do
    ws=ws$(printf %02d "$i"); mkdir -p "$ZV_OFFICE_LOGS/$ws"
    cp "$work/$ws/zvspool.log" "$ZV_OFFICE_LOGS/$ws/"; ls "$work/$ws/ZV" > "$ZV_OFFICE_LOGS/$ws/left"
  done
  cp -r "$R/log" "$ZV_OFFICE_LOGS/server"
fi
finish
