#!/usr/bin/env bash
# Benchmarks brackenreach-server on 127.0.0.1 with bench/server_load: steady load at K = 100 and
# 1000 clients (and 1000 over WebSockets, "1000ws" in the summary), then doubling K until the server stops holding (an update lost, or decoded more
# than three frames late) or the load generator itself cannot keep 60 updates a second; then the
# abuse run. Not part of the test suite. Everything is bounded: about 5 minutes at most.
#
#   tools/server_bench.sh                 # all of it
#   SECONDS_PER_RUN=5 tools/server_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BENCH_BUILD_DIR:-build-bench}
per_run=${SECONDS_PER_RUN:-10}
budget=${BENCH_BUDGET_SECONDS:-240} # for the steady runs; the abuse run comes on top

cmake -S . -B "$build" -DBRACKENREACH_BENCH=ON -DBRACKENREACH_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target brackenreach-server server_load >/dev/null

# Both the generator and the server it starts hold one descriptor per client.
ulimit -n "$(ulimit -Hn)"
fd_room=$(($(ulimit -n) - 200))

server="$build/brackenreach-server"
load="$build/bench/server_load"
started=$(date +%s)

# Prints the run's lines indented; returns 0 when the verdict is "holds".
steady() {
  local k=$1 out
  echo "== steady K=$k, ${per_run} s ${2:-}"
  out=$(timeout 180 "$load" --server "$server" steady --clients "$k" --seconds "$per_run" ${2:-} || true)
  printf '%s\n' "$out" | sed 's/^/   /'
  last_out=$out
  grep -q '^verdict=holds' <<<"$out"
}

pick() { # pick KEY TEXT -> value of KEY=... in TEXT
  grep -o "\b$1=[^ ]*" <<<"$2" | head -1 | cut -d= -f2
}

held=0
failed_at=0
last_fail_out=""
summary=()
record() {
  local k=$1 text=$2
  summary+=("$(printf '%9s %10s %10s %8s %8s %10s %9s %9s  %s' "$k" \
    "$(pick updates_sent "$text")" "$(pick updates_received "$text")" \
    "$(pick server_cpu_s "$text")" "$(pick server_cpu_pct "$text")" \
    "$(pick server_rss_peak_kib "$text")" "$(pick delay_median_us "$text")" \
    "$(pick delay_p99_us "$text")" "$(grep -o 'verdict=.*' <<<"$text")")")
}

for k in 100 1000; do
  if steady "$k"; then held=$k; fi
  record "$k" "$last_out"
done
# The same at 1000 over WebSockets to the web port, the browser game's transport.
steady 1000 --websocket || true
record 1000ws "$last_out"

# Doubling, then halving the gap once or twice while the time lasts.
k=2000
while [ "$failed_at" -eq 0 ] && [ "$k" -le "$fd_room" ] &&
  [ $(($(date +%s) - started)) -lt "$budget" ]; do
  if steady "$k"; then held=$k; else failed_at=$k last_fail_out=$last_out; fi
  record "$k" "$last_out"
  k=$((k * 2))
done
for _ in 1 2; do
  [ "$failed_at" -gt 0 ] && [ $((failed_at - held)) -gt 500 ] || break
  [ $(($(date +%s) - started)) -lt "$budget" ] || break
  k=$(((held + failed_at) / 2))
  if steady "$k"; then held=$k; else failed_at=$k last_fail_out=$last_out; fi
  record "$k" "$last_out"
done

echo "== abuse, 20 s"
abuse_out=$(timeout 180 "$load" --server "$server" abuse --seconds 20 || true)
printf '%s\n' "$abuse_out" | sed 's/^/   /'

echo
echo "== summary (steady runs of ${per_run} s at 60 updates/s per client; CPU % of one core)"
printf '%9s %10s %10s %8s %8s %10s %9s %9s  %s\n' K sent received cpu_s cpu_pct \
  rss_peak_kib median_us p99_us verdict
printf '%s\n' "${summary[@]}"
if [ "$failed_at" -gt 0 ]; then
  echo "most clients held: $held (failed at $failed_at)"
  if [ "$(pick reasons "$last_fail_out")" = generator_behind ]; then
    echo "  the limit was the load generator, which shares this machine: it could not keep"
    echo "  60 updates/s per client, while the server lost nothing (see its CPU % above)"
  fi
else
  echo "most clients held: $held (no failure up to the descriptor limit or time budget)"
fi
echo "abuse: $(grep -o 'verdict=.*' <<<"$abuse_out")"
echo "silent burst: a client kept out $(pick client_locked_out_s "$abuse_out") s"
echo "one address: a player from another waited $(pick player_wait_s "$abuse_out") s"
echo "total: $(($(date +%s) - started)) s"
