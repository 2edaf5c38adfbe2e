#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on the whole project) and runs each for
# FUZZ_SECONDS seconds (default 20), starting from a scratch copy of its seed
# corpus, so tests/fuzz/corpus is never changed. Prints one line per target:
# executions, coverage (cov: edges, ft: features) and the corpus it ended
# with. Exits non-zero when a target fails; the failing input's path is
# printed, to be saved under tests/fuzz/regressions/<target>/.
#
# Environment: FUZZ_SECONDS (per target), FUZZ_TARGETS (a subset, separated by
# blanks), ODU_FUZZ_BUILD_DIR (default build/fuzz), ODU_FUZZ_SOURCE_DIR (the
# tree to configure, default this repository).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
src=${ODU_FUZZ_SOURCE_DIR:-$root}
build=${ODU_FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-20}
targets=(${FUZZ_TARGETS:-frame_assembly station_reply intel_hex registry_walk telnet_stream})

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is needed (with libFuzzer: libclang-rt-dev)" >&2
  exit 2
fi

echo "== fuzz: building ${targets[*]} in $build"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DODU_BUILD_FUZZ=ON -DODU_BUILD_GUI=OFF -DODU_BUILD_BENCH=OFF -DODU_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzz}"

runs=$build/fuzz-runs
failed=0
for target in "${targets[@]}"; do
  work=$runs/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$root/tests/fuzz/corpus/$target/"* "$work/corpus/"
  extra=()
  # The frame assembly's harness keeps its window and port from one input to
  # the next, so the allocation counts never balance per input and the
  # per-input leak check would run a full leak scan every time.
  [[ $target == frame_assembly ]] && extra+=(-detect_leaks=0)
  set +e
  "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "${extra[@]}" "$work/corpus" >"$work/log" 2>&1
  status=$?
  set -e

  last=$(grep -E '^#[0-9]+' "$work/log" | tail -n 1 || true)
  execs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$work/log" | grep -oE '[0-9]+$' || true)
  [[ -n $execs ]] || execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last")
  cov=$(grep -oE 'cov: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || true)
  ft=$(grep -oE 'ft: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || true)
  corp=$(grep -oE 'corp: [0-9]+/[0-9A-Za-z]+' <<<"$last" | cut -d' ' -f2 || true)
  if ((status == 0)); then
    printf 'fuzz %-15s ok      %ss  execs: %s  cov: %s  ft: %s  corpus: %s\n' \
      "$target" "$seconds" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
  else
    failed=1
    printf 'fuzz %-15s FAILED  (exit %s)  execs: %s  cov: %s  ft: %s\n' \
      "$target" "$status" "${execs:-?}" "${cov:-?}" "${ft:-?}"
    grep -E 'ERROR|invariant broken|runtime error|==[0-9]+==' "$work/log" | head -n 5 | sed 's/^/  /'
    for crash in "$work"/artifacts/*; do
      [[ -e $crash ]] && echo "  failing input: $crash (save under tests/fuzz/regressions/$target/)"
    done
    echo "  log: $work/log"
  fi
done
exit "$failed"
