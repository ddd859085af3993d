#!/usr/bin/env bash
# The product demo: builds the driver and mqtt-host, starts a private mosquitto broker on a
# free loopback port, runs `mqtt-host run` with examples/demo-settings.json, publishes a
# short stream of sample payloads, writes one value back and shows that the broker got it.
# Everything it starts is stopped again, also on Ctrl+C or a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup-deps.sh
# DRAVO_BUILD_DIR picks another build folder (one already configured is reused as it is).
build_dir="${DRAVO_BUILD_DIR:-build/default}"
echo "== building mqtt-host and MQTT.so in $build_dir"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" --target mqtt-host >/dev/null
host="$root/$build_dir/bin/mqtt-host"
broker_bin=$(command -v mosquitto || echo /usr/sbin/mosquitto)

work=$(mktemp -d "${TMPDIR:-/tmp}/mqtt-demo-XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_for() { # wait_for SECONDS COMMAND...: true as soon as COMMAND succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

echo "== starting a private mosquitto broker"
port=""
for attempt in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 20000))
  port_open "$candidate" && continue
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$candidate" >"$work/mosquitto.conf"
  "$broker_bin" -c "$work/mosquitto.conf" >"$work/broker.txt" 2>&1 &
  broker_pid=$!
  if wait_for 5 port_open "$candidate"; then
    pids+=("$broker_pid")
    port=$candidate
    break
  fi
  kill "$broker_pid" 2>/dev/null || true
  wait "$broker_pid" 2>/dev/null || true
done
[ -n "$port" ] || { echo "demo: could not start mosquitto (see $work/broker.txt)" >&2; exit 1; }
echo "   broker listening on 127.0.0.1:$port"

# The broker's view of the value the host writes back.
mosquitto_sub -p "$port" -t demo/setpoint -C 1 -W 40 >"$work/setpoint.txt" 2>&1 &
sub_pid=$!
pids+=("$sub_pid")

echo "== mqtt-host run (text output; notices and write results on stderr)"
"$host" run --settings examples/demo-settings.json --set "IO.Ethernet.MainPort=$port" \
  --tag demo/temperature --tag demo/humidity --tag demo/status --tag IO.PhysicalLayerStatus \
  --write demo/setpoint 21.5 --output text --duration 40 >"$work/host.txt" 2>&1 </dev/null &
host_pid=$!
pids+=("$host_pid")
tail -n +1 -f "$work/host.txt" &
pids+=("$!")

shown() { grep -q "$1" "$work/host.txt"; }
wait_for 15 shown "connected to the broker" || { echo "demo: mqtt-host did not connect" >&2; exit 1; }

echo "== publishing sample payloads"
# The first value is retained, so it reaches the tag whenever its subscription completes.
mosquitto_pub -p "$port" -t demo/temperature -m "20,5" -r
wait_for 15 shown "demo/temperature = 20.5" || { echo "demo: no value arrived" >&2; exit 1; }
for payload in "20,75" "21,0" "21,25"; do
  mosquitto_pub -p "$port" -t demo/temperature -m "$payload"
  sleep 0.3
done
mosquitto_pub -p "$port" -t demo/humidity -m "55,5"
mosquitto_pub -p "$port" -t demo/status -m "running"
wait_for 10 shown "demo/status = \"running\"" || { echo "demo: the text value did not arrive" >&2; exit 1; }

wait "$sub_pid" 2>/dev/null || true
sleep 0.5
echo "== the broker received the write: demo/setpoint = $(cat "$work/setpoint.txt")"

kill -INT "$host_pid"
wait "$host_pid" || { echo "demo: mqtt-host failed" >&2; exit 1; }
sleep 0.2
echo "== demo finished; broker and host stopped"
