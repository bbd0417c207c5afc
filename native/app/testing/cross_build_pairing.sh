#!/usr/bin/env bash
# Pairs a Linux Client with a Windows Client (under Wine) through one kestrova-relay, in both
# directions. Arguments: RELAY LINUX_PEER WINDOWS_PEER_EXE WINE_STATE_DIR WINE_RUN
set -euo pipefail
relay=$1 linux_peer=$2 windows_peer=$3 wine_state=$4 wine_run=$5
work=$(mktemp -d)
relay_pid=""
cleanup() {
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$relay" --listen 127.0.0.1:0 --quiet 2>"$work/relay.log" &
relay_pid=$!
for _ in $(seq 1 100); do grep -q listening "$work/relay.log" && break; sleep 0.1; done
port=$(grep -o '127\.0\.0\.1:[0-9]*' "$work/relay.log" | head -1 | cut -d: -f2)
url="ws://127.0.0.1:$port/ws"

# run_pair HOST_CMD... -- VIEWER_CMD...: the host prints its ID and password, the viewer uses them.
pair() {
  local name=$1 host_kind=$2 viewer_kind=$3
  run() { if [ "$1" = windows ]; then shift; "$wine_run" "$wine_state" "$windows_peer" "$@"; else shift; "$linux_peer" "$@"; fi; }
  run "$host_kind" host "$url" >"$work/$name.host" 2>/dev/null &
  local host_pid=$!
  for _ in $(seq 1 300); do grep -q '^ID ' "$work/$name.host" 2>/dev/null && break; sleep 0.1; done
  local id password
  read -r _ id _ password < "$work/$name.host"
  if ! run "$viewer_kind" viewer "$url" "$id" "$password" >"$work/$name.viewer" 2>/dev/null; then
    echo "$name: viewer failed: $(cat "$work/$name.viewer")"; return 1
  fi
  if ! wait "$host_pid"; then echo "$name: host failed: $(cat "$work/$name.host")"; return 1; fi
  echo "$name: $(grep STATUS "$work/$name.viewer") / host $(grep STATUS "$work/$name.host")"
}
pair linux-host-windows-viewer linux windows
pair windows-host-linux-viewer windows linux
