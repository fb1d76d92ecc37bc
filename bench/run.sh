#!/usr/bin/env bash
# Relay benchmark: installs the peers and load tools that are missing, builds our
# own load tools, and runs the driver (bench/harness/main.py) in quick or full mode.
#   bash bench/run.sh --quick|--full [--build-dir DIR] [--tarnwick EXE] [--relays a,b]
#                     [--part all|tcp|udp]
# Results go to bench/results/<mode>-table.md, <mode>-chart.png and <mode>-raw.csv, and
# the UDP part's to bench/results/udp-<mode>-table.md.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
args=()
while [ "$#" -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir="$2"; args+=("$1" "$2"); shift 2 ;;
        *) args+=("$1"); shift ;;
    esac
done

bash scripts/install-deps.sh socat rinetd haproxy nginx libnginx-mod-stream wrk iperf3 \
    gnuplot-nox pen strace linux-perf cmake ninja-build g++

if [ ! -f "$build_dir/build.ninja" ]; then
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build_dir" --target bench_client echo_server hold_server \
    udp_bench_client udp_echo_server

# 10,000 relayed connections need two sockets each in a single-process relay.
ulimit -n "$(ulimit -Hn)"

PYTHONDONTWRITEBYTECODE=1 python3 bench/harness/main.py "${args[@]}" &
driver=$!
# The driver stops everything it started; it only needs to be told.
trap 'kill -TERM "$driver" 2>/dev/null || true' INT TERM HUP
status=0
for _ in 1 2 3; do
    wait "$driver" && status=0 || status=$?
    kill -0 "$driver" 2>/dev/null || break
done
exit "$status"
