#!/usr/bin/env bash
# Fuzzes every harness in fuzz/ for SECONDS each (default 60) under
# AddressSanitizer and UndefinedBehaviorSanitizer, one after the other. The
# corpora grow in build/fuzz/corpus from seeds made by fuzz/make_seeds.py; a
# finding is left in build/fuzz/findings and makes the status 1 (minimise it
# and commit it to fuzz/regressions/<harness>/ with the fix).
# `--coverage` then replays every corpus through a coverage build and prints
# the line and branch coverage of the sources they reach.
#   scripts/fuzz.sh [SECONDS] [--coverage] [HARNESS...]
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=60
coverage=0
harnesses=()
for arg in "$@"; do
  case $arg in
    --coverage) coverage=1 ;;
    [0-9]*) seconds=$arg ;;
    *) harnesses+=("$arg") ;;
  esac
done
((${#harnesses[@]})) || harnesses=(watch_wire sps_rewrite stdin_commands command_line watch_pipeline)

bash scripts/setup.sh || exit 1
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz || exit 1
python3 fuzz/make_seeds.py build/fuzz/seeds || exit 1

status=0
for name in "${harnesses[@]}"; do
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus" build/fuzz/findings
  echo "== fuzz $name for $seconds s"
  log=build/fuzz/$name.log
  build/fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/findings/"$name"- "$corpus" build/fuzz/seeds/"$name" fuzz/regressions/"$name" \
    >"$log" 2>&1
  result=$?
  grep -E '^Done|stat::number_of_executed_units|stat::peak_rss_mb' "$log"
  echo "corpus: $(find "$corpus" -type f | wc -l) inputs"
  if ((result != 0)); then
    grep -E -A20 '^==[0-9]+==ERROR|runtime error|check failed' "$log" | head -40
    echo "$name: FINDING, see $log and build/fuzz/findings"
    status=1
  fi
done

if ((coverage)); then
  cmake --preset fuzz-coverage >/dev/null && cmake --build --preset fuzz-coverage || exit 1
  profiles=build/fuzz-coverage/profiles
  rm -rf "$profiles" && mkdir -p "$profiles"
  objects=()
  for name in "${harnesses[@]}"; do
    program=build/fuzz-coverage/fuzz/fuzz_$name
    LLVM_PROFILE_FILE=$profiles/$name.profraw "$program" build/fuzz/corpus/"$name" build/fuzz/seeds/"$name" \
      fuzz/regressions/"$name" >/dev/null 2>&1
    objects+=(-object "$program")
  done
  llvm-profdata-16 merge -o "$profiles/all.profdata" "$profiles"/*.profraw
  llvm-cov-16 report -instr-profile "$profiles/all.profdata" "${objects[@]:1}" \
    src/wire/watch_wire.cpp src/wire/buffered_reader.cpp src/codec/avc_config.cpp src/codec/sps_bt601.cpp \
    src/watch/watch_session.cpp src/watch/display_size.cpp src/capture/stdin_commands.cpp src/cli/command_line.cpp \
    src/cli/number_syntax.cpp src/platform/linux/avcodec_decoder.cpp
fi
exit $status
