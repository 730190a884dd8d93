#!/usr/bin/env bash
# The main job: builds the Linux program and records a 10-second capture of the
# screen with the low layer on. Without a display it starts a private X server
# with moving content. Leaves out/capture.mp4, out/low.mp4 and out/preview.png.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null

exec python3 tools/demo_session.py --exe build/linux/nimbra-capture --out "${1:-out}" --seconds 10
