#!/usr/bin/env bash
# Runs the real client under Valgrind's memcheck for a few seconds against our server on
# 127.0.0.1 (SDL's dummy video and audio drivers, a scratch copy of build/game), ends it with
# SIGTERM like a quit request, and reports memory errors, those in our own code separately.
#   tools/memcheck.sh [SECONDS]    seconds of play after the connection, default 5
# Exit status: 0 clean, 1 memcheck found errors (or the run failed). Library noise is suppressed
# by tests/sanitizers/valgrind.supp; the full log is kept and its path printed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-5}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac

tools/setup.sh all >/dev/null
build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target brackenreach brackenreach-server game >/dev/null
build=$(cd "$build" && pwd)

scratch=$(mktemp -d -t memcheck-run-XXXXXX)
server_pid=
client_pid=
cleanup() {
  [ -n "$client_pid" ] && kill -KILL "$client_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
cp -r "$build"/game "$scratch"/game

"$build"/brackenreach-server --port 0 >"$scratch"/server.log 2>&1 &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$scratch"/server.log)
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "memcheck: the server did not start" >&2
  cat "$scratch"/server.log >&2
  exit 1
fi
sed -i -e "s/^server_ip *=.*/server_ip = 127.0.0.1/" -e "s/^server_port *=.*/server_port = $port/" \
  "$scratch"/game/config.ini

log=$scratch/memcheck.log
(
  cd "$scratch"/game
  exec env SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy \
    valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes \
    --leak-check=full --show-leak-kinds=definite,possible --errors-for-leak-kinds=definite,possible \
    --suppressions="$root"/tests/sanitizers/valgrind.supp --num-callers=30 \
    --log-file="$log" "$build"/brackenreach
) >"$scratch"/client.log 2>&1 &
client_pid=$!

# Valgrind takes seconds to start; the clock starts once the client is connected.
for _ in $(seq 600); do
  grep -q "Connected successfully" "$scratch"/client.log 2>/dev/null && break
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.1
done
sleep "$seconds"
kill -TERM "$client_pid" 2>/dev/null || true
# A quit request the client loses must show as a failure, not hang the script.
ignored_quit=no
for _ in $(seq 600); do
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$client_pid" 2>/dev/null; then
  ignored_quit=yes
  kill -KILL "$client_pid" 2>/dev/null || true
fi
set +e
wait "$client_pid"
client_rc=$?
set -e
client_pid=
kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=

updates=$(sed -n 's/^goodbye #[0-9]* updates=\([0-9]*\).*/\1/p' "$scratch"/server.log | tail -1)
summary=$(grep -o 'ERROR SUMMARY: [0-9]* errors from [0-9]* contexts (suppressed: [0-9]* from [0-9]*)' "$log" | tail -1)
invalid=$(grep -cE '^==[0-9]+== (Invalid (read|write|free)|Mismatched free|Conditional jump|Use of uninitialised|Syscall param)' "$log" || true)
leaks() { sed -n "s/^==[0-9]*== *$1: \\(.*\\)\$/\\1/p" "$log" | tail -1; }
# An error is ours when a frame of its stack lies in one of our source folders.
ours=$(awk '/^==[0-9]+== [A-Z]/ { if (block != "" && block ~ /\((app|media|net|settings|world)\/[a-z_]+\.cpp:/) n++; block = "" }
            { block = block $0 "\n" }
            END { if (block ~ /\((app|media|net|settings|world)\/[a-z_]+\.cpp:/) n++; print n + 0 }' \
  <(grep -E '^==[0-9]+== ' "$log"))

echo "memcheck: client exit $client_rc (99 = memcheck found errors), SIGTERM ${seconds}s after" \
  "connecting; still running 60 s after it (killed): $ignored_quit"
echo "memcheck: server saw ${updates:-no goodbye} updates"
echo "memcheck: $summary"
echo "memcheck: error reports (invalid access, uninitialised use, bad free, syscall): $invalid; with a frame in our code: $ours"
echo "memcheck: definitely lost: $(leaks 'definitely lost'); possibly lost: $(leaks 'possibly lost');" \
  "still reachable (not errors): $(leaks 'still reachable')"
echo "memcheck: full log: $log"
if [ "$client_rc" -ne 0 ] || [ -z "$updates" ] || [ "$ignored_quit" = yes ]; then
  exit 1
fi
