#!/usr/bin/env bash
# Measures the memory of one folder listing on the client: a file-list body of
# about 50 MB (537,636 entries, as a large central tree gives) served on a
# loopback port, read by TRESTClientFileList in the process of listing-memory.
# Reports the memory the descriptors need while they are kept and the peak
# resident memory during the listing; with --baseline REV the same program is
# built against the client of REV too (exported with git archive into the
# scratch folder), so that both figures come from one run.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

usage() {
    cat <<EOF
Usage: $0 --program PATH [options]
  --program PATH   the built listing-memory (target listing-memory)
  --baseline REV   also build listing-memory against the client of REV and measure it
  --entries N      entries of the body (default 537636)
  --body-mb N      size of the body in MB (10^6 bytes; default 50)
  --repeat N       runs of each program (default 3)
  --work DIR       scratch folder (default \${TMPDIR:-/tmp}/quorvia-listing-bench)
  --keep           keep the scratch folder afterwards
EOF
}

program=""
baseline=""
entries=537636
body_mb=50
repeat=3
work="${TMPDIR:-/tmp}/quorvia-listing-bench"
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --program) program="$2"; shift 2 ;;
    --baseline) baseline="$2"; shift 2 ;;
    --entries) entries="$2"; shift 2 ;;
    --body-mb) body_mb="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 64 ;;
    esac
done
need_program program listing-memory
source_dir="$(cd "$(dirname "$0")/.." && pwd)"

start_scratch

# The body: one entry a line, names padded so that the whole is about
# body_mb MB; every entry has the central time.
body="$work/listing.json"
awk -v n="$entries" -v mb="$body_mb" 'BEGIN {
    fixed = 49   # {"fileName":"","age":"2024-03-15T12:34:56.789"},\n
    base = 24    # filler\\dNNNN\\fNNNNNNN_ as written in JSON
    pad = int(mb * 1000000 / n + 0.5) - fixed - base
    p = ""
    for (k = 0; k < pad; k++) p = p "x"
    print "["
    for (i = 0; i < n; i++)
        printf "{\"fileName\":\"filler\\\\d%04d\\\\f%07d_%s\",\"age\":\"2024-03-15T12:34:56.789\"}%s\n",
            int(i / 200), i, p, (i + 1 < n ? "," : "")
    print "]"
}' >"$body"

# build_baseline REV DIR ; listing-memory built against the client of REV
build_baseline() {
    local rev="$1" dir="$2"
    mkdir -p "$dir/src"
    git -C "$source_dir" archive "$rev" | tar -x -C "$dir/src"
    cp "$source_dir/bench/listing_memory.cpp" "$source_dir/bench/CMakeLists.txt" "$dir/src/bench/"
    grep -q '^add_subdirectory(bench)' "$dir/src/CMakeLists.txt" ||
        echo 'add_subdirectory(bench)' >>"$dir/src/CMakeLists.txt"
    cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir/build" --target listing-memory >/dev/null
    echo "$dir/build/bench/listing-memory"
}

# measure NAME PROGRAM ; runs it repeat times, prints the medians
measure() {
    local name="$1" prog="$2" i out
    local -a desc=() peak=() growth=()
    for ((i = 0; i < repeat; i++)); do
        out="$("$prog" "$body")"
        desc+=("$(awk '/^descriptors_kib/ { print $2 }' <<<"$out")")
        peak+=("$(awk '/^peak_rss_kib/ { print $2 }' <<<"$out")")
        growth+=("$(awk '/^peak_growth_kib/ { print $2 }' <<<"$out")")
        count="$(awk '/^entries/ { print $2 }' <<<"$out")"
        [ "$count" -eq "$entries" ] || { echo "$name read $count entries of $entries" >&2; exit 1; }
    done
    local d p g
    d="$(median "${desc[@]}")"
    p="$(median "${peak[@]}")"
    g="$(median "${growth[@]}")"
    printf '%-9s descriptors %6d KiB   peak RSS %7d KiB (%s x body)   peak growth %7d KiB = %s x descriptors (target < 2)\n' \
        "$name" "$d" "$p" "$(ratio "$((p * 1024))" "$body_bytes")" "$g" "$(ratio "$g" "$d")"
}

body_bytes="$(stat -c %s "$body")"
echo "listing body: $entries entries, $body_bytes bytes; repeat $repeat (medians)"
if [ -n "$baseline" ]; then
    base_program="$(build_baseline "$baseline" "$work/baseline")"
    measure "$baseline" "$base_program"
fi
measure "this" "$program"
