#!/usr/bin/env bash
# Measures quorvia-fileserver where a hospital's morning rush hurts:
#   small files (4 KiB)  wrk -t2 -c32, quorvia-fileserver vs nginx on the same folder
#   large files (20 MB)  wrk -t2 -c16, the same
#   a cold run (listing + 56 downloads) while 1,000 idle and 200 slow
#     connections are held, vs the same run alone; the server's peak RSS
#   a no-op quorvia-update over a 20,000-file central copy: --url vs --share
#   300 cold clients through an nginx cache (deploy/nginx): bytes the origin sent
# Ratios are taken within one run; on a shared machine compare those, not the
# absolute figures. Needs wrk, nginx, curl, python3 and /usr/bin/time.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"
here="$(cd "$(dirname "$0")" && pwd)"

usage() {
    cat <<EOF
Usage: $0 --server PATH --update PATH [options]
  --server PATH    the built quorvia-fileserver
  --update PATH    the built quorvia-update
  --size-mb N      size of the central copy (default 100)
  --filler N       small files in the filler tree of the no-op run (default 20000)
  --repeat N       runs per measurement (default 3)
  --duration S     seconds of each wrk run (default 5)
  --idle N         idle connections held (default 1000)
  --slow N         slow connections held (default 200)
  --clients N      clients through the nginx cache (default 300)
  --cache-mb N     size of the central copy behind the cache (default 10)
  --work DIR       scratch folder (default \${TMPDIR:-/tmp}/quorvia-server-bench)
  --keep           keep the scratch folder afterwards
EOF
}

server=""
update=""
size_mb=100
filler=20000
repeat=3
duration=5
idle=1000
slow=200
clients=300
cache_mb=10
work="${TMPDIR:-/tmp}/quorvia-server-bench"
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --server) server="$2"; shift 2 ;;
    --update) update="$2"; shift 2 ;;
    --size-mb) size_mb="$2"; shift 2 ;;
    --filler) filler="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --duration) duration="$2"; shift 2 ;;
    --idle) idle="$2"; shift 2 ;;
    --slow) slow="$2"; shift 2 ;;
    --clients) clients="$2"; shift 2 ;;
    --cache-mb) cache_mb="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 64 ;;
    esac
done
need_program server quorvia-fileserver
need_program update quorvia-update
RUNLEVEL=1 install_missing wrk curl python3 /usr/bin/time:time /usr/sbin/nginx:nginx

start_scratch
ulimit -n "$(ulimit -Hn)"

# wrk_rps SCRIPT-PREFIX CONNECTIONS URL ; requests per second and bytes per second
wrk_run() {
    WRK_PATH="$1" wrk -t2 -c"$2" -d"${duration}s" -s "$work/paths.lua" "$3" |
        awk '/Requests\/sec/ { r = $2 } /Non-2xx/ { bad = $NF } END { printf "%s %d\n", r, bad }'
}
cat >"$work/paths.lua" <<'EOF'
-- Each request asks for one of 1000 (or 4) files named PATH0, PATH1...
local path = os.getenv("WRK_PATH")
local count = tonumber(os.getenv("WRK_COUNT") or "1000")
request = function()
    return wrk.format("GET", path .. math.random(0, count - 1))
end
EOF

# --- small and large files: quorvia-fileserver vs nginx ------------------------
static="$work/static"
mkdir -p "$static/small" "$static/large"
for ((i = 0; i < 1000; i++)); do head -c 4096 /dev/urandom >"$static/small/f$i"; done
for ((i = 0; i < 4; i++)); do head -c $((20 * 1024 * 1024)) /dev/urandom >"$static/large/f$i"; done

start_fileserver "$static" /dev/null --max-per-address 0
qs_static=$server_url
ng_port=$(free_port)
start_nginx "$work/nginx-static" "sendfile on; tcp_nopush on; keepalive_requests 1000000;
    server { listen 127.0.0.1:$ng_port; root $static; }"
wait_http "http://127.0.0.1:$ng_port/small/f0"

q_small=(); n_small=(); q_large=(); n_large=(); bad=0
for ((i = 0; i < repeat; i++)); do
    read -r r b < <(WRK_COUNT=1000 wrk_run "/download?file=small%5Cf" 32 "$qs_static"); q_small+=("$r"); bad=$((bad + b))
    read -r r b < <(WRK_COUNT=1000 wrk_run "/small/f" 32 "http://127.0.0.1:$ng_port"); n_small+=("$r"); bad=$((bad + b))
    read -r r b < <(WRK_COUNT=4 wrk_run "/download?file=large%5Cf" 16 "$qs_static"); q_large+=("$r"); bad=$((bad + b))
    read -r r b < <(WRK_COUNT=4 wrk_run "/large/f" 16 "http://127.0.0.1:$ng_port"); n_large+=("$r"); bad=$((bad + b))
done
stop_pid "$nginx_pid"
stop_pid "$server_pid"

# --- a cold run while idle and slow connections are held -----------------------
central="$work/central"
make_central "$central" "$size_mb"
start_fileserver "$central" /dev/null --max-per-address 0
url=$server_url
cold_pid=$server_pid
cold_alone=(); cold_held=(); held_line=""
for ((i = 0; i < repeat; i++)); do
    fresh_local "$work/local"
    cold_alone+=("$(seconds "$update" --dir "$work/local" --url "$url" --shared-files --module "$module")")
    python3 "$here/hold_connections.py" "${url##*:}" "$idle" "$slow" >"$work/held.txt" 2>&1 &
    holder=$!
    for _ in $(seq 200); do grep -q ready "$work/held.txt" && break; sleep 0.05; done
    sleep 1
    fresh_local "$work/local"
    cold_held+=("$(seconds "$update" --dir "$work/local" --url "$url" --shared-files --module "$module")")
    [ "$(find "$work/local" -type f | wc -l)" -eq "${#cold_files[@]}" ] || { echo "cold run under load incomplete" >&2; exit 1; }
    held_line=$(grep held "$work/held.txt" | tail -1 || true)
    stop_pid "$holder"
