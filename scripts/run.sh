#!/usr/bin/env bash
# The main job: sets everything up, then runs the hub in a working folder on
# its embedded default configuration with one simulated instrument streaming
# into it and reporting one trigger, reads the instrument's live records back
# from the hub's ring server over SeedLink, shows what the hub logged and wrote
# (the trigger file and the trigger waveform package among it), and stops it
# with the shutdown file. The instrument's card holds minutes recorded before
# this run, and the station's gap file (as an earlier run of the hub left it
# when the link went down) asks for two of them: the hub backfills them from
# the card, and the run shows one of them in the archive.
#   scripts/run.sh [working folder] [seconds to run]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
WORK="${1:-$ROOT/work}"
SECONDS_TO_RUN="${2:-180}"
PORT="${VH_PORT:-58772}"

./scripts/setup.sh

mkdir -p "$WORK/settings"
# The embedded default configuration: every key at its default except that
# serial probing is off, so no serial device is opened by surprise, and the
# trigger package is built from the archive without asking the instrument
# for the trigger's minutes again.
if [ ! -f "$WORK/settings/vorlanhub.props" ]; then
  cat > "$WORK/settings/vorlanhub.props" <<PROPS
# VorlanHub properties for the demonstration run.
serialenabled=0
trigbackfill=0
port=${PORT}
PROPS
fi
rm -f "$WORK/shutdown"

# Two minutes of the card, four and three minutes ago, due for backfill
# ("pop start end action"; 6 is DLBACK).
LABEL="DEMO.01000d30"
NOW=$(( $(date +%s) / 60 * 60 ))
GAP_START=$(( NOW - 240 ))
GAP_END=$(( NOW - 181 ))
mkdir -p "$WORK/time"
echo "$(( NOW - 180 )) $GAP_START $GAP_END 6" > "$WORK/time/$LABEL.gaps"
rm -rf "$WORK/card"

echo "== starting the hub in $WORK (mode 0, base ./)"
cd "$WORK"
HOME="$WORK/home" "$ROOT/build/bin/vorlanhub" > "$WORK/vorlanhub.out" 2>&1 &
HUB=$!
trap 'kill $HUB 2>/dev/null || true' EXIT

sleep 2
echo "== one simulated instrument (station DEMO, id 01000d30, HHZ/HHN/HHE at 100 Hz) for ${SECONDS_TO_RUN} s, a STALTA trigger after 5 s"
"$ROOT/build/bin/dremosim" --port "$PORT" --station DEMO --network XX --id 01000d30 \
  --duration "$SECONDS_TO_RUN" --reconnect 0 --backlog 30 --script "5:trigger 4" \
  --card "$WORK/card" --prefill 300 \
  > "$WORK/dremosim.out" 2>&1 &
SIM=$!
# The ring server starts a few seconds after the hub, on the SeedLink port of
# settings/ring.conf (18000 by default).
SL_PORT="$(awk '$1 == "SeedLinkPort" {print $2}' "$WORK/settings/ring.conf" 2>/dev/null || true)"
echo "== reading DEMO's live records back through SeedLink (port ${SL_PORT:-18000})"
sleep 6
sl_status=0
"$ROOT/build/bin/slreadvh" -p "${SL_PORT:-18000}" -s DEMO.XX -n 6 -t 30 | sed 's/^/  /' || sl_status=$?
# The trigger waveform package is built once the minutes after the trigger
# are in the archive (a minute or two later), and the backfill runs once the
# link has been quiet of errors for a while: the instrument stays connected
# until both are there (at most the seconds to run), then it is stopped.
MINUTE="$(date -u -d "@$GAP_START" +%Y%m%d_%H%M)"
echo "== waiting for the trigger waveform package and the backfilled minute (at most ${SECONDS_TO_RUN} s)"
while kill -0 "$SIM" 2>/dev/null; do
  if [ -n "$(find archive/triggers -name '*.zip' 2>/dev/null | head -n 1)" ] &&
     [ -n "$(find archive -name "${MINUTE}_DEMO*.zip" 2>/dev/null | head -n 1)" ]; then
    break
  fi
  sleep 1
done
kill "$SIM" 2>/dev/null || true
wait "$SIM" || true
sed 's/^/  /' "$WORK/dremosim.out" | grep -E "summary|connected|link started" || true

echo "== stopping the hub with the shutdown file"
touch "$WORK/shutdown"
for _ in $(seq 1 30); do
  kill -0 "$HUB" 2>/dev/null || break
  sleep 1
done
status=0
wait "$HUB" || status=$?
trap - EXIT
echo "== hub exited with status $status (1 is a normal stop)"

echo "== what the hub created"
find . -path ./home -prune -o -print | sort | sed 's/^/  /'
echo "== trigger files and trigger waveform packages"
find archive/trigxml archive/triggers -type f 2>/dev/null | sort | sed 's/^/  /' || true
echo "== main log"
cat log/log.*.vh.txt | sed 's/^/  /'
echo "== session log (last 40 lines)"
cat log/log.*.DEMO.*.txt 2>/dev/null | tail -n 40 | sed 's/^/  /'
echo "== backfill from the instrument's card"
grep -h -E "REQUEST FILE|backfill (start|complete|fail)" log/log.*.DEMO.*.txt 2>/dev/null |
  sed 's/^/  /' || true
BACKFILLED="$(find archive -name "${MINUTE}_DEMO*" 2>/dev/null | head -n 1)"
if [ -n "$BACKFILLED" ]; then
  echo "== backfilled minute $(date -u -d "@$GAP_START" '+%Y-%m-%d %H:%M') UTC: $WORK/$BACKFILLED"
else
  echo "== the minute $(date -u -d "@$GAP_START" '+%Y-%m-%d %H:%M') UTC was not backfilled"
  status=2
fi
if [ -z "$(find archive/triggers -name '*.zip' 2>/dev/null | head -n 1)" ]; then
  echo "== no trigger waveform package was built"
  status=2
fi
[ "$status" -eq 1 ] && [ "$sl_status" -eq 0 ]
