#!/usr/bin/env bash
# One large download over loopback from nginx: the updater's DownloadTaskSpecification (through
# bench_download) beside curl of the same URL, both writing to disk. Best of three runs each; prints
# both throughputs and their ratio (goal: the updater reaches at least 0.8 of curl).
#
#   bench/download_bench.sh [BUILD_DIR] [SIZE_MB]     defaults: build/ and 1024
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
size_mb=${2:-1024}
. "$here/bench/lib.sh"
driver=$build/bin/bench_download
bench_require_built "$driver" bench_download
for tool in nginx curl; do
    command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh bench installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
chmod 755 "$work" # nginx workers may run as another user
nginx_pid=""
cleanup() {
    [[ -n $nginx_pid ]] && kill "$nginx_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/1" "$work/logs"
chmod -R 755 "$work/www"
echo "making a ${size_mb} MB file of random bytes..."
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/www/1/big.bin"
chmod 644 "$work/www/1/big.bin"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $work/tmp;
    proxy_temp_path $work/tmp;
    fastcgi_temp_path $work/tmp;
    uwsgi_temp_path $work/tmp;
    scgi_temp_path $work/tmp;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF
mkdir -p "$work/tmp"
nginx -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
url=http://127.0.0.1:$port/1/big.bin
for _ in $(seq 50); do curl -sf -o /dev/null -r 0-0 "$url" && break; sleep 0.1; done

bytes=$((size_mb * 1024 * 1024))
best_curl=""
best_ours=""
lt() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
for run in 1 2 3; do
    rm -f "$work/curl.out" "$work/ours.out"
    t=$(curl -sf -o "$work/curl.out" -w '%{time_total}' "$url")
    [[ -z $best_curl ]] || lt "$t" "$best_curl" && best_curl=$t
    out=$("$driver" "http://127.0.0.1:$port/" 1 big.bin "$work/ours.out" "$bytes" 2>/dev/null)
    t=${out%% *}
    got=${out##* }
    [[ $got == "$bytes" ]] || { echo "bench_download wrote $got bytes, expected $bytes" >&2; exit 1; }
    [[ -z $best_ours ]] || lt "$t" "$best_ours" && best_ours=$t
    echo "run $run: curl ${best_curl}s best so far, updater ${best_ours}s best so far"
done
cmp -s "$work/curl.out" "$work/www/1/big.bin" || { echo "curl's copy differs" >&2; exit 1; }
cmp -s "$work/ours.out" "$work/www/1/big.bin" || { echo "the updater's copy differs" >&2; exit 1; }

awk -v b="$bytes" -v c="$best_curl" -v o="$best_ours" 'BEGIN {
    printf "curl:    %8.1f MB/s (%.3f s)\n", b / c / 1e6, c
    printf "updater: %8.1f MB/s (%.3f s)\n", b / o / 1e6, o
    printf "ratio updater/curl: %.2f (goal >= 0.8)\n", c / o
}'