done
cold_rss_kb=$(awk '/VmHWM/ { print $2 }' "/proc/$cold_pid/status")
stop_pid "$cold_pid"

# --- no-op run over 20,000 files: --url vs --share -----------------------------
central_filler="$work/central-filler"
make_filler_copy "$central" "$central_filler" "$filler"
start_fileserver "$central_filler" /dev/null
noop_pid=$server_pid
fresh_local "$work/local-noop"
"$update" --dir "$work/local-noop" --share "$central_filler" --shared-files --module "$module" >/dev/null 2>&1
noop_url=(); noop_share=()
"$update" --dir "$work/local-noop" --url "$server_url" --shared-files --module "$module" >/dev/null 2>&1 # fills the listing
for ((i = 0; i < repeat; i++)); do
    noop_url+=("$(seconds "$update" --dir "$work/local-noop" --url "$server_url" --shared-files --module "$module")")
    noop_share+=("$(seconds "$update" --dir "$work/local-noop" --share "$central_filler" --shared-files --module "$module")")
done
stop_pid "$noop_pid"

# --- many cold clients through an nginx cache -----------------------------------
central_cache="$work/central-cache"
make_central "$central_cache" "$cache_mb"
start_fileserver "$central_cache" "$work/origin.log" --max-per-address 0
origin_pid=$server_pid
cache_port=$(free_port)
site=$(sed -e "s#/var/cache/nginx/quorvia#$work/nginx-cache/cache#" \
    -e "s#127.0.0.1:8080#${server_url#http://}#" -e "s/listen 80;/listen 127.0.0.1:$cache_port;/" \
    "$here/../deploy/nginx/quorvia-fileserver.conf")
start_nginx "$work/nginx-cache" "$site"
wait_http "http://127.0.0.1:$cache_port/folderlist"
start=$EPOCHREALTIME
for ((c = 0; c < clients; c++)); do
    fresh_local "$work/clients/$c"
    "$update" --dir "$work/clients/$c" --url "http://127.0.0.1:$cache_port" --shared-files --module "$module" \
        >"$work/clients/$c.out" 2>&1 &
    client_pids+=($!)
done
failed=0
for p in "${client_pids[@]}"; do wait "$p" || failed=$((failed + 1)); done
end=$EPOCHREALTIME
complete=0
for ((c = 0; c < clients; c++)); do
    if diff -rq "$work/clients/$c" "$central_cache" 2>/dev/null | grep -q "differ"; then :; else
        [ "$(find "$work/clients/$c" -type f | wc -l)" -eq "${#cold_files[@]}" ] && complete=$((complete + 1))
    fi
done
stop_pid "$nginx_pid"
stop_pid "$origin_pid"
sent_200=$(grep -c '"GET /download?file=[^"]*" 200 ' "$work/origin.log" || true)
sent_twice=$(grep -o '"GET /download?file=[^"]*" 200 ' "$work/origin.log" | sort | uniq -d | wc -l)
confirmed=$(grep -c '"GET /download?file=[^"]*" 304 ' "$work/origin.log" || true)
origin_bytes=$(awk '/"GET \/download\?file=[^"]*" 200 / { s += $(NF - 1) } END { print s + 0 }' "$work/origin.log")
cache_bytes=0
for f in "${cold_files[@]}"; do cache_bytes=$((cache_bytes + $(stat -c %s "$central_cache/$f"))); done

qs=$(median "${q_small[@]}"); ns=$(median "${n_small[@]}")
ql=$(median "${q_large[@]}"); nl=$(median "${n_large[@]}")
ca=$(median "${cold_alone[@]}"); ch=$(median "${cold_held[@]}")
nu=$(median "${noop_url[@]}"); nsh=$(median "${noop_share[@]}")
echo
echo "repeat $repeat, wrk ${duration}s; every figure a median, every ratio from this run"
echo "small files 4 KiB, wrk -t2 -c32: quorvia-fileserver $qs req/s, nginx $ns req/s; ratio $(ratio "$qs" "$ns") (target >= 0.8)"
echo "large files 20 MB, wrk -t2 -c16: quorvia-fileserver $ql req/s, nginx $nl req/s; ratio $(ratio "$ql" "$nl") (target >= 0.9)"
echo "                                 non-2xx answers in all wrk runs: $bad"
echo "cold run (listing + ${#cold_files[@]} files): alone $ca s, with $idle idle + $slow slow held $ch s;" \
    "ratio $(ratio "$ch" "$ca") (target <= 1.5); last holder report: $held_line"
echo "                                 server peak RSS $((cold_rss_kb / 1024)) MiB (target < 64 MiB)"
echo "no-op run over $filler filler files: --url $nu s, --share $nsh s; ratio $(ratio "$nu" "$nsh") (target <= 1.5)"
echo "$clients cold clients through nginx: $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s," \
    "$complete complete, $failed failed; origin sent $sent_200 files with bytes ($origin_bytes bytes for $cache_bytes bytes of distinct files)," \
    "$sent_twice files more than once, $confirmed answers confirmed with 304"
