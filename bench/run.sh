#!/usr/bin/env bash
# Benchmarks Pelmar against nginx, lighttpd, busybox httpd, python's
# http.server, vsftpd and pyftpdlib on loopback, with one-stream iperf3 as
# the loopback's own limit, and prints a table.
#   bench/run.sh [--rounds N] [--seconds S] [--only-pelmar] [--baseline OTHER_PELMAR]
set -euo pipefail
cd "$(dirname "$0")/.."

packages="nginx-light lighttpd busybox vsftpd python3-pyftpdlib apache2-utils wrk linux-perf iperf3 g++ cmake"
missing=""
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target pelmar >/dev/null
g++ -O2 -std=c++20 -pthread bench/loadgen.cpp -o build-bench/loadgen

exec /usr/bin/python3 bench/bench.py --pelmar build-bench/pelmar --loadgen build-bench/loadgen "$@"
