# shellcheck shell=bash
# What the benchmark scripts share: the layout of the central copy, building it
# and its filler tree, installing the tools compared against, the scratch
# folder, starting the servers, and the small timing and arithmetic helpers.
# Sourced, never run:
#   source "$(dirname "$0")/bench_lib.sh"
# The caller sets `set -euo pipefail` first; nothing here changes shell options.

# The programs of a real installation.
modules=(SysAdmin.exe Registry.exe Appointments.exe Prescriptions.exe Billing.exe Archive.exe
    Emergency.exe Exams.exe Inventory.exe SurgerySchedule.exe Equipment.exe Purchasing.exe
    Finance.exe Costs.exe Denials.exe TeamViewerQS_pt.exe Supremo.exe)
# The distinct shared support files ("/" separators on this file system).
libraries=(qtintf70.dll gds32.dll SiUSBXp.dll mp2032.dll dbexpint.dll BEMADP32.dll dbxfb.dll
    fbclient.dll libeay32.dll ssleay32.dll BRySignerCAdESCOM.dll BRySignerCOM.dll RvBase.rvc
    RvClass.rvc RvCsDraw.rvc RvCsRpt.rvc RvCsStd.rvc RvData.rvc RvProj.rvc System.rvc
    SysFunc.rvc msvcp100.dll msvcr100.dll zlib1.dll firebird.conf)
# The report definitions, in Relatorio/ with the extension .rav.
reports=(RelSysAdmin RelAppointments RelSurgerySchedule RelBillingSetup RelRegistry
    RelPurchasing RelDiseaseControl RelEquipment RelRecordsControl RelCosts RelInventory RelExams
    RelBillPrinting RelBilling RelFinance RelDenials RelGuideAPAC RelGuideTISS RelAccountPrint
    RelDatabaseCheck RelPrescription RelMedicalPrescription RelEmergency RelReception
    RelPrescriptionReport RelArchive RelNutrition RelContinuousUse RelClaimsXml)
# The one modification time of every central file.
stamp="2024-03-15 12:34:56.789"
# The module a cold run installs.
module=SysAdmin.exe

# The files of a cold run (the module and the shared files) and all files of the
# central copy, as relative names with "/" separators, in this order.
cold_files=("$module" common.ini "${libraries[@]}")
for r in "${reports[@]}"; do cold_files+=("Relatorio/$r.rav"); done
all_files=("${modules[@]}" common.ini "${libraries[@]}")
for r in "${reports[@]}"; do all_files+=("Relatorio/$r.rav"); done
unset r

