#!/usr/bin/env bash
# idle_rss.sh - resident memory of one quorvel node per idle registered client.
#
#   bench/idle_rss.sh [CLIENTS] [BUILD_DIR]        defaults: 10000, build
#
# Starts quorvel-routed and quorvel --compat --max-clients CLIENTS as node 1 on 127.0.0.1 (free
# ports, a temporary folder), registers CLIENTS clients with bench/idle_rss.py, prints its JSON line
# (RSS before and after, bytes per client), and stops both programs. The shell's open-file limit
# must cover the clients (ulimit -n); the node raises its own.
set -euo pipefail

CLIENTS=${1:-10000}
BUILD=${2:-build}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DIR=$(mktemp -d /tmp/quorvel-idle-rss.XXXXXX)
PIDS=()

cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$DIR"
}
trap cleanup EXIT

# Three free ports from the kernel.
read -r ROUTING LOCAL SERVER < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(3)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])')
echo "1 127.0.0.1 $ROUTING $LOCAL $SERVER" >"$DIR/node.conf"

"$BUILD/routed/quorvel-routed" -i 1 -c "$DIR/node.conf" >"$DIR/routed.log" 2>&1 &
PIDS+=($!)
timeout 5 bash -c 'until grep -qs "node 1 ready" "$0"; do sleep 0.1; done' "$DIR/routed.log"
"$BUILD/quorvel" 1 "$DIR/node.conf" --compat --max-clients "$CLIENTS" >"$DIR/node.log" 2>"$DIR/node.err" &
NODE=$!
PIDS+=("$NODE")
timeout 5 bash -c 'until (exec 3<>/dev/tcp/127.0.0.1/$0) 2>/dev/null; do sleep 0.1; done' "$SERVER"
python3 "$HERE/idle_rss.py" --port "$SERVER" --pid "$NODE" --clients "$CLIENTS" --batch 500 --deadline 120
cat "$DIR/node.err" >&2
