#!/usr/bin/env bash
# Measures quorvia-update against the usual tools on a realistic central copy:
#   cold run  (empty installation: shared files + one module)  vs  rsync --files-from
#   no-op run (everything current, 20,000-file filler in the share)  vs  find -printf
#   peak memory of the cold run (/usr/bin/time -v)
# Runs are alternated and repeated; medians are reported. Page cache is warm for
# both sides alike (the script never drops caches on a shared machine).
set -euo pipefail

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
[ -x "$binary" ] || { echo "quorvia-update binary not found: '$binary'" >&2; usage >&2; exit 64; }
binary="$(readlink -f "$binary")"

# The tools compared against; installed here, never in CI.
need=()
command -v rsync >/dev/null || need+=(rsync)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

modules=(SysAdmin.exe Registry.exe Appointments.exe Prescriptions.exe Billing.exe Archive.exe
    Emergency.exe Exams.exe Inventory.exe SurgerySchedule.exe Equipment.exe Purchasing.exe
    Finance.exe Costs.exe Denials.exe TeamViewerQS_pt.exe Supremo.exe)
# The distinct shared support files ("/" separators on this file system).
libraries=(qtintf70.dll gds32.dll SiUSBXp.dll mp2032.dll dbexpint.dll BEMADP32.dll dbxfb.dll
    fbclient.dll libeay32.dll ssleay32.dll BRySignerCAdESCOM.dll BRySignerCOM.dll RvBase.rvc
    RvClass.rvc RvCsDraw.rvc RvCsRpt.rvc RvCsStd.rvc RvData.rvc RvProj.rvc System.rvc
    SysFunc.rvc msvcp100.dll msvcr100.dll zlib1.dll firebird.conf)
reports=(RelSysAdmin RelAppointments RelSurgerySchedule RelBillingSetup RelRegistry
    RelPurchasing RelDiseaseControl RelEquipment RelRecordsControl RelCosts RelInventory RelExams
    RelBillPrinting RelBilling RelFinance RelDenials RelGuideAPAC RelGuideTISS RelAccountPrint
    RelDatabaseCheck RelPrescription RelMedicalPrescription RelEmergency RelReception
    RelPrescriptionReport RelArchive RelNutrition RelContinuousUse RelClaimsXml)
stamp="2024-03-15 12:34:56.789"

rm -rf "$work"
mkdir -p "$work"
[ "$keep" -eq 1 ] || trap 'rm -rf "$work"' EXIT
central="$work/central"
central_filler="$work/central-filler"
list="$work/files.txt"

# Sizes: two thirds of the total in the executables, the rest in the libraries;
# the settings file and the report definitions are small, as they are in life.
total_kb=$((size_mb * 1024))
exe_kb=$((total_kb * 2 / 3 / ${#modules[@]}))
lib_kb=$((total_kb / 3 / ${#libraries[@]}))
mkdir -p "$central/Relatorio"
make_file() { # path kilobytes
    head -c "$(($2 * 1024))" /dev/urandom >"$1"
    touch -m -d "$stamp" "$1"
}
for m in "${modules[@]}"; do make_file "$central/$m" "$exe_kb"; done
for l in "${libraries[@]}"; do make_file "$central/$l" "$lib_kb"; done
make_file "$central/common.ini" 4
for r in "${reports[@]}"; do make_file "$central/Relatorio/$r.rav" 96; done

module=SysAdmin.exe
{
    echo "$module"
    echo common.ini
    printf '%s\n' "${libraries[@]}"
    for r in "${reports[@]}"; do echo "Relatorio/$r.rav"; done
} >"$list"

# The same central copy plus a filler tree, sharing the big files by hard links.
cp -al "$central" "$central_filler"
if [ "$filler" -gt 0 ]; then
    (
        cd "$central_filler"
        mkdir -p filler
        for ((d = 0; d < (filler + 199) / 200; d++)); do mkdir -p "filler/d$d"; done
        for ((i = 0; i < filler; i++)); do echo "$i" >"filler/d$((i / 200))/f$i.txt"; done
        find filler -type f -exec touch -m -d "$stamp" {} +
    )
fi

central_files=$(find "$central" -type f | wc -l)
central_bytes=$(du -sb "$central" | cut -f1)

seconds() { # command... ; prints wall seconds
    local start end
    start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) printf "%.3f", v[(NR + 1) / 2]; else printf "%.3f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

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
    --shared-files 2>&1 >/dev/null | awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
rm -rf "$work/local-r" && mkdir -p "$work/local-r"
rsync_peak_kb=$(/usr/bin/time -v rsync -a --files-from="$list" "$central/" "$work/local-r/" 2>&1 \
    >/dev/null | awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')

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

qc=$(median "${quorvia_cold[@]}")
rc=$(median "${rsync_cold[@]}")
qn=$(median "${quorvia_noop[@]}")
fn=$(median "${find_noop[@]}")
cat <<EOF
central copy: $central_files files, $((central_bytes / 1048576)) MB; filler: $filler files; runs: $repeat; cores: $(nproc)
cold run     quorvia-update ${qc} s   rsync -a --files-from ${rc} s   ratio $(ratio "$qc" "$rc") (target <= 1.0)
no-op run    quorvia-update ${qn} s   find -printf          ${fn} s   ratio $(ratio "$qn" "$fn") (target <= 1.5)
peak memory  quorvia-update ${peak_kb} kB   rsync ${rsync_peak_kb} kB (cold run)
all runs (s): cold quorvia ${quorvia_cold[*]} | cold rsync ${rsync_cold[*]} | no-op quorvia ${quorvia_noop[*]} | no-op find ${find_noop[*]}
EOF
