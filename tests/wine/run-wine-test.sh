#!/usr/bin/env bash
# The Windows DLL as a Windows host uses it: build publicQ31.dll and
# q31-winhost.exe with MinGW, check the DLL's exports and imports, start
# virtual meters on pseudo-terminals, map them to COM ports of a throw-away
# Wine prefix, and run the host under Wine against each of them.
#
#   run-wine-test.sh --source DIR --build-dir DIR --sim q31-sim --records q31-sim-module-records
#
# --build-dir is the MinGW build directory; it is configured with
# cmake/mingw-i686.cmake if it is not yet, and brought up to date either way
# (a no-op when CI has built it already).
#
# Exit codes: 0 all checks passed; 1 a check failed; 77 skipped because
# MinGW or Wine is not installed (with Q31_REQUIRE_WINE=1 that is a failure).
set -u

SKIP=77
source_dir=""
build_dir=""
sim=""
records_tool=""
while [ $# -gt 0 ]; do
    case "$1" in
        --source) source_dir=$2; shift 2 ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --sim) sim=$2; shift 2 ;;
        --records) records_tool=$2; shift 2 ;;
        *) echo "run-wine-test: unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$source_dir" ] || [ -z "$build_dir" ] || [ -z "$sim" ] || [ -z "$records_tool" ]; then
    echo "usage: run-wine-test.sh --source DIR --build-dir DIR --sim PATH --records PATH" >&2
    exit 2
fi

