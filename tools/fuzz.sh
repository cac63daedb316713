#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a bounded time on a
# copy of its seed corpus (fuzz/corpus/ stays as committed), then prints runs, coverage and
# findings per target. Not part of tools/test.sh.
#   tools/fuzz.sh [SECONDS]    seconds per target, default 60
# Findings land in build-fuzz/artifacts/TARGET/; the exit status is 1 if any target found one.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac

tools/setup.sh all

build=${BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
  -DBRACKENREACH_FUZZ=ON -DBRACKENREACH_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target fuzz_settings fuzz_stream_decoder

status=0
summary=()
for corpus_name in settings stream_decoder; do
  target=fuzz_$corpus_name
  work=$build/fuzz-run/$corpus_name
  artifacts=$build/artifacts/$target
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  cp fuzz/corpus/"$corpus_name"/* "$work"/
  seeds=$(find "$work" -type f | wc -l)
  log=$build/$target.log
  echo "== $target: ${seconds}s on $seeds seeds (log: $log)"
  set +e
  # The scratch file of fuzz_settings goes to the build tree, not the system's temp directory.
  TMPDIR=$(cd "$build" && pwd) "$build"/fuzz/"$target" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts"/ "$work" >"$log" 2>&1
  rc=$?
  set -e
  findings=$(find "$artifacts" -type f | wc -l)
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  corpus=$(find "$work" -type f | wc -l)
  line="$target: ${runs:-no final count} ($cov, corpus $seeds -> $corpus files), exit $rc, findings $findings"
  echo "$line"
  grep -E '^(stat::|SUMMARY|==[0-9]+==ERROR)' "$log" || true
  summary+=("$line")
  if [ "$rc" -ne 0 ] || [ "$findings" -ne 0 ]; then
    status=1
    find "$artifacts" -type f | sed 's/^/  finding: /'
  fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit "$status"
