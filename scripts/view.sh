#!/usr/bin/env bash
# The live viewer: builds the Linux program and serves a page on 127.0.0.1
# that shows the session as a browser host decodes it (open the printed
# address). Without a display it starts a private X server with moving
# content. Options after the script's name go to the helper.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null

if (($# == 0)); then set -- --source s:0 --low 640x360 --low-fps 15; fi
exec python3 tools/viewer/bridge.py --exe build/linux/nimbra-capture -- "$@"