started=$(date +%s.%N)
elapsed() { awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

skip() {
    echo "SKIP: $*"
    if [ "${Q31_REQUIRE_WINE:-0}" = 1 ]; then
        echo "Q31_REQUIRE_WINE=1: a missing toolchain fails this test"
        exit 1
    fi
    exit $SKIP
}

# ---- Tools -----------------------------------------------------------------
missing=()
for tool in i686-w64-mingw32-g++-posix i686-w64-mingw32-objdump; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool (apt-get install g++-mingw-w64-i686-posix)")
done
for tool in wine wineboot wineserver; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool (dpkg --add-architecture i386; apt-get install wine wine32:i386)")
done
[ ${#missing[@]} -eq 0 ] || skip "not installed: ${missing[*]}"

# ---- MinGW build -------------------------------------------------------------
echo "== MinGW build in $build_dir"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    cmake -S "$source_dir" -B "$build_dir" "${generator[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        || { echo "FAIL: configuring the MinGW build"; exit 1; }
fi
cmake --build "$build_dir" || { echo "FAIL: building publicQ31.dll and q31-winhost.exe"; exit 1; }
dll="$build_dir/publicQ31.dll"
host="$build_dir/q31-winhost.exe"
[ -f "$dll" ] && [ -f "$host" ] || { echo "FAIL: $dll or $host was not built"; exit 1; }

failures=0
fail() { echo "FAIL - $*"; failures=$((failures + 1)); }
pass() { echo "ok   - $*"; }

# ---- The DLL's tables ----------------------------------------------------------
echo "== publicQ31.dll: $(stat -c %s "$dll") bytes"
dump=$(i686-w64-mingw32-objdump -p "$dll")
if grep -q 'Magic.*010b.*(PE32)' <<<"$dump"; then pass "a 32-bit PE image"; else fail "not a PE32 image"; fi
imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump" | sort -u | tr '\n' ' ')
echo "     imports: $imports"
unexpected=$(tr ' ' '\n' <<<"$imports" | grep -v -i -x -E 'kernel32\.dll|user32\.dll|msvcrt\.dll|ws2_32\.dll|' || true)
if [ -z "$unexpected" ]; then pass "imports only system DLLs"; else fail "imports non-system DLLs: $unexpected"; fi
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print $NF }' <<<"$dump")
echo "     exports: $(tr '\n' ' ' <<<"$exports")"
if grep -q '@' <<<"$exports"; then fail "decorated export names"; else pass "export names carry no @N"; fi
# Exactly the functions the public header declares, and FXB.
expected=$( (sed -n 's/^Q31_API .*Q31_CALL \([A-Za-z_0-9]*\)(.*/\1/p' "$source_dir/include/publicQ31.h"; echo FXB) | sort)
if [ "$(sort <<<"$exports")" = "$expected" ]; then
    pass "exports are exactly FXB and the $(($(grep -c . <<<"$expected") - 1)) functions of publicQ31.h"
else
    fail "exports differ from publicQ31.h: $(diff <(echo "$expected") <(sort <<<"$exports") | grep '^[<>]' | tr '\n' ' ')"
fi

# ---- Wine prefix and meters ------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/q31-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEARCH=win32
# No Mono or Gecko installers, and no desktop: the message box must not wait
# for an operator.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
sim_pids=()
cleanup() {
    # The Wine server first: it holds the ptys open and reports their
    # hang-up noisily if the meters go away under it.
    WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1
    for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX"
# A server of our own whose output goes to a log, not into the test's. It
# outlives each Wine run by 30 s, so the runs share it, and an orphaned one
# (the test killed on a time-out) still goes away by itself.
wineserver -p30 >>"$work/wineserver.log" 2>&1
boot_start=$(date +%s.%N)
if ! wineboot -i >"$work/wineboot.log" 2>&1; then
    cat "$work/wineboot.log"
    # 64-bit Wine alone cannot run a 32-bit prefix.
    grep -qi 'wine32 is missing' "$work/wineboot.log" && skip "32-bit Wine is not installed (apt-get install wine32:i386)"
    fail "wineboot -i in a new prefix"
    exit 1
fi
echo "== Wine prefix ready in $(awk -v a="$boot_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"

# start_meter COM ARGS...: a virtual meter on a new pty, reachable as COM.
start_meter() {
    local com=$1; shift
    local out="$work/$com.out"
    "$sim" --seconds 600 "$@" >"$out" 2>"$work/$com.err" &
    sim_pids+=($!)
    local line=""
    for _ in $(seq 100); do
        line=$(head -n 1 "$out" 2>/dev/null)
        [ -n "$line" ] && break
        sleep 0.05
    done
    if [ -z "$line" ] || [ ! -e "$line" ]; then
        cat "$work/$com.err"
        fail "q31-sim $* did not report its line"
        return 1
    fi
    ln -sf "$line" "$WINEPREFIX/dosdevices/${com,,}"
    echo "     $com -> $line: q31-sim $*"
}

# run_host LABEL ARGS...: q31-winhost under Wine; its checks count as one.
run_host() {
    local label=$1; shift
    echo "== $label"
    local t0
    t0=$(date +%s.%N)
    timeout 120 wine "$host" "$@"
    local rc=$?
    local took
    took=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    if [ $rc -eq 0 ]; then pass "$label ($took s)"; else fail "$label: exit code $rc ($took s)"; fi
}

serial_a=310001
serial_b=3000000001   # at or above 2^31: the operator sees it negative
start_meter COM5 --serial $serial_a --seed 31 --modules 6 --echo || exit 1
start_meter COM6 --serial $serial_b --seed 7 --modules 4 || exit 1
start_meter COM7 --serial $serial_a --delay-ms 1500 || exit 1

mapfile -t records_a < <("$records_tool" --seed 31 --modules 6 | tr ' ' '\n')
mapfile -t records_b < <("$records_tool" --seed 7 --modules 4 | tr ' ' '\n')
[ ${#records_a[@]} -eq 12 ] && [ ${#records_b[@]} -eq 12 ] || { fail "expected module records from $records_tool"; exit 1; }

run_host "meter with an echoing line on COM5" --port COM5 --serial $serial_a --version-word 0xF0 --modules 6 \
    --echo "${records_a[@]}"
run_host "meter without echo on COM6, serial above 2^31" --port COM6 --serial $serial_b --version-word 0xF0 \
    --modules 4 "${records_b[@]}"
run_host "late meter on COM7: a new request ends the waiting read" --port COM7 --serial $serial_a --late-meter

# ---- Network lines: ser2net in front of a meter's pty, the DLL opening the URL ----
ser2net_bin=$(command -v ser2net || echo /usr/sbin/ser2net)
if [ -x "$ser2net_bin" ]; then
    "$sim" --seconds 600 --serial $serial_a --seed 31 >"$work/net.out" 2>"$work/net.err" &
    sim_pids+=($!)
    for _ in $(seq 100); do net_pty=$(head -n 1 "$work/net.out" 2>/dev/null); [ -n "$net_pty" ] && break; sleep 0.05; done
    # A loopback port nothing answers on (CI installs no Python to ask the system for one).
    free_port() {
        local p
        for _ in $(seq 50); do
            p=$((20000 + RANDOM % 30000))
            (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
        done
    }
    raw_port=$(free_port)
    telnet_port=$(free_port)
    cat >"$work/ser2net.yaml" <<YAML
connection: &raw
  accepter: tcp,127.0.0.1,$raw_port
  connector: serialdev,$net_pty,9600n81,local
  options:
    kickolduser: true
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$telnet_port
  connector: serialdev,$net_pty,9600n81,local
  options:
    kickolduser: true
YAML
    "$ser2net_bin" -c "$work/ser2net.yaml" -n -d >"$work/ser2net.log" 2>&1 &
    sim_pids+=($!)
    for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$raw_port) 2>/dev/null && break; sleep 0.05; done
    run_host "the DLL opens tcp:// through Winsock (ser2net raw)" --port "tcp://127.0.0.1:$raw_port" --serial $serial_a
    run_host "the DLL opens rfc2217:// through Winsock (ser2net telnet)" --port "rfc2217://127.0.0.1:$telnet_port" \
        --serial $serial_a
elif [ "${Q31_REQUIRE_SERVERS:-0}" = 1 ]; then
    fail "ser2net is not installed: the network lines were not tried"
else
    echo "SKIP - ser2net is not installed: the network lines were not tried"
fi

echo "== wall time $(elapsed) s"
if [ $failures -eq 0 ]; then
    echo "wine test: all checks passed"
    exit 0
fi
echo "wine test: $failures failed"
exit 1
