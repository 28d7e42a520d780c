#!/usr/bin/env bash
# Measures the file-server path of the update engine against the usual tools:
#   cold run   quorvia-update --url           vs  curl --parallel --parallel-max 16
#   no-op run  with a 20,000-file filler listed: total, listing request, the rest
#   peak memory of quorvia-update fetching a 1 GiB central file
#   quorvia-fileserver vs nginx: concurrent clients each fetching all 72 files
# Runs are alternated and repeated; medians are reported. Caches stay warm for
# both sides alike.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

usage() {
    cat <<EOF
Usage: $0 --update PATH --server PATH [options]
  --update PATH   the built quorvia-update
  --server PATH   the built quorvia-fileserver
  --size-mb N     size of the central copy without filler (default 300)
  --filler N      small files in the filler tree of the no-op run (default 20000)
  --repeat N      runs per measurement (default 5)
  --clients N     concurrent clients against each server (default 50)
  --big-mb N      size of the big central file (default 1024)
  --no-nginx      leave out the comparison with nginx
  --work DIR      scratch folder (default \${TMPDIR:-/tmp}/quorvia-http-bench)
  --keep          keep the scratch folder afterwards
EOF
}

update=""
server=""
size_mb=300
filler=20000
repeat=5
clients=50
big_mb=1024
with_nginx=1
work="${TMPDIR:-/tmp}/quorvia-http-bench"
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --update) update="$2"; shift 2 ;;
    --server) server="$2"; shift 2 ;;
    --size-mb) size_mb="$2"; shift 2 ;;
    --filler) filler="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --clients) clients="$2"; shift 2 ;;
    --big-mb) big_mb="$2"; shift 2 ;;
    --no-nginx) with_nginx=0; shift ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 64 ;;
    esac
done
need_program update quorvia-update
need_program server quorvia-fileserver

# The tools compared against; installed here, never in CI. RUNLEVEL=1 keeps the
# package from starting a web server of its own.
tools=(curl /usr/bin/time:time)
[ "$with_nginx" -eq 0 ] || tools+=(/usr/sbin/nginx:nginx)
RUNLEVEL=1 install_missing "${tools[@]}"

start_scratch

central="$work/central"
make_central "$central" "$size_mb"

central_filler="$work/central-filler"
make_filler_copy "$central" "$central_filler" "$filler"

central_big="$work/central-big"
cp -al "$central" "$central_big"
truncate -s "$((big_mb * 1024 * 1024))" "$central_big/Huge.exe"
touch -m -d "$stamp" "$central_big/Huge.exe"

# --- cold run ---------------------------------------------------------------
start_fileserver "$central" /dev/null
url=$server_url
curl_config="$work/curl-cold.txt"
for f in "${cold_files[@]}"; do
    printf 'url = "%s/download?file=%s"\noutput = "%s"\n' \
        "$url" "${f//\//%5C}" "$work/local-curl/$f"
done >"$curl_config"

quorvia_cold=()
curl_cold=()
for ((i = 0; i < repeat; i++)); do
    fresh_local "$work/local"
    quorvia_cold+=("$(seconds "$update" --dir "$work/local" --url "$url" --shared-files --module "$module")")
    fresh_local "$work/local-curl"
    curl_cold+=("$(seconds curl -s --fail --parallel --parallel-max 16 -K "$curl_config")")
done
fetched=$(find "$work/local" -type f | wc -l)

# --- no-op run with the filler listed ----------------------------------------
start_fileserver "$central_filler" /dev/null
url_filler=$server_url
fresh_local "$work/local"
"$update" --dir "$work/local" --url "$url_filler" --shared-files --module "$module" >/dev/null 2>&1
listing="$url_filler/folderlist?folder=%5C&mask=*.*&recursive="
listing_bytes=$(curl -s "$listing" | wc -c)
listed=$(curl -s "$listing" | grep -o '"fileName"' | wc -l)
quorvia_noop=()
listing_only=()
for ((i = 0; i < repeat; i++)); do
    quorvia_noop+=("$(seconds "$update" --dir "$work/local" --url "$url_filler" --shared-files --module "$module")")
    listing_only+=("$(curl -s -o /dev/null -w '%{time_total}' "$listing")")
done
startup=()
for ((i = 0; i < repeat; i++)); do startup+=("$(seconds "$update" --help)"); done

