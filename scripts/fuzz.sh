#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each for the given
# seconds (default 30), starting from its corpus tests/fuzz/corpus/<target>/
# with the dictionary tests/fuzz/protocol.dict. Inputs found on the way are
# kept in build-fuzz/corpus/<target>/ (never in the source tree) and used
# again by the next run. At the end it prints, per target, the executions,
# the executions per second and the coverage (cov: edges, ft: features).
# A crash, a hang, a leak or a failed property fails the run (status 1)
# after the target's report and the reproducing input, in hex and escaped;
# the input stays in build-fuzz/crashes/. Run one again with
#   build-fuzz/tests/fuzz/fuzz_<target> <file>
# Usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
dir=build-fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_FUZZ=ON -DZV_WERROR=ON \
  -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
ninja -C "$dir" -j "${ZV_JOBS:-$(nproc)}"

targets=("$@")
if ((${#targets[@]} == 0)); then
  for t in tests/fuzz/corpus/*/; do targets+=("$(basename "$t")"); done
fi
# Peers' streams may hold lines longer than the socket's buffer.
declare -A max_len=([lines]=20000 [pop3]=20000 [smtp]=20000)

export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$dir/crashes"
summary=()
failed=0
for t in "${targets[@]}"; do
  work="$dir/corpus/$t"
  log="$dir/fuzz_$t.log"
  mkdir -p "$work"
  rm -f "$dir/crashes/$t"-*
  echo "== fuzz_$t ($seconds s)"
  status=0
  nice -n 10 "$dir/tests/fuzz/fuzz_$t" "$work" "tests/fuzz/corpus/$t" -dict=tests/fuzz/protocol.dict \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$t]:-4096}" \
    -print_final_stats=1 -artifact_prefix="$dir/crashes/$t-" >"$log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 \2/p' <<<"$done_line")
  if ((status != 0)); then
    failed=1
    summary+=("$(printf '%-14s FAILED (status %d)' "$t" "$status")")
    echo "-- fuzz_$t failed; its report:"
    grep -E 'PROPERTY FAILED|ERROR:|SUMMARY:' "$log" | head -5
    grep -vE '^(#[0-9]+|INFO:|MERGE|\s*$)' "$log" | tail -60
    for input in "$dir/crashes/$t"-*; do
      [[ -e "$input" ]] || continue
      echo "-- reproducing input $input ($(stat -c %s "$input") bytes), hex:"
      od -An -tx1 -v "$input" | head -200
      echo "-- escaped:"
      python3 -c 'import sys; print(repr(open(sys.argv[1], "rb").read()))' "$input" | head -c 20000
      echo
    done
  else
    read -r c f <<<"${cov:-? ?}"
    summary+=("$(printf '%-14s %10s runs %8s exec/s  cov %6s  ft %6s' "$t" "${runs:-?}" "${rate:-?}" "$c" "$f")")
  fi
done

echo "== fuzz summary ($seconds s per target)"
printf '%s\n' "${summary[@]}"
exit "$failed"