# install_missing TOOL:PACKAGE... ; installs with apt-get (through sudo when not
# root) the packages whose tool is missing. TOOL is a command name looked up in
# PATH or an absolute path that must be executable; ":PACKAGE" may be left out
# when the package has the tool's name. Environment assignments put before the
# call (RUNLEVEL=1 ...) reach apt-get.
install_missing() {
    local item tool package sudo=""
    local -a need=()
    for item in "$@"; do
        tool="${item%%:*}"
        package="${item#*:}"
        case "$tool" in
        /*) [ -x "$tool" ] || need+=("$package") ;;
        *) command -v "$tool" >/dev/null || need+=("$package") ;;
        esac
    done
    [ ${#need[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
}

# make_file PATH KILOBYTES ; random content, stamped with the central time
make_file() {
    head -c "$(($2 * 1024))" /dev/urandom >"$1"
    touch -m -d "$stamp" "$1"
}

# make_central DIR SIZE_MB ; builds the central copy in DIR (created): two thirds
# of SIZE_MB in the executables, the rest in the libraries; the settings file
# and the report definitions are small, as they are in life.
make_central() {
    local dir="$1" total_kb=$(($2 * 1024)) exe_kb lib_kb m l r
    exe_kb=$((total_kb * 2 / 3 / ${#modules[@]}))
    lib_kb=$((total_kb / 3 / ${#libraries[@]}))
    mkdir -p "$dir/Relatorio"
    for m in "${modules[@]}"; do make_file "$dir/$m" "$exe_kb"; done
    for l in "${libraries[@]}"; do make_file "$dir/$l" "$lib_kb"; done
    make_file "$dir/common.ini" 4
    for r in "${reports[@]}"; do make_file "$dir/Relatorio/$r.rav" 96; done
}

# make_filler_copy SRC DST COUNT ; DST holds the files of SRC as hard links plus
# COUNT small files under filler/ (200 a folder), all with the central time.
make_filler_copy() {
    local count="$3"
    cp -al "$1" "$2"
    if [ "$count" -gt 0 ]; then
        (
            cd "$2" || exit
            for ((d = 0; d < (count + 199) / 200; d++)); do mkdir -p "filler/d$d"; done
            for ((i = 0; i < count; i++)); do echo "$i" >"filler/d$((i / 200))/f$i.txt"; done
            find filler -type f -exec touch -m -d "$stamp" {} +
        )
    fi
}

# seconds COMMAND... ; runs it quietly, prints its wall seconds; exits on failure
seconds() {
    local start end
    start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}

# ratio A B ; A / B with two decimals
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# median [--digits N] VALUE... ; the median of the values. Without --digits the
# middle value is printed as given and the mean of the two middle ones with four
# decimals; with --digits N either is printed with N decimals.
median() {
    local digits=""
    if [ "${1:-}" = --digits ]; then
        digits="$2"
        shift 2
    fi
    printf '%s\n' "$@" | sort -g | awk -v d="$digits" '{ v[NR] = $1 } END {
        if (d == "") { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }
        else { f = "%." d "f"; if (NR % 2) printf f, v[(NR + 1) / 2]; else printf f, (v[NR / 2] + v[NR / 2 + 1]) / 2 } }'
}

# max_rss_kb ; the peak resident set size, in kB, from the report of
# /usr/bin/time -v on standard input
max_rss_kb() { awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'; }

# need_program VARIABLE NAME ; the program VARIABLE names, made absolute; one that
# is not an executable file is wrong usage (the caller defines usage).
need_program() {
    local -n program_path="$1"
    [ -x "$program_path" ] || { echo "$2 not found: '$program_path'" >&2; usage >&2; exit 64; }
    program_path="$(readlink -f "$program_path")"
}

# start_scratch ; empties the scratch folder $work and, on exit, stops the
# processes in pids and removes $work unless keep is 1.
# shellcheck disable=SC2154 # work and keep are the caller's options
start_scratch() {
    rm -rf "$work"
    mkdir -p "$work"
    pids=()
    trap stop_scratch EXIT
}
# shellcheck disable=SC2154 # the same options
stop_scratch() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ "$keep" -eq 1 ] || rm -rf "$work"
}

# free_port ; a loopback port nothing listens on now
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# wait_http URL ; waits up to 10 s for an answer from URL; exits without one
wait_http() {
    for _ in $(seq 200); do curl -s -o /dev/null "$1" && return 0; sleep 0.05; done
    echo "no answer from $1" >&2
    exit 1
}

# start_fileserver ROOT LOG [OPTIONS...] ; starts $server on ROOT at a free
# loopback port, its log in LOG, and waits for it; sets server_url and
# server_pid. Not in a subshell: the pid is kept in pids.
# shellcheck disable=SC2154 # server is the caller's option
start_fileserver() {
    local root="$1" log="$2" port
    shift 2
    port=$(free_port)
    "$server" --root "$root" --listen "127.0.0.1:$port" "$@" >/dev/null 2>"$log" &
    server_pid=$!
    pids+=("$server_pid")
    server_url="http://127.0.0.1:$port"
    wait_http "$server_url/folderlist"
}

# start_nginx DIR HTTP-BLOCK ; starts nginx in the foreground with its files in
# DIR and HTTP-BLOCK in its http block; sets nginx_pid (kept in pids)
start_nginx() {
    mkdir -p "$1"
    cat >"$1/nginx.conf" <<NGINX
worker_processes auto;
daemon off;
pid $1/nginx.pid;
error_log $1/error.log;
events { worker_connections 8192; }
http {
    access_log off;
    client_body_temp_path $1/body; proxy_temp_path $1/proxy; fastcgi_temp_path $1/fastcgi;
    uwsgi_temp_path $1/uwsgi; scgi_temp_path $1/scgi;
    $2
}
NGINX
    /usr/sbin/nginx -p "$1" -c "$1/nginx.conf" >/dev/null 2>&1 &
    nginx_pid=$!
    pids+=("$nginx_pid")
}

# stop_pid PID ; stops the process and waits for it
stop_pid() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# fresh_local DIR ; an empty installation folder
fresh_local() { rm -rf "$1"; mkdir -p "$1/Relatorio"; }
