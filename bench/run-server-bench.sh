#!/usr/bin/env bash
# Runs the same loads against velmora-server, `ncat --broker` and Redis pub/sub, all on loopback,
# and prints one table, followed by the flood, hostile-member, stalled-reader, connect, idle-memory,
# mass-leave and descriptor checks.
#
#   bench/run-server-bench.sh [BUILD_DIR]        (default build/native; needs velmora-server and
#                                                 velmora-loadgen built there, ncat and redis-server)
# Environment: DURATION (seconds per load point, default 5), REPEAT (runs of each point and server,
#              default 3; the table shows the run with the median p99), STALL_DURATION (default 8),
#              IDLE (idle connections, default 10000), CHURN_DURATION (default 20), OUT (where logs and
#              raw results go).
# Tail latency on a small shared machine moves with whatever else runs, hence the repeats,
# interleaved so that a busy spell does not fall on one server only.
set -euo pipefail

BUILD=${1:-build/native}
SERVER=$BUILD/server/velmora-server
LOADGEN=$BUILD/bench/velmora-loadgen
DURATION=${DURATION:-5}
REPEAT=${REPEAT:-3}
STALL_DURATION=${STALL_DURATION:-8}
FLOOD_DURATION=${FLOOD_DURATION:-10}
CHURN_DURATION=${CHURN_DURATION:-20}
IDLE=${IDLE:-10000}
OUT=${OUT:-$(mktemp -d /tmp/velmora-bench.XXXXXX)}
POINTS=("10 1000" "100 1000" "500 200" "100 8000" "500 1600")
NATS_POINTS=("100 1000" "500 200" "100 4000")
SCRAPE_POINTS=("100 1000" "500 1600")
KINDS=(velmora ncat redis)
RESULTS=$OUT/results.txt
# Seconds allowed for a server to come up or go away before the run is abandoned.
START_TIMEOUT=10

for tool in "$SERVER" "$LOADGEN"; do
  [[ -x $tool ]] || { echo "missing $tool: build the native tree first" >&2; exit 1; }
done
command -v ncat >/dev/null || { echo "ncat is not installed" >&2; exit 1; }
command -v redis-server >/dev/null || { echo "redis-server is not installed" >&2; exit 1; }
NATS_SERVER=$(command -v nats-server || echo /usr/sbin/nats-server)
[[ -x $NATS_SERVER ]] || { echo "nats-server is not installed" >&2; exit 1; }
mkdir -p "$OUT"
: > "$RESULTS"

SPID=""
SPORT=""

