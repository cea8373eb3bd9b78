# Shared by the scripts that try zvspool the way a hostile week goes: jobs whose first and last
# lines carry a tag, a counter of the documents that reached a printer (which first proves it can
# see a duplicate and a loss), and the matrix of outcomes. Sourced after common.sh, inside the
# namespace; needs $zvspool and $work.
make_job=$(realpath "$(dirname "${BASH_SOURCE[0]}")/../../bench/make_job.py")
zv_render=$(dirname "$zvspool")/zv-render
declare -a matrix

# A print system as an office has it: a scheduler with one A4 queue "office" on an IPP Everywhere
# printer, the default; restarted once, so its configuration is on the disk, as a machine's
# scheduler long has it.
start_office() {
  start_system_bus && start_printer office iso_a4_210x297mm && start_scheduler &&
    add_queue office "$printer_uri" && lpadmin -d office && stop_scheduler && start_scheduler
}

# Sends SIGTERM to PID once it holds FILE open (it prints the job), and checks that it ended within
# SECONDS with exit code 0, keeping the job.
term_while_printing() { # term_while_printing PID FILE SECONDS WHAT
  local pid=$1 file=$2 limit=$3 what=$4 started status took
  check "$what: the job is printing" wait_for 20 has_open "$pid" "$file"
  sleep 0.5
  kill -TERM "$pid"
  started=$(date +%s%N)
  wait "$pid"; status=$?
  took=$((($(date +%s%N) - started) / 1000000))
  check "$what: SIGTERM ends the program within $limit seconds ($took ms)" test $took -le $((limit * 1000))
  check "$what: with exit code 0" test $status -eq 0
  check "$what: the job is kept" grep -q "kept $(basename "$file"): abandoned: the program is ending" \
    "$(dirname "$(dirname "$file")")/zvspool.log"
}

# A job whose first and last lines carry its tag, with `pages` pages of dense text between.
job() { # job FILE TAG [PAGES]
  [[ -f "$work/filler.zv" ]] || python3 "$make_job" "${ZV_FAULT_PAGES:-1500}" "$work/filler.zv" > /dev/null
  { printf '%s FIRST\r\n' "$2"
    # The text is cut anywhere, an escape sequence too: the line ends after it are for that to
    # take, so the last line stands on a page of its own.
    if [[ ${3:-0} -gt 0 ]]; then head -c $((${3} * 5800)) "$work/filler.zv"; printf '\r\n\r\n\r\n\x0c'; fi
    printf '%s LAST\r\n' "$2"; } > "$1"
}