# --- peak memory with a big central file -------------------------------------
start_fileserver "$central_big" /dev/null
url_big=$server_url
fresh_local "$work/local-big"
/usr/bin/time -v "$update" --dir "$work/local-big" --url "$url_big" --module Huge.exe \
    >/dev/null 2>"$work/time-big.txt"
big_rss_kb=$(max_rss_kb <"$work/time-big.txt")
big_size=$(stat -c %s "$work/local-big/Huge.exe")
rm -rf "$work/local-big"

# --- concurrent clients: quorvia-fileserver vs nginx --------------------------
all_bytes=0
for f in "${all_files[@]}"; do all_bytes=$((all_bytes + $(stat -c %s "$central/$f"))); done

clients_run() { # config-file ; runs the clients, prints "seconds failures"
    local start end
    rm -f "$work"/codes.*
    start=$EPOCHREALTIME
    for ((c = 0; c < clients; c++)); do
        curl -s -K "$1" -w '%{http_code}\n' >"$work/codes.$c" 2>/dev/null &
    done
    wait # this runs in a subshell: its children are the clients only
    end=$EPOCHREALTIME
    local failures
    failures=$(cat "$work"/codes.* | grep -vc '^200$' || true)
    awk -v a="$start" -v b="$end" -v f="$failures" 'BEGIN { printf "%.4f %d\n", b - a, f }'
}

qs_config="$work/curl-qs.txt"
for f in "${all_files[@]}"; do
    printf 'url = "%s/download?file=%s"\noutput = "/dev/null"\n' "$url" "${f//\//%5C}"
done >"$qs_config"
qs_times=()
qs_failures=0
ng_times=()
ng_failures=0
if [ "$with_nginx" -eq 1 ]; then
    ng_port=$(free_port)
    start_nginx "$work/nginx" "sendfile on; keepalive_requests 10000;
    server { listen 127.0.0.1:$ng_port; root $central; }"
    wait_http "http://127.0.0.1:$ng_port/common.ini"
    ng_config="$work/curl-ng.txt"
    for f in "${all_files[@]}"; do
        printf 'url = "http://127.0.0.1:%s/%s"\noutput = "/dev/null"\n' "$ng_port" "$f"
    done >"$ng_config"
fi
for ((i = 0; i < repeat; i++)); do
    read -r t f < <(clients_run "$qs_config")
    qs_times+=("$t")
    qs_failures=$((qs_failures + f))
    if [ "$with_nginx" -eq 1 ]; then
        read -r t f < <(clients_run "$ng_config")
        ng_times+=("$t")
        ng_failures=$((ng_failures + f))
    fi
done

qc=$(median "${quorvia_cold[@]}")
cc=$(median "${curl_cold[@]}")
qn=$(median "${quorvia_noop[@]}")
ln=$(median "${listing_only[@]}")
su=$(median "${startup[@]}")
qt=$(median "${qs_times[@]}")
mb() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.0f", b / t / 1048576 }'; }
echo
echo "central copy: ${#all_files[@]} files, $((all_bytes / 1048576)) MiB; cold run fetches $fetched files; repeat $repeat"
echo "cold run     quorvia-update --url ${qc} s   curl --parallel 16 ${cc} s   ratio $(ratio "$qc" "$cc") (target <= 1.0)"
echo "no-op run    quorvia-update ${qn} s with $listed files listed ($((listing_bytes / 1024)) KiB body)"
echo "             listing request alone ${ln} s ($(awk -v a="$ln" -v b="$qn" 'BEGIN { printf "%.0f", 100 * a / b }')%)," \
    "process start (--help) ${su} s, the rest (parse, compare, settings) $(awk -v a="$qn" -v b="$ln" -v c="$su" 'BEGIN { printf "%.4f", a - b - c }') s"
echo "big file     ${big_size} bytes fetched, peak RSS of quorvia-update $((big_rss_kb / 1024)) MiB (target < 64 MiB)"
echo "$clients clients x ${#all_files[@]} files: quorvia-fileserver ${qt} s, $(mb $((all_bytes * clients)) "$qt") MiB/s, $qs_failures failed requests"
if [ "$with_nginx" -eq 1 ]; then
    nt=$(median "${ng_times[@]}")
    echo "                       nginx ${nt} s, $(mb $((all_bytes * clients)) "$nt") MiB/s, $ng_failures failed requests;" \
        "throughput ratio $(ratio "$nt" "$qt") (target >= 0.8)"
fi
