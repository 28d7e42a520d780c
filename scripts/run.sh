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
xvfb_pid=
launcher_pid=
cleanup() {
  for pid in $launcher_pid $server_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until the server started above listens on its port. Stops the demo,
# saying why, when it exits first (port taken, folder missing) or never listens.
wait_for_server() {
  local log=$1 port=$2 status
  for _ in $(seq 1 100); do
    if ! kill -0 "$server_pid" 2>/dev/null; then
      wait "$server_pid" && status=0 || status=$?
      server_pid=
      echo "quorvia-fileserver did not start (exit status $status); its log:" >&2
      sed 's/^/  /' "$log" >&2
      echo "If another program holds port $port, choose another: QUORVIA_DEMO_PORT=NNNN $0 --http" >&2
      exit 1
    fi
    # Our own server must be the one that answers, not whatever else holds the port.
    if grep -q "127.0.0.1:$port" "$log" 2>/dev/null &&
       (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  echo "quorvia-fileserver runs but does not listen on 127.0.0.1:$port after 10 s; its log:" >&2
  sed 's/^/  /' "$log" >&2
  exit 1
}

if [ "$mode" = http ]; then
  port=${QUORVIA_DEMO_PORT:-18080}
  log=$demo/fileserver.log
  build/tools/quorvia-fileserver/quorvia-fileserver --root "$central" \
    --listen "127.0.0.1:$port" 2>"$log" &
  server_pid=$!
  wait_for_server "$log" "$port"
  printf '[Servidor]\r\nurl=http://127.0.0.1:%s\r\n' "$port" > "$install/Quorvia.ini"
  echo "Serving $central on http://127.0.0.1:$port (log: $log)" >&2
else
  printf '[Servidor]\r\nLocal Exe=%s\r\n' "$central" > "$install/Quorvia.ini"
fi

quit_hint="Closing the window only minimises it. To quit, right-click a module picture and
choose \"Fecha o Sistema de Gesttão Hospitalar\", or press Ctrl+C here."

cd "$install"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # A virtual screen of our own, on the first free display number.
  rm -f "$demo/xvfb.display"
  Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp 5>"$demo/xvfb.display" \
    2>"$demo/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$demo/xvfb.display" ] && break
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then
      xvfb_pid=
      echo "Xvfb did not start; its log:" >&2
      sed 's/^/  /' "$demo/xvfb.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  if [ ! -s "$demo/xvfb.display" ]; then
    echo "Xvfb named no display within 10 s (log: $demo/xvfb.log)" >&2
    exit 1
  fi
  display=:$(tr -d '\n' < "$demo/xvfb.display")
  export DISPLAY=$display
  cat >&2 <<EOF
No display found: the launcher runs on the virtual screen $display (Xvfb), which
nothing shows. To look at it from another terminal:
  screenshot  import -display $display -window root shot.png    (package imagemagick)
              xwd -display $display -root -out shot.xwd           (package x11-apps)
  live view   x11vnc -display $display -localhost -forever       (package x11vnc), then
              a VNC viewer on localhost:5900 (from afar: ssh -L 5900:localhost:5900 ...)
  click       DISPLAY=$display xdotool mousemove X Y click 1        (package xdotool)
$quit_hint
To stop the demo from elsewhere: kill $$
EOF
else
  echo "$quit_hint" >&2
fi
# In the background so that Ctrl+C or a kill of this script also ends it. Its
# trace (one line per download) goes to a log, so that the lines above stay in view.
echo "Launcher output: $demo/launcher.log" >&2
./quorvia-arvento 2>"$demo/launcher.log" &
launcher_pid=$!
wait "$launcher_pid"
launcher_pid=