wait_for() {  # wait_for SECONDS COMMAND...: polls until the command succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

exited() { [[ ! -e /proc/$1 ]] || grep -qE '^[0-9]+ \(.*\) Z' "/proc/$1/stat"; }
listening() { ss -Hltn "sport = :$1" | grep -q LISTEN; }
port_printed() { [[ -s $1 ]] && head -1 "$1" | grep -qE '^[0-9]+$'; }

# The load points push thousands of messages a second through each client, far past the input
# budget a person needs; they measure relaying, so velmora runs without the budget and the cap per
# address (loopback is exempt from it anyway).
UNLIMITED=(--rate 0 --max-per-address 0)

# start_server KIND [LIMIT_NOFILE] [VELMORA_OPTION...]: starts one server on a free loopback port;
# sets SPID and SPORT. velmora gets the options given, or UNLIMITED when none are.
start_server() {
  local kind=$1 nofile=${2:-}
  shift $(($# < 2 ? $# : 2))
  local extra=("$@")
  ((${#extra[@]})) || extra=("${UNLIMITED[@]}")
  local limit=""
  [[ -n $nofile ]] && limit="ulimit -n $nofile;"
  case $kind in
    velmora)
      # Gone first, so that the port of the last run is never read as this one's.
      rm -f "$OUT/velmora.port"
      bash -c "$limit exec \"\$0\" --port 0 --bind 127.0.0.1 --max-clients 20000 \"\$@\"" "$SERVER" "${extra[@]}" \
        > "$OUT/velmora.port" 2>> "$OUT/velmora.log" < /dev/null &
      SPID=$!
      wait_for $START_TIMEOUT port_printed "$OUT/velmora.port" || { echo "velmora-server did not start" >&2; exit 1; }
      SPORT=$(head -1 "$OUT/velmora.port")
      ;;
    ncat)
      SPORT=$("$LOADGEN" --pick-port)
      ncat -l --broker -m 1000 127.0.0.1 "$SPORT" < /dev/null > /dev/null 2>> "$OUT/ncat.log" &
      SPID=$!
      wait_for $START_TIMEOUT listening "$SPORT" || { echo "ncat did not start" >&2; exit 1; }
      ;;
    redis)
      SPORT=$("$LOADGEN" --pick-port)
      redis-server --port "$SPORT" --bind 127.0.0.1 --save '' --appendonly no --maxclients 20000 \
        --daemonize no --loglevel warning < /dev/null > /dev/null 2>> "$OUT/redis.log" &
      SPID=$!
      wait_for $START_TIMEOUT redis-cli -p "$SPORT" ping || { echo "redis-server did not start" >&2; exit 1; }
      ;;
  esac
}

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Two velmora-servers sharing one room through a nats-server with JetStream; sets PAIR_PIDS,
# PAIR_PORTS and NATS_PID.
start_pair() {
  local nats_port dir=$OUT/nats-store
  nats_port=$("$LOADGEN" --pick-port)
  rm -rf "$dir"
  "$NATS_SERVER" -a 127.0.0.1 -p "$nats_port" -js -sd "$dir" > /dev/null 2>> "$OUT/nats.log" < /dev/null &
  NATS_PID=$!
  wait_for $START_TIMEOUT listening "$nats_port" || { echo "nats-server did not start" >&2; exit 1; }
  PAIR_PIDS=""
  PAIR_PORTS=""
  for side in a b; do
    rm -f "$OUT/pair-$side.port"
    "$SERVER" --port 0 --bind 127.0.0.1 --max-clients 20000 "${UNLIMITED[@]}" --nats "nats://127.0.0.1:$nats_port" \
      --room bench > "$OUT/pair-$side.port" 2>> "$OUT/velmora-pair.log" < /dev/null &
    PAIR_PIDS+=${PAIR_PIDS:+,}$!
    wait_for $START_TIMEOUT port_printed "$OUT/pair-$side.port" || { echo "velmora-server with NATS did not start" >&2; exit 1; }
    PAIR_PORTS+=${PAIR_PORTS:+,}$(head -1 "$OUT/pair-$side.port")
  done
}

stop_pair() {
  local pid
  for pid in ${PAIR_PIDS//,/ } $NATS_PID; do
    kill -TERM "$pid" 2>/dev/null || true
    wait_for $START_TIMEOUT exited "$pid" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  PAIR_PIDS=""
  NATS_PID=""
}

stop_server() {
  [[ -n $SPID ]] || return 0
  kill -TERM "$SPID" 2>/dev/null || true
  wait_for $START_TIMEOUT exited "$SPID" || kill -KILL "$SPID" 2>/dev/null || true
  wait "$SPID" 2>/dev/null || true
  SPID=""
}
trap 'stop_server; stop_pair' EXIT

loadgen() {  # loadgen KIND ARGS...: one run against the running server, its RESULT line kept
  local kind=$1; shift
  local line
  line=$(timeout 300 "$LOADGEN" --mode "$kind" --port "$SPORT" --server-pid "$SPID" "$@" | grep '^RESULT' || true)
  if [[ -z $line ]]; then
    line="RESULT mode=$kind failed=yes $*"
    echo "  loadgen failed against $kind: $*" >&2
  fi
  echo "$line" | tee -a "$RESULTS" >&2
}

field() { sed -nE "s/.* $2=([^ ]*).*/\1/p" <<< "$1"; }

echo "raw results and server logs: $OUT" >&2

echo "== load points, ${DURATION}s each, $REPEAT runs" >&2
for point in "${POINTS[@]}"; do
  read -r clients rate <<< "$point"
  for ((run = 1; run <= REPEAT; run++)); do
    for kind in "${KINDS[@]}"; do
      start_server "$kind"
      loadgen "$kind" --label "point" --clients "$clients" --rate "$rate" --duration "$DURATION"
      stop_server
    done
  done
done

echo "== one member flooding, 100 members reading at 150 KB/s and 100 msg/s among them, ${FLOOD_DURATION}s" >&2
for budget in default unlimited; do
  if [[ $budget == default ]]; then start_server velmora "" --stats-interval 0; else start_server velmora; fi
  loadgen velmora --label "flood-$budget" --clients 100 --rate 100 --duration "$FLOOD_DURATION" --flooders 1 \
    --read-rate 153600
  stop_server
done

echo "== hostile members against the defaults: a reconnect churn from one address (${CHURN_DURATION}s)," \
  "16 one-byte flooders in a room of 500, and the budget's own cost at 500 members x 2 msg/s" >&2
start_server velmora "" --limit-loopback
log_before=$(wc -l < "$OUT/velmora.log")
loadgen velmora --label churn --churn 4096 --duration "$CHURN_DURATION" --drain 5
CHURN_LOG_LINES=$(($(wc -l < "$OUT/velmora.log") - log_before))
stop_server
for tiny in 0 16; do
  start_server velmora "" --stats-interval 60
  loadgen velmora --label "tiny-$tiny" --clients 500 --rate 100 --duration "$DURATION" --tiny-flooders "$tiny"
  stop_server
done
for budget in default unlimited; do
  if [[ $budget == default ]]; then start_server velmora "" --stats-interval 60; else start_server velmora; fi
  loadgen velmora --label "inside-$budget" --clients 500 --rate 1000 --duration "$DURATION"
  stop_server
done

echo "== /metrics scraped every 100 ms during the load, against not scraped, ${DURATION}s, $REPEAT runs" >&2
for point in "${SCRAPE_POINTS[@]}"; do
  read -r clients rate <<< "$point"
  for ((run = 1; run <= REPEAT; run++)); do
    for scraped in no yes; do
      start_server velmora "" "${UNLIMITED[@]}" --metrics 127.0.0.1:0
      scraper=""
      if [[ $scraped == yes ]]; then
        metrics_url=$(grep -o 'http://127.0.0.1:[0-9]*/metrics' "$OUT/velmora.log" | tail -1)
        # One process that stays, as Prometheus does: starting curl ten times a second would cost
        # two small cores more than the page does.
        /usr/bin/python3 -c 'import sys, time, urllib.request
while True:
    try: urllib.request.urlopen(sys.argv[1], timeout=2).read()
    except Exception: pass
    time.sleep(0.1)' "$metrics_url" &
        scraper=$!
      fi
      loadgen velmora --label "scraped-$scraped" --clients "$clients" --rate "$rate" --duration "$DURATION"
      [[ -n $scraper ]] && { kill "$scraper"; wait "$scraper" 2>/dev/null || true; }
      stop_server
    done
  done
done

echo "== one server alone against two sharing the room through NATS, clients spread over both, ${DURATION}s, $REPEAT runs" >&2
for point in "${NATS_POINTS[@]}"; do
  read -r clients rate <<< "$point"
  for ((run = 1; run <= REPEAT; run++)); do
    start_server velmora
    loadgen velmora --label "alone" --clients "$clients" --rate "$rate" --duration "$DURATION"
    stop_server
    start_pair
    nats_before=$(cpu_ticks "$NATS_PID")
    line=$(timeout 300 "$LOADGEN" --mode velmora --port "$PAIR_PORTS" --server-pid "$PAIR_PIDS" --label pair \
      --clients "$clients" --rate "$rate" --duration "$DURATION" | grep '^RESULT' || echo "RESULT mode=velmora failed=yes")
    nats_cpu=$(awk -v a="$nats_before" -v b="$(cpu_ticks "$NATS_PID")" -v hz="$(getconf CLK_TCK)" -v d="$DURATION" \
      'BEGIN { printf "%.1f", 100 * (b - a) / hz / d }')
    echo "$line nats_cpu_pct=$nats_cpu" | sed 's/label=pair /label=pair /' | tee -a "$RESULTS" >&2
    stop_pair
  done
done

cuts_before_stall=$(grep -c 'disconnected: more than' "$OUT/velmora.log" || true)
echo "== one stalled reader at 100 clients, 8000 msg/s, ${STALL_DURATION}s" >&2
for kind in "${KINDS[@]}"; do
  for stalled in 0 1; do
    start_server "$kind"
    loadgen "$kind" --label "stall" --clients 100 --rate 8000 --duration "$STALL_DURATION" --stalled "$stalled"
    stop_server
  done
done

echo "== 1000 clients connecting at once" >&2
for kind in velmora redis; do
  start_server "$kind"
  loadgen "$kind" --label "connect" --idle 1000 --hold 0
  stop_server
done

echo "== $IDLE idle connections" >&2
for kind in velmora redis; do
  start_server "$kind"
  # Held while the server is stopped first, so that tearing down is not a storm of leave notices.
  timeout 300 "$LOADGEN" --mode "$kind" --port "$SPORT" --server-pid "$SPID" --label idle --idle "$IDLE" --hold 120 \
    > "$OUT/idle-$kind.txt" &
  holder=$!
  wait_for 240 grep -q '^RESULT' "$OUT/idle-$kind.txt" || echo "  idle run against $kind did not finish" >&2
  stop_server
  wait "$holder" || true
  grep '^RESULT' "$OUT/idle-$kind.txt" | tee -a "$RESULTS" >&2 || true
done

echo "== $IDLE members connect, then all but 25 leave at once (velmora with its defaults)" >&2
start_server velmora "" --stats-interval 0
timeout 300 "$LOADGEN" --mode velmora --port "$SPORT" --server-pid "$SPID" --label massleave --idle "$IDLE" --stay 25 \
  | grep '^RESULT' | tee -a "$RESULTS" >&2 || echo "  mass leave run did not finish" >&2
stop_server

echo "== descriptor exhaustion: velmora-server limited to 64 open files, 100 clients, then 10 leave" >&2
start_server velmora 64
loadgen velmora --label exhaust --exhaust 100 --release 10
stop_server
paused=$(grep -c 'accept paused' "$OUT/velmora.log" || true)

# ---- report
runs_of() {  # runs_of 'FIELD=VALUE ...' CLIENTS RATE: that point's RESULT lines, by rising p99
  grep " $1 " "$RESULTS" | grep " clients=$2 " | grep " rate=$3 " |
    awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^p99_ms=/) { split($i, kv, "="); print kv[2], $0 } }' |
    sort -n | cut -d' ' -f2-
}

printf '\n%-8s %7s %6s | %-8s %9s %6s %8s %8s %8s %15s %6s %7s %6s\n' \
  server clients msg/s complete deliv/s MB/s p50_ms p99_ms p999_ms "p99 min-max" cpu% RSS_MiB other%
for point in "${POINTS[@]}"; do
  read -r clients rate <<< "$point"
  for kind in "${KINDS[@]}"; do
    mapfile -t runs < <(runs_of "mode=$kind label=point" "$clients" "$rate")
    ((${#runs[@]} > 0)) || continue
    line=${runs[$(((${#runs[@]} - 1) / 2))]}
    all_complete=yes
    for r in "${runs[@]}"; do [[ $(field "$r" complete) == yes ]] || all_complete=no; done
    printf '%-8s %7s %6s | %-8s %9s %6.1f %8s %8s %8s %15s %6s %7.1f %6s\n' \
      "$kind" "$clients" "$rate" "$all_complete" "$(field "$line" deliveries_per_s)" \
      "$(awk -v b="$(field "$line" bytes_per_s)" 'BEGIN { print b / 1048576 }')" \
      "$(field "$line" p50_ms)" "$(field "$line" p99_ms)" "$(field "$line" p999_ms)" \
      "$(field "${runs[0]}" p99_ms)-$(field "${runs[${#runs[@]} - 1]}" p99_ms)" \
      "$(field "$line" server_cpu_pct)" "$(awk -v k="$(field "$line" server_peak_rss_kib)" 'BEGIN { print k / 1024 }')" \
      "$(field "$line" other_cpu_pct)"
  done
done
echo "(complete: every run delivered every message to every other client once, in per-sender order;"
echo " the figures are from the run with the median p99 of $REPEAT; cpu% and RSS are the server's;"
echo " other% is CPU used meanwhile by everything but the server and the load generator, in % of a core)"
echo
echo "one server alone against two sharing the room through NATS (median p99 of $REPEAT runs; CPU in % of a core):"
printf '  %-6s %7s %6s | %-8s %9s %8s %8s %10s %9s\n' setup clients msg/s complete deliv/s p50_ms p99_ms velmora% nats%
for point in "${NATS_POINTS[@]}"; do
  read -r clients rate <<< "$point"
  for label in alone pair; do
    mapfile -t runs < <(runs_of "label=$label" "$clients" "$rate")
    ((${#runs[@]} > 0)) || continue
    line=${runs[$(((${#runs[@]} - 1) / 2))]}
    printf '  %-6s %7s %6s | %-8s %9s %8s %8s %10s %9s\n' "$label" "$clients" "$rate" "$(field "$line" complete)" \
      "$(field "$line" deliveries_per_s)" "$(field "$line" p50_ms)" "$(field "$line" p99_ms)" \
      "$(field "$line" server_cpu_pct)" "$(field "$line" nats_cpu_pct)"
  done
done

echo
echo "one flooder, 100 readers at 150 KB/s, 100 msg/s among them (${FLOOD_DURATION}s):"
for budget in default unlimited; do
  line=$(grep " label=flood-$budget " "$RESULTS" | head -1)
  printf '  velmora, %-9s budget: readers cut %s of 100, polite messages delivered %s of %s (complete=%s), p99 %s ms,' \
    "$budget" "$(field "$line" closed_readers)" "$(field "$line" delivered)" "$(field "$line" expected)" \
    "$(field "$line" complete)" "$(field "$line" p99_ms)"
  printf ' flooder sent %s bytes, server CPU %s%%, peak RSS %s KiB\n' "$(field "$line" flood_sent_bytes)" \
    "$(field "$line" server_cpu_pct)" "$(field "$line" server_peak_rss_kib)"
done
echo
echo "/metrics scraped every 100 ms during the load (median p99 of $REPEAT runs):"
for point in "${SCRAPE_POINTS[@]}"; do
  read -r clients rate <<< "$point"
  for scraped in no yes; do
    mapfile -t runs < <(runs_of "label=scraped-$scraped" "$clients" "$rate")
    ((${#runs[@]} > 0)) || continue
    line=${runs[$(((${#runs[@]} - 1) / 2))]}
    printf '  %4s x %5s, scraped %-3s: complete=%s p50 %s ms, p99 %s ms (runs %s-%s), server CPU %s%%\n' "$clients" "$rate" \
      "$scraped" "$(field "$line" complete)" "$(field "$line" p50_ms)" "$(field "$line" p99_ms)" \
      "$(field "${runs[0]}" p99_ms)" "$(field "${runs[${#runs[@]} - 1]}" p99_ms)" "$(field "$line" server_cpu_pct)"
  done
done
echo
line=$(grep ' label=churn ' "$RESULTS" | head -1)
echo "one address reconnecting in a loop (connect, send 4 KiB, leave) for $(field "$line" duration_s) s against the defaults" \
  "and --limit-loopback: $(field "$line" rounds) rounds, $(field "$line" sent_bytes) bytes sent, the room heard" \
  "$(field "$line" heard_bytes) bytes ($(field "$line" heard_bytes_with_drain) with 5 s more) and" \
  "$(field "$line" presence_lines) presence lines; $CHURN_LOG_LINES log lines; server CPU $(field "$line" server_cpu_pct)%"
echo "a room of 500 at 100 msg/s with one-byte flooders (defaults; an honest line from send to arrival):"
for tiny in 0 16; do
  line=$(grep " label=tiny-$tiny " "$RESULTS" | head -1)
  printf '  %2s flooders: complete=%s p50 %s ms, p99 %s ms; their lines in each log %s a second; server CPU %s%%\n' "$tiny" \
    "$(field "$line" complete)" "$(field "$line" p50_ms)" "$(field "$line" p99_ms)" \
    "$(field "$line" tiny_lines_per_reader_per_s)" "$(field "$line" server_cpu_pct)"
done
echo "the input budget's own cost, 500 members at 2 msg/s each:"
for budget in default unlimited; do
  line=$(grep " label=inside-$budget " "$RESULTS" | head -1)
  printf '  budget %-9s complete=%s p50 %s ms, p99 %s ms, server CPU %s%%\n' "$budget" "$(field "$line" complete)" \
    "$(field "$line" p50_ms)" "$(field "$line" p99_ms)" "$(field "$line" server_cpu_pct)"
done
echo
echo "stalled reader (100 clients, 8000 msg/s; delivery rate to the others, server peak memory):"
for kind in "${KINDS[@]}"; do
  base=$(grep " mode=$kind label=stall " "$RESULTS" | grep ' stalled=0 ' | head -1)
  stall=$(grep " mode=$kind label=stall " "$RESULTS" | grep ' stalled=1 ' | head -1)
  printf '  %-8s unstalled %s/s complete=%s, stalled %s/s complete=%s p99 %s ms, server peak RSS %s KiB, staller cut off=%s\n' \
    "$kind" "$(field "$base" deliveries_per_s)" "$(field "$base" complete)" \
    "$(field "$stall" deliveries_per_s)" "$(field "$stall" complete)" "$(field "$stall" p99_ms)" \
    "$(field "$stall" server_peak_rss_kib)" "$(field "$stall" closed_stalled)"
done
echo "  velmora log lines for clients cut off at the queue cap: $(($(grep -c 'disconnected: more than' "$OUT/velmora.log" || true) - cuts_before_stall))"

echo
echo "connecting 1000 clients (until each has its greeting or subscription):"
for kind in velmora redis; do
  line=$(grep " mode=$kind label=connect " "$RESULTS" | head -1)
  printf '  %-8s %s ms\n' "$kind" "$(field "$line" all_ms)"
done

echo
echo "$IDLE idle connections (server RSS growth per connection):"
for kind in velmora redis; do
  line=$(grep " mode=$kind label=idle " "$RESULTS" | head -1)
  printf '  %-8s connected %s in %s ms, %s -> %s KiB, %s bytes per connection\n' "$kind" \
    "$(field "$line" connected)" "$(field "$line" all_ms)" "$(field "$line" server_rss_before_kib)" \
    "$(field "$line" server_rss_after_kib)" "$(field "$line" bytes_per_conn)"
done

echo
line=$(grep ' label=massleave ' "$RESULTS" | head -1)
echo "mass leave: $(field "$line" mass_leave) of $IDLE left at once; server RSS $(field "$line" server_rss_connected_kib) KiB" \
  "connected, peak $(field "$line" server_peak_rss_kib) KiB; $(field "$line" stayers_correct) of 25 stayers got a correct" \
  "account in at most $(field "$line" most_leave_lines) lines, the last $(field "$line" told_ms) ms after the leaving began"

echo
line=$(grep ' label=exhaust ' "$RESULTS" | head -1)
echo "descriptor exhaustion: $(field "$line" greeted_while_full) of 100 greeted while out of descriptors," \
  "server CPU $(field "$line" server_cpu_pct_while_full)% over 2 s," \
  "after $(field "$line" released) left: $(field "$line" greeted_after) greeted in total" \
  "(resumed=$(field "$line" resumed), $(field "$line" resume_ms) ms); 'accept paused' logged $paused times"
