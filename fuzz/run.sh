#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds (default 30) on a
# copy of its seed corpus in build/fuzz/run (the repository is never
# written to) and fails on any finding: a crash, a sanitizer report, a
# disagreement, a timeout or running out of memory. The input that caused a
# finding is left in build/fuzz/run/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
fuzz/build.sh >/dev/null
scratch="$PWD/build/fuzz/run"
rm -rf "$scratch"
failed=()
for src in fuzz/targets/*.cpp; do
  target="$(basename "$src" .cpp)"
  work="$scratch/$target"
  mkdir -p "$work/corpus"
  if [ -d "fuzz/corpus/$target" ]; then cp "fuzz/corpus/$target"/* "$work/corpus/"; fi
  dict=()
  case "$target" in
    *_head | fuzz_body_decoder) dict=(-dict=fuzz/http1.dict) ;;
  esac
  # -timeout: no single input may take a second; -rss_limit_mb: bounded memory.
  if build/fuzz/"$target" "$work/corpus" "${dict[@]}" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/" >"$work/log" 2>&1; then
    stats="$(grep -E '^stat::number_of_executed_units' "$work/log" | awk '{print $2}' || true)"
    cov="$(grep -E '^#[0-9]+.*(DONE|cov:)' "$work/log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)"
    echo "$target: ok, $stats runs, $cov"
  else
    echo "$target: FINDING (log and input in $work)"
    grep -E 'FINDING|ERROR|SUMMARY|Test unit written' "$work/log" | head -n 5 || true
    failed+=("$target")
  fi
done
if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
