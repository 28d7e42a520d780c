#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the launcher and starts it on a demo:
# demo-run/central is the central copy (stand-in modules and placeholder support
# files), demo-run/install the installation folder the launcher keeps current.
#   scripts/run.sh          the central copy is a share folder
#   scripts/run.sh --http   the same central copy served by quorvia-fileserver
# Costs.exe is left out of the central copy on purpose: its tile shows the
# "not installed" message.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=share
case "${1:-}" in
  "") ;;
  --http) mode=http ;;
  *) echo "usage: scripts/run.sh [--http]" >&2; exit 64 ;;
esac

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target quorvia-arvento quorvia-fileserver \
  quorvia-demo-module quorvia-demo-central

demo=$PWD/demo-run
central=$demo/central
install=$demo/install
modules=(SysAdmin.exe Registry.exe Appointments.exe Prescriptions.exe Billing.exe Archive.exe
  Emergency.exe Exams.exe Inventory.exe SurgerySchedule.exe Equipment.exe Purchasing.exe
  Finance.exe Denials.exe TeamViewerQS_pt.exe Supremo.exe)

if [ ! -d "$central" ]; then
  echo "Creating the demo central copy in $central" >&2
  build/tools/demo-central/quorvia-demo-central "$central" \
    build/tools/demo-module/quorvia-demo-module "${modules[@]}"
fi
mkdir -p "$install"
cp build/launcher/quorvia-arvento "$install/quorvia-arvento"

server_pid=
cleanup() { if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT

if [ "$mode" = http ]; then
  port=${QUORVIA_DEMO_PORT:-18080}
  build/tools/quorvia-fileserver/quorvia-fileserver --root "$central" \
    --listen "127.0.0.1:$port" 2>"$demo/fileserver.log" &
  server_pid=$!
  printf '[Servidor]\r\nurl=http://127.0.0.1:%s\r\n' "$port" > "$install/Quorvia.ini"
  echo "Serving $central on http://127.0.0.1:$port (log: $demo/fileserver.log)" >&2
else
  printf '[Servidor]\r\nLocal Exe=%s\r\n' "$central" > "$install/Quorvia.ini"
fi

cd "$install"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting on a virtual X server (xvfb-run)." >&2
  xvfb-run -a ./quorvia-arvento
else
  ./quorvia-arvento
fi
