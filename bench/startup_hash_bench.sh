#!/usr/bin/env bash
# Measures how long quorvia-fileserver takes from its start until its first
# listing answers, for a central copy with a filler tree of 20,000 small files:
# at start-up the server reads and hashes (SHA-256) every file, so this is the
# start-up hashing time. Each run starts a fresh server; the page cache is warm
# (the script never drops caches). With --baseline PATH another build (one that
# does not hash, for instance) is measured the same way, alternating with it.
# Prints every run, the median and the spread (max - min). Not part of CI.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

usage() {
    cat <<EOF
Usage: $0 --server PATH [options]
  --server PATH    the built quorvia-fileserver
  --baseline PATH  another quorvia-fileserver measured alike, for comparison
  --size-mb N      size of the central copy beside the filler tree (default 300)
  --filler N       small files in the filler tree (default 20000)
  --repeat N       runs per server (default 3)
  --work DIR       scratch folder (default \${TMPDIR:-/tmp}/quorvia-startup-bench)
  --keep           keep the scratch folder afterwards
EOF
}

server=""
baseline=""
size_mb=300
filler=20000
repeat=3
work="${TMPDIR:-/tmp}/quorvia-startup-bench"
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --server) server="$2"; shift 2 ;;
    --baseline) baseline="$2"; shift 2 ;;
    --size-mb) size_mb="$2"; shift 2 ;;
    --filler) filler="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 64 ;;
    esac
done
need_program server quorvia-fileserver
[ -z "$baseline" ] || need_program baseline "the baseline quorvia-fileserver"
install_missing curl python3

start_scratch
make_central "$work/central" "$size_mb"
make_filler_copy "$work/central" "$work/tree" "$filler"
files=$(find "$work/tree" -type f | wc -l)
tree_mib=$(du -sm --apparent-size "$work/tree" | cut -f1)
# Warm the page cache for every run alike.
find "$work/tree" -type f -exec cat {} + >/dev/null

listing_query="folderlist?folder=%5C&mask=*.*&recursive="

# startup_seconds PROGRAM LABEL ; starts PROGRAM on the tree, waits until its
# port answers (an unknown route, which needs no catalogue), then asks for the
# whole listing, which waits for the first reading of the tree; prints the
# seconds from the start to the listing's answer and checks the listing.
startup_seconds() {
    local program="$1" label="$2" port url start end pid body digests i
    port=$(free_port)
    url="http://127.0.0.1:$port"
    body="$work/listing-$label.json"
    start=$EPOCHREALTIME
    "$program" --root "$work/tree" --listen "127.0.0.1:$port" >/dev/null 2>"$work/log-$label" &
    pid=$!
    pids+=("$pid")
    for ((i = 0; i < 6000; i++)); do
        curl -s -o /dev/null "$url/ready" && break
        sleep 0.005
    done
    curl -sf -o "$body" "$url/$listing_query" || { echo "$label: no listing" >&2; exit 1; }
    end=$EPOCHREALTIME
    stop_pid "$pid"
    digests=$(grep -o '"sha256":"[0-9a-f]\{64\}"' "$body" | wc -l || true)
    echo "$digests" >"$work/digests-$label"
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

# spread VALUE... ; max - min, four decimals
spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.4f", hi - lo }'; }

echo "tree: $files files, $tree_mib MiB ($filler filler files of a few bytes, the rest a central copy of $size_mb MB); repeat $repeat; warm page cache"
echo "hash threads: up to 4, one per processor ($(nproc) here)"
times=()
base_times=()
for ((r = 1; r <= repeat; r++)); do
    if [ -n "$baseline" ]; then
        b=$(startup_seconds "$baseline" baseline)
        base_times+=("$b")
    fi
    t=$(startup_seconds "$server" server)
    times+=("$t")
    line="run $r: start until the listing answers ${t} s, $(cat "$work/digests-server") digests listed"
    [ -z "$baseline" ] || line+="; baseline ${b} s"
    echo "$line"
done
m=$(median "${times[@]}")
echo "quorvia-fileserver: median ${m} s, spread $(spread "${times[@]}") s ($(awk -v s="$m" -v f="$tree_mib" 'BEGIN { printf "%.0f", f / s }') MiB/s over the tree)"
if [ -n "$baseline" ]; then
    bm=$(median "${base_times[@]}")
    echo "baseline:           median ${bm} s, spread $(spread "${base_times[@]}") s; difference of the medians $(awk -v a="$m" -v b="$bm" 'BEGIN { printf "%.4f", a - b }') s"
fi
