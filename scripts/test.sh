#!/usr/bin/env bash
# Builds both programs and runs every test: Linux natively (also once with
# AddressSanitizer, and the threaded unit tests with ThreadSanitizer), Windows
# under Wine in a private prefix with its own X server. Both Linux runs also
# replay the committed fuzz inputs. Ends with "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

passed=0
failed=0
work=$(mktemp -d /tmp/nimbra-test.XXXXXX)
xvfb_pid=""

cleanup() {
  if [[ -d $work/prefix ]]; then WINEPREFIX=$work/prefix /usr/lib/wine/wineserver -k 2>/dev/null; fi
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build() {
  echo "== build $1"
  if ! { cmake --preset "$1" >"$work/configure-$1.log" 2>&1 && cmake --build --preset "$1"; }; then
    cat "$work/configure-$1.log"
    echo "build $1 FAILED"
    failed=$((failed + 1))
    return 1
  fi
}

# Adds ctest's own counts to the totals; a run that reports none counts as one failure.
run_ctest() {
  local preset=$1
  shift
  echo "== ctest $preset"
  local log=$work/ctest-$preset.log
  ctest --preset "$preset" "$@" 2>&1 | tee "$log"
  local summary
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [[ -z $summary ]]; then
    failed=$((failed + 1))
    return
  fi
  local bad total
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

start_wine() {
  echo "== Wine prefix and X server"
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
  if [[ ! -s $work/display ]]; then echo "Xvfb did not start"; return 1; fi
  export DISPLAY=":$(head -1 "$work/display")" WINEPREFIX=$work/prefix WINEDEBUG=-all
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 </dev/null
}

began=$(date +%s)
if build linux; then run_ctest linux; fi
if build linux-asan; then run_ctest linux-asan; fi
# Only the unit tests whose code runs on more than one thread.
if build linux-tsan; then
  run_ctest linux-tsan -R '^(Channel|MessageWriter|EncoderThread|LowEncoder|LowFeeder|StdinCommands|AppMixer|SessionScan)\.'
fi
if build windows; then
  if start_wine; then run_ctest windows; else failed=$((failed + 1)); fi
fi

echo "== took $(($(date +%s) - began)) s"
echo "$passed passed, $failed failed"
((failed == 0))
