#!/usr/bin/env bash
# Measures quorvia-update against the usual tools on a realistic central copy:
#   cold run  (empty installation: shared files + one module)  vs  rsync --files-from
#   no-op run (everything current, 20,000-file filler in the share)  vs  find -printf
#   peak memory of the cold run (/usr/bin/time -v)
# Runs are alternated and repeated; medians are reported. Page cache is warm for
# both sides alike (the script never drops caches on a shared machine).
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

usage() {
    cat <<EOF
Usage: $0 --binary PATH [--size-mb N] [--filler N] [--repeat N] [--work DIR] [--keep]
  --binary PATH  the built quorvia-update
  --size-mb N    total size of the central copy without filler (default 300)
  --filler N     small files added for the no-op run (default 20000)
  --repeat N     runs per measurement (default 5)
  --work DIR     scratch folder (default \${TMPDIR:-/tmp}/quorvia-bench)
  --keep         keep the scratch folder afterwards
EOF
}

binary=""
size_mb=300
filler=20000
repeat=5
work="${TMPDIR:-/tmp}/quorvia-bench"
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --binary) binary="$2"; shift 2 ;;
    --size-mb) size_mb="$2"; shift 2 ;;
    --filler) filler="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 64 ;;
    esac
done
need_program binary "quorvia-update binary"

# The tools compared against; installed here, never in CI.
install_missing rsync /usr/bin/time:time

start_scratch
central="$work/central"
central_filler="$work/central-filler"
list="$work/files.txt"

make_central "$central" "$size_mb"
printf '%s\n' "${cold_files[@]}" >"$list"

# The same central copy plus a filler tree, sharing the big files by hard links.
make_filler_copy "$central" "$central_filler" "$filler"

central_files=$(find "$central" -type f | wc -l)
central_bytes=$(du -sb "$central" | cut -f1)

quorvia_cold=()
rsync_cold=()
for ((i = 0; i < repeat; i++)); do
    rm -rf "$work/local-q" "$work/local-r"
    mkdir -p "$work/local-q" "$work/local-r"
    quorvia_cold+=("$(seconds "$binary" --dir "$work/local-q" --share "$central" --module "$module" --shared-files)")
    rsync_cold+=("$(seconds rsync -a --files-from="$list" "$central/" "$work/local-r/")")
done
# The cold run really copied everything, with the central times.
if ! diff -r "$work/local-q" "$work/local-r" >/dev/null; then
    echo "quorvia-update and rsync disagree on the result" >&2
    exit 1
fi

# Peak memory of a cold run.
rm -rf "$work/local-q" && mkdir -p "$work/local-q"
peak_kb=$(/usr/bin/time -v "$binary" --dir "$work/local-q" --share "$central" --module "$module" \
    --shared-files 2>&1 >/dev/null | max_rss_kb)
rm -rf "$work/local-r" && mkdir -p "$work/local-r"
rsync_peak_kb=$(/usr/bin/time -v rsync -a --files-from="$list" "$central/" "$work/local-r/" 2>&1 \
    >/dev/null | max_rss_kb)

# No-op: the installation is current; the share holds the filler as well.
"$binary" --dir "$work/local-q" --share "$central_filler" --module "$module" --shared-files >/dev/null
noop_check=$("$binary" --dir "$work/local-q" --share "$central_filler" --module "$module" --shared-files)
case "$noop_check" in
"checked 56, stale 0, fetched 0, failed 0,"*) ;;
*) echo "the no-op run was not a no-op: $noop_check" >&2; exit 1 ;;
esac
quorvia_noop=()
find_noop=()
for ((i = 0; i < repeat; i++)); do
    quorvia_noop+=("$(seconds "$binary" --dir "$work/local-q" --share "$central_filler" --module "$module" --shared-files)")
    find_noop+=("$(seconds find "$central_filler" -type f -printf '%T@ %p\n')")
done

qc=$(median --digits 3 "${quorvia_cold[@]}")
rc=$(median --digits 3 "${rsync_cold[@]}")
qn=$(median --digits 3 "${quorvia_noop[@]}")
fn=$(median --digits 3 "${find_noop[@]}")
cat <<EOF
central copy: $central_files files, $((central_bytes / 1048576)) MB; filler: $filler files; runs: $repeat; cores: $(nproc)
cold run     quorvia-update ${qc} s   rsync -a --files-from ${rc} s   ratio $(ratio "$qc" "$rc") (target <= 1.0)
no-op run    quorvia-update ${qn} s   find -printf          ${fn} s   ratio $(ratio "$qn" "$fn") (target <= 1.5)
peak memory  quorvia-update ${peak_kb} kB   rsync ${rsync_peak_kb} kB (cold run)
all runs (s): cold quorvia ${quorvia_cold[*]} | cold rsync ${rsync_cold[*]} | no-op quorvia ${quorvia_noop[*]} | no-op find ${find_noop[*]}
EOF
