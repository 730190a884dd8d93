#!/usr/bin/env bash
# The main job: builds the Linux program and runs one capture session of the
# screen, showing what the host receives. Until a capture backend is built in,
# the session ends after its handshake with status 3.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null

python3 - "$PWD/build/linux/nimbra-capture" <<'PY'
import os
import sys

sys.path.insert(0, os.path.join(os.getcwd(), "tests", "process"))
import harness

exe = sys.argv[1]
target = harness.Target(exe, "linux")
args = ["--source", "s:0", "--parent", str(os.getpid())]
print("$ nimbra-capture " + " ".join(args))
status, out, err = target.run_holding_stdin(args)
for kind, payload in harness.parse_messages(out):
    shown = payload.decode() if kind == 1 else "%d bytes" % len(payload)
    print("message kind %d: %s" % (kind, shown))
for line in err.decode(errors="replace").splitlines():
    print("stderr: " + line)
print("exit status %d" % status)
sys.exit(0 if out else 1)
PY
