#!/usr/bin/env bash
# Pairs a Linux Client with a Windows Client (under Wine) through kestrova-relay, in both
# directions: over ws:// on loopback, then over wss:// with a certificate made for the run that
# both peers are told to trust, then through a fleet of two nodes (scripts/relay-fleet) with the
# host on one node and the viewer on the other.
# Arguments: RELAY LINUX_PEER WINDOWS_PEER_EXE WINE_STATE_DIR WINE_RUN
set -euo pipefail
relay=$1 linux_peer=$2 windows_peer=$3 wine_state=$4 wine_run=$5
work=$(mktemp -d)
relay_pid=""
tls_relay_pid=""
fleet=""
here=$(cd "$(dirname "$0")" && pwd)
cleanup() {
  [ -n "$fleet" ] && "$here/../../../scripts/relay-fleet" stop --state "$fleet" >/dev/null 2>&1 || true
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  [ -n "$tls_relay_pid" ] && kill "$tls_relay_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start_relay LOG [FLAGS...]: starts a relay on a free loopback port; prints the port.
start_relay() {
  local log=$1
  shift
  "$relay" --listen 127.0.0.1:0 --quiet "$@" >/dev/null 2>"$log" &
  echo $! >"$log.pid"
  for _ in $(seq 1 100); do grep -q listening "$log" && break; sleep 0.1; done
  grep -o '127\.0\.0\.1:[0-9]*' "$log" | head -1 | cut -d: -f2
}
port=$(start_relay "$work/relay.log")
relay_pid=$(cat "$work/relay.log.pid")
url="ws://127.0.0.1:$port/ws"

# RSA: Wine's chain engine checks RSA signatures only.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,digitalSignature,keyCertSign" -addext "extendedKeyUsage=serverAuth" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
tls_port=$(start_relay "$work/tls-relay.log" --tls-cert "$work/cert.pem" --tls-key "$work/key.pem")
tls_relay_pid=$(cat "$work/tls-relay.log.pid")

# pair NAME HOST_KIND VIEWER_KIND URL[,VIEWER_URL] [PEER_FLAGS...]: the host prints its ID and
# password, the viewer uses them (at VIEWER_URL when given); both must reach their goal.
pair() {
  local name=$1 host_kind=$2 viewer_kind=$3 url=${4%%,*} viewer_url=${4#*,}
  shift 4
  local extra=("$@")
  run() {
    if [ "$1" = windows ]; then
      shift
      local a winargs=()
      for a in "$@"; do  # a Unix path is seen on Wine's Z: drive
        if [[ $a == /* ]]; then winargs+=("Z:${a//\//\\}"); else winargs+=("$a"); fi
      done
      "$wine_run" "$wine_state" "$windows_peer" "${winargs[@]}"
    else
      shift
      "$linux_peer" "$@"
    fi
  }
  run "$host_kind" "${extra[@]}" host "$url" >"$work/$name.host" 2>/dev/null &
  local host_pid=$!
  for _ in $(seq 1 300); do grep -q '^ID ' "$work/$name.host" 2>/dev/null && break; sleep 0.1; done
  local id password
  read -r _ id _ password < "$work/$name.host"
  if ! run "$viewer_kind" "${extra[@]}" viewer "$viewer_url" "$id" "$password" >"$work/$name.viewer" 2>/dev/null; then
    echo "$name: viewer failed: $(cat "$work/$name.viewer")"; return 1
  fi
  if ! wait "$host_pid"; then echo "$name: host failed: $(cat "$work/$name.host")"; return 1; fi
  echo "$name: $(grep STATUS "$work/$name.viewer") / host $(grep STATUS "$work/$name.host")"
}
pair linux-host-windows-viewer linux windows "$url"
pair windows-host-linux-viewer windows linux "$url"
tls_url="wss://localhost:$tls_port/ws"
pair wss-linux-host-windows-viewer linux windows "$tls_url" --ca "$work/cert.pem"
pair wss-windows-host-linux-viewer windows linux "$tls_url" --ca "$work/cert.pem"
# Remote input across builds: the Windows host injects with SendInput into Wine's display and
# its cursor must land on the display's last pixel; then the other way round.
pair input-windows-host-linux-viewer windows linux "$url" --input
grep -q '^CURSOR ' "$work/input-windows-host-linux-viewer.host"
echo "input-windows-host-linux-viewer: $(grep CURSOR "$work/input-windows-host-linux-viewer.host")"
pair input-linux-host-windows-viewer linux windows "$url" --input
grep -q '^CURSOR ' "$work/input-linux-host-windows-viewer.host"

# Through a fleet: nats-server and two nodes; the host registers on one node, the viewer reaches
# it on the other, and the pairing and the sealed session cross between the nodes.
fleet=$work/fleet
base=$((20000 + RANDOM % 20000))
"$here/../../../scripts/relay-fleet" start 2 --base-port "$base" --state "$fleet" --relay "$relay" \
  -- --quiet >/dev/null
node1="ws://127.0.0.1:$((base + 1))/ws" node2="ws://127.0.0.1:$((base + 2))/ws"
pair fleet-windows-host-linux-viewer windows linux "$node1,$node2" --input
grep -q "^CURSOR " "$work/fleet-windows-host-linux-viewer.host"
pair fleet-linux-host-windows-viewer linux windows "$node2,$node1"
"$here/../../../scripts/relay-fleet" stop --state "$fleet" >/dev/null
fleet=""

# The Windows host's real screen: Wine's display shows the demo desktop's test pattern, the host
# captures it with its own capturer and the Linux viewer's decoded picture must show it.
"$wine_run" "$wine_state" "$(dirname "$windows_peer")/demo_desktop.exe" 'Z:\tmp\kestrova-cross-desktop.log' \
  >/dev/null 2>&1 &
desktop_pid=$!
sleep 3
status=0
pair capture-windows-host-linux-viewer windows linux "$url" --capture --expect-pattern || status=1
kill "$desktop_pid" 2>/dev/null || true
(source "$wine_state/env" && wineserver -k) 2>/dev/null || true
[ "$status" = 0 ] || exit 1
# Both builds announce changed-region frames: the pattern arrived as regions composed by the viewer.
grep '^PATTERN ok.* frames region$' "$work/capture-windows-host-linux-viewer.viewer"
