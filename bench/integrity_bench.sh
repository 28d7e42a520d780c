#!/usr/bin/env bash
# What the integrity checks cost a cold refresh (the module and the shared files
# into an empty installation), measured side by side with a baseline build from
# before them:
#   HTTP, hashing alone   the same quorvia-update against the server whose
#                         listing gives size and sha256, and against the baseline
#                         server, whose listing does not (so nothing is hashed)
#   HTTP, everything      quorvia-update against the baseline quorvia-update,
#                         both from the current server (hashing, checks, fsync)
#   share, everything     quorvia-update against the baseline quorvia-update
#   share, without fsync  the same under eatmydata, which makes fsync a no-op:
#                         what durability costs, apart from the checks
#   no-op over HTTP       the central copy plus a filler tree, listed each run
# Runs alternate and repeat; medians with min-max spreads are reported.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
source "$(dirname "$0")/bench_lib.sh"

usage() {
    cat <<EOF
Usage: $0 --update PATH --server PATH --baseline-update PATH --baseline-server PATH [options]
  --update PATH            the built quorvia-update
  --server PATH            the built quorvia-fileserver
  --baseline-update PATH   quorvia-update built from before the checks
  --baseline-server PATH   quorvia-fileserver built from before the checks
  --size-mb N              size of the central copy (default 300)
  --filler N               small files in the no-op run's filler tree (default 20000)
  --repeat N               runs per measurement (default 3)
  --work DIR               scratch folder (default \${TMPDIR:-/tmp}/quorvia-integrity-bench)
  --keep                   keep the scratch folder afterwards
EOF
}

update=""
server=""
baseline_update=""
baseline_server=""
size_mb=300
filler=20000
repeat=3
work="${TMPDIR:-/tmp}/quorvia-integrity-bench"
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --update) update="$2"; shift 2 ;;
    --server) server="$2"; shift 2 ;;
    --baseline-update) baseline_update="$2"; shift 2 ;;
    --baseline-server) baseline_server="$2"; shift 2 ;;
    --size-mb) size_mb="$2"; shift 2 ;;
    --filler) filler="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 64 ;;
    esac
done
need_program update "quorvia-update binary"
need_program server "quorvia-fileserver binary"
need_program baseline_update "baseline quorvia-update binary"
need_program baseline_server "baseline quorvia-fileserver binary"

# spread VALUE... ; "median (min-max)" with three decimals
spread() {
    local sorted
    sorted=$(printf '%s\n' "$@" | sort -g)
    printf '%s (%.3f-%.3f)' "$(median --digits 3 "$@")" "$(head -1 <<<"$sorted")" \
        "$(tail -1 <<<"$sorted")"
}

# Measures what fsync costs; installed here, never in CI.
install_missing eatmydata

start_scratch
central="$work/central"
central_filler="$work/central-filler"
make_central "$central" "$size_mb"
make_filler_copy "$central" "$central_filler" "$filler"

current_server="$server"
start_fileserver "$central" "$work/server.log"
digest_url="$server_url"
server="$baseline_server"
start_fileserver "$central" "$work/baseline-server.log"
plain_url="$server_url"
server="$current_server"
if ! curl -s "$digest_url/folderlist?folder=%5C&mask=*.*&recursive=true" | grep -q '"sha256"'; then
    echo "the server's listing gives no sha256: is --server the current build?" >&2
    exit 1
fi

cold() { # [eatmydata] BINARY ARGS... ; one cold run into a fresh installation, its seconds
    local -a run=("$1")
    [ "$1" != eatmydata ] || { shift; run+=("$1"); }
    shift
    fresh_local "$work/local"
    seconds "${run[@]}" --dir "$work/local" "$@" --module "$module" --shared-files
}

http_digest=() http_plain=() http_baseline=() share_current=() share_baseline=() share_nosync=()
for ((i = 0; i < repeat; i++)); do
    http_digest+=("$(cold "$update" --url "$digest_url")")
    http_plain+=("$(cold "$update" --url "$plain_url")")
    http_baseline+=("$(cold "$baseline_update" --url "$digest_url")")
    share_current+=("$(cold "$update" --share "$central")")
    share_baseline+=("$(cold "$baseline_update" --share "$central")")
    share_nosync+=("$(cold eatmydata "$update" --share "$central")")
done
# A cold run installs every file with the central bytes.
fresh_local "$work/local"
"$update" --dir "$work/local" --url "$digest_url" --module "$module" --shared-files >/dev/null
for f in "${cold_files[@]}"; do
    cmp -s "$central/$f" "$work/local/$f" || { echo "$f differs after a cold run" >&2; exit 1; }
done

# No-op over HTTP with the filler tree listed as well, from both servers.
start_fileserver "$central_filler" "$work/filler-server.log"
filler_url="$server_url"
server="$baseline_server"
start_fileserver "$central_filler" "$work/baseline-filler-server.log"
baseline_filler_url="$server_url"
server="$current_server"
"$update" --dir "$work/local" --url "$filler_url" --module "$module" --shared-files >/dev/null
noop=() noop_baseline=()
for ((i = 0; i < repeat; i++)); do
    noop+=("$(seconds "$update" --dir "$work/local" --url "$filler_url" --module "$module" --shared-files)")
    noop_baseline+=("$(seconds "$baseline_update" --dir "$work/local" --url "$baseline_filler_url" --module "$module" --shared-files)")
done
noop_check=$("$update" --dir "$work/local" --url "$filler_url" --module "$module" --shared-files)
case "$noop_check" in
"checked 56, stale 0, fetched 0, failed 0,"*) ;;
*) echo "the no-op run was not a no-op: $noop_check" >&2; exit 1 ;;
esac

hd=$(median --digits 3 "${http_digest[@]}")
hp=$(median --digits 3 "${http_plain[@]}")
hb=$(median --digits 3 "${http_baseline[@]}")
sc=$(median --digits 3 "${share_current[@]}")
sb=$(median --digits 3 "${share_baseline[@]}")
cat <<EOF
central copy: $(find "$central" -type f | wc -l) files, $(($(du -sb "$central" | cut -f1) / 1048576)) MB; filler: $filler files; runs: $repeat; cores: $(nproc)
cold, HTTP, digests checked vs none   $(spread "${http_digest[@]}") s vs $(spread "${http_plain[@]}") s   ratio $(ratio "$hd" "$hp") (target <= 1.1)
cold, HTTP, current vs baseline       $(spread "${http_digest[@]}") s vs $(spread "${http_baseline[@]}") s   ratio $(ratio "$hd" "$hb")
cold, share, current vs baseline      $(spread "${share_current[@]}") s vs $(spread "${share_baseline[@]}") s   ratio $(ratio "$sc" "$sb")
cold, share, without fsync vs baseline $(spread "${share_nosync[@]}") s vs $(spread "${share_baseline[@]}") s   ratio $(ratio "$(median --digits 3 "${share_nosync[@]}")" "$sb")
no-op, HTTP, $((filler + ${#all_files[@]})) central files      $(spread "${noop[@]}") s vs baseline $(spread "${noop_baseline[@]}") s   ratio $(ratio "$(median --digits 3 "${noop[@]}")" "$(median --digits 3 "${noop_baseline[@]}")")
EOF