# The text of every document a printer folder or PDF folder holds, each once.
texts() { # texts DIR...
  local dir f
  for dir in "$@"; do
    for f in "$dir"/*.pdf; do
      [[ -f "$f" ]] || continue
      [[ -f "$f.txt" ]] || pdftotext "$f" "$f.txt" 2>/dev/null
      # pdftotext ends a document with a form feed and no line end: the marker needs its own line.
      printf '\n=== %s\n' "$f"; cat "$f.txt"
    done
  done
}

# For every tag in the documents: how many hold the whole job (its first and last line), and how
# many only a part. One line "TAG WHOLE PARTIAL" each.
all_copies() { # all_copies DIR...
  texts "$@" | awk '
    function close_doc(t) { for (t in seen) { if (first[t] && last[t]) whole[t]++; else part[t]++ }
                            delete seen; delete first; delete last }
    /^=== / { close_doc(); next }
    match($0, /[A-Z][A-Z0-9_-]* FIRST/) { t = substr($0, RSTART, RLENGTH - 6); seen[t] = 1; first[t] = 1 }
    match($0, /[A-Z][A-Z0-9_-]* LAST/) { t = substr($0, RSTART, RLENGTH - 5); seen[t] = 1; last[t] = 1 }
    END { close_doc(); for (t in whole) print t, whole[t] + 0, part[t] + 0
          for (t in part) if (!(t in whole)) print t, 0, part[t] }'
}
copies() { # copies TAG DIR...: "WHOLE PARTIAL" for one tag
  local tag=$1; shift
  all_copies "$@" | awk -v t="$tag" '$1 == t { print $2, $3; found = 1 } END { if (!found) print 0, 0 }'
}

# The counter must see what it is there to see: a document delivered twice counts twice, a
# missing one not at all, half a job as a part.
counter_proves_itself() {
  local S=$work/counter
  mkdir -p "$S/twice" "$S/none" "$S/half"
  job "$S/whole.zv" COUNTED 2
  printf 'COUNTED FIRST\r\n' > "$S/half.zv"
  "$zv_render" -o "$S/twice/a.pdf" "$S/whole.zv" > /dev/null
  cp "$S/twice/a.pdf" "$S/twice/b.pdf"
  "$zv_render" -o "$S/half/a.pdf" "$S/half.zv" > /dev/null
  check "the counter counts a duplicated document twice" test "$(copies COUNTED "$S/twice")" == "2 0"
  rm "$S/twice/b.pdf"
  check "and one document once" test "$(copies COUNTED "$S/twice")" == "1 0"
  check "and a missing one not at all" test "$(copies COUNTED "$S/none")" == "0 0"
  check "and half a job as a part" test "$(copies COUNTED "$S/half" "$S/twice")" == "1 1"
}

# The outcome for one job: printed once, kept (its file still in ZV, nothing of it printed),
# printed N times, or lost.
verdict_of() { # verdict_of WHOLE PARTIAL KEPT
  if [[ $1 -eq 1 && $2 -eq 0 ]]; then echo "printed once"
  elif [[ $1 -eq 0 && $3 -eq 1 ]]; then echo "kept"
  elif [[ $1 -gt 1 ]]; then echo "printed $1 times"
  else echo "lost"; fi
}

# tally ROW TAG FOLDER DIR...: one line of the matrix for one job.
tally() {
  local row=$1 tag=$2 folder=$3; shift 3
  local whole partial kept=0 verdict
  read -r whole partial <<< "$(copies "$tag" "$@")"
  [[ -n "$(grep -l "$tag FIRST" "$folder"/ZV/* 2>/dev/null)" ]] && kept=1
  verdict=$(verdict_of "$whole" "$partial" "$kept")
  matrix+=("$row|$tag|$verdict")
  check "$row: $tag $verdict (partial documents: $partial)" \
    bash -c "[[ '$verdict' == 'printed once' || '$verdict' == 'kept' ]] && [[ $partial -eq 0 ]]" \
    || tail -20 "$folder/zvspool.log"
}

# tally_many ROW FOLDER TAGS DIR...: one line for many jobs: runs, printed once, twice or more,
# kept, lost. Every job must be printed once or kept.
tally_many() {
  local row=$1 folder=$2 tags=$3; shift 3
  local counts tag whole partial kept once=0 more=0 held=0 lost=0 parts=0 n=0
  counts=$(all_copies "$@")
  for tag in $tags; do
    read -r whole partial <<< "$(awk -v t="$tag" '$1 == t { print $2, $3; f = 1 } END { if (!f) print 0, 0 }' <<< "$counts")"
    kept=0
    grep -q "$tag FIRST" "$folder"/ZV/* 2>/dev/null && kept=1
    n=$((n + 1)); parts=$((parts + partial))
    case $(verdict_of "$whole" "$partial" "$kept") in
      "printed once") once=$((once + 1)) ;;
      kept) held=$((held + 1)); local file
            file=$(basename "$(grep -l "$tag FIRST" "$folder"/ZV/* | head -1)")
            echo "kept: $tag ($file)"; grep -F "$file" "$folder/zvspool.log" | tail -3 ;;
      lost) lost=$((lost + 1)); echo "lost: $tag" ;;
      *) more=$((more + 1)); echo "printed $whole times: $tag" ;;
    esac
  done
  matrix+=("$row|$n|$once|$more|$held|$lost")
  check "$row: $n jobs, $once printed once, $more more than once, $held kept, $lost lost, $parts partial" \
    test "$more:$lost:$parts" == "0:0:0" || tail -20 "$folder/zvspool.log"
}

print_matrix() {
  echo
  echo "| fault | jobs | once | twice or more | kept | lost |"
  echo "|---|---|---|---|---|---|"
  local line
  for line in "${matrix[@]}"; do
    if [[ $(tr -cd '|' <<< "$line" | wc -c) -eq 2 ]]; then
      IFS='|' read -r row tag verdict <<< "$line"
      case $verdict in
        "printed once") echo "| $row ($tag) | 1 | 1 | 0 | 0 | 0 |" ;;
        kept) echo "| $row ($tag) | 1 | 0 | 0 | 1 | 0 |" ;;
        lost) echo "| $row ($tag) | 1 | 0 | 0 | 0 | 1 |" ;;
        *) echo "| $row ($tag) | 1 | 0 | 1 | 0 | 0 |" ;;
      esac
    else
      echo "| ${line//|/ | } |"
    fi
  done
}

once() { (cd "$1" && "${@:2}" "$zvspool" --once >> "$1/zvspool.log" 2>&1); }
# Whether process PID has FILE open: zvspool holds a job file open while it prints it.
has_open() { # has_open PID FILE
  local target fd
  target=$(realpath "$2")
  for fd in /proc/"$1"/fd/*; do [[ "$(readlink "$fd")" == "$target" ]] && return 0; done
  return 1
}
# Polls until the folder's ZV is empty, at most `tries` times.
drain() { # drain FOLDER TRIES [ENV...]
  local folder=$1 tries=$2; shift 2
  for _ in $(seq "$tries"); do
    [[ -z "$(ls "$folder/ZV")" ]] && return 0
    once "$folder" env "$@"
    sleep 1
  done
  [[ -z "$(ls "$folder/ZV")" ]]
}
# The journal of the folders the user of HOME/XDG_STATE_HOME keeps: whether it holds an entry for
# FILE in STATE (2: the printer made its job, 3: its document went whole).
journal_says() { # journal_says STATE FILE [STATE_HOME]
  grep -qs "^r [0-9]* [0-9]* $1 $2 " "${3:-$XDG_STATE_HOME}"/zvspool/*.journal
}
# The same, in the journal of one folder (found by the id in its claim file).
folder_journal_says() { # folder_journal_says FOLDER STATE FILE [STATE_HOME]
  local id
  id=$(sed -n 's/^zvspool folder //p' "$1/zvspool.lock" 2>/dev/null)
  [[ -n $id ]] && grep -qs "^r [0-9]* [0-9]* $2 $3 " "${4:-$XDG_STATE_HOME}/zvspool/$id.journal"
}
