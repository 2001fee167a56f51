#!/usr/bin/env bash
# Load, soak and fault tests of the built hub with simulated instruments
# (build/bin/vorlanhub and build/bin/dremosim, built when missing). Too long
# for the test command: run it by hand before a release.
#
#   ./scripts/loadtest.sh [--minutes N] [--instruments N] [--flappers N]
#                         [--only load,kill,disk] [--keep]
#
# load  N instruments (default 200; 3 channels, 100 samples/s, real time)
#       stream into one hub for --minutes (default 10) while --flappers
#       (default 20) more drop their link every 4 s. Then, from the
#       instruments' cards: every record the steady instruments made is in the
#       archive exactly once, up to the last one stored per channel (the rest
#       were never acknowledged when the simulators stopped); the hub's
#       resident memory after the first third against the end; every minute
#       zipped after the orderly stop; threads, descriptors and memory of the
#       hub while the flapping links come and go.
# kill  20 instruments with cards stream for 45 s; the hub is killed with
#       SIGKILL and started again on the same folder; once backfill has run
#       (bounded wait), every record made before the kill is in the archive
#       exactly once.
# disk  10 instruments stream into an archive on a nearly full file system (a
#       small tmpfs when this runs as root and may mount, else the hub runs
#       under "ulimit -f", a per-file size limit); after 60 s the space comes
#       back. The hub must keep running, say what failed in its logs, keep or
#       record as backfill gaps every record made while the disk was full,
#       and store again afterwards.
#
# Prints one figures block per scenario and "loadtest: PASS" or
# "loadtest: FAIL" at the end (exit status 0 or 1). Work folders are under
# /tmp/vhload.* and removed unless --keep.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

MINUTES=10
INSTRUMENTS=200
FLAPPERS=20
ONLY="load,kill,disk"
KEEP=0
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) MINUTES=$2; shift 2 ;;
    --instruments) INSTRUMENTS=$2; shift 2 ;;
    --flappers) FLAPPERS=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --keep) KEEP=1; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

KILL_STREAM_SECS=45     # kill: streaming before the kill
BACKFILL_WAIT_SECS=300  # kill, disk: longest wait for backfill to fill what is missing
DISK_FULL_SECS=60       # disk: streaming while the archive's file system is full
DISK_SIZE_MB=16         # disk: size of the tmpfs
FLAP_EVERY_SECS=4       # load: the flapping instruments drop their link this often
SAMPLE_SECS=10          # hub figures (memory, threads, descriptors) this often

BIN=$ROOT/build/bin
if [ ! -x "$BIN/vorlanhub" ] || [ ! -x "$BIN/dremosim" ]; then
  TARGETS="vorlanhub dremosim" ./scripts/build.sh build
fi
WORK=$(mktemp -d /tmp/vhload.XXXXXX)
RESULT=PASS
MOUNTED=""
PIDS=()

cleanup() {
  for p in "${PIDS[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  if [ -n "$MOUNTED" ]; then umount "$MOUNTED" 2>/dev/null || true; fi
  if [ "$KEEP" = 0 ]; then rm -rf "$WORK"; else echo "work folder kept: $WORK"; fi
}
trap cleanup EXIT

fail() { echo "  FAIL: $*"; RESULT=FAIL; }
note() { echo "  $*"; }

freePort() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# startHub DIR PORT [extra property lines]: the hub in DIR (its base folder),
# HOME=DIR; HUB_PID is set. Waits until the port listens.
startHub() {
  local dir=$1 port=$2 extra=${3:-}
  mkdir -p "$dir/settings"
  printf 'serialenabled=0\nport=%s\nringenabled=0\n%b' "$port" "$extra" > "$dir/settings/vorlanhub.props"
  (cd "$dir" && HOME=$dir exec "$BIN/vorlanhub") >> "$dir/hub.out" 2>&1 &
  HUB_PID=$!
  PIDS+=("$HUB_PID")
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  fail "hub did not listen on port $port"
  return 1
}

# stopHub: SIGTERM (the orderly stop) and a bounded wait.
stopHub() {
  kill -TERM "$HUB_PID" 2>/dev/null || return 0
  for _ in $(seq 120); do
    kill -0 "$HUB_PID" 2>/dev/null || { wait "$HUB_PID" 2>/dev/null || true; return 0; }
    sleep 0.5
  done
  fail "hub did not end within 60 s of SIGTERM"
  kill -9 "$HUB_PID" 2>/dev/null || true
}

# startSim OUT ARGS...: dremosim in the background; SIM_PID is set.
startSim() {
  local out=$1; shift
  "$BIN/dremosim" "$@" > "$out" 2>&1 &
  SIM_PID=$!
  PIDS+=("$SIM_PID")
}

stopSim() {
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 60); do kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null || true; return 0; }; sleep 0.5; done
  kill -9 "$1" 2>/dev/null || true
}

# sampleHub PID FILE: "seconds rss_kB threads descriptors" every SAMPLE_SECS
# while the process lives; SAMPLER_PID is set.
sampleHub() {
  local pid=$1 file=$2 start=$SECONDS
  (
    while kill -0 "$pid" 2>/dev/null; do
      rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
      threads=$(awk '/^Threads/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
      fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
      echo "$((SECONDS - start)) $rss $threads $fds"
      sleep "$SAMPLE_SECS"
    done
  ) > "$file" &
  SAMPLER_PID=$!
  PIDS+=("$SAMPLER_PID")
}

# The archive checker: reads every 512-byte record of the simulators' cards
# and of the hub's archive (plain and zipped minutes) and compares them by
# station, channel and start time.
cat > "$WORK/check.py" <<'PYEOF'
import os, re, struct, sys, zipfile, datetime

def records(data):
    for off in range(0, len(data) - 511, 512):
        rec = data[off:off + 512]
        sta = rec[8:13].decode('ascii', 'replace').strip()
        cha = rec[15:18].decode('ascii', 'replace')
        y, d, h, m, s, _, f = struct.unpack('>HHBBBBH', rec[20:30])
        if not 1900 < y < 2200:
            y, d, h, m, s, _, f = struct.unpack('<HHBBBBH', rec[20:30])
        t = (datetime.datetime(y, 1, 1, h, m, s, tzinfo=datetime.timezone.utc) +
             datetime.timedelta(days=d - 1)).timestamp() + f / 10000.0
        yield (sta, cha, round(t, 4))

def walk(top):
    for folder, dirs, files in os.walk(top):
        for name in files:
            if not name.startswith('.'):
                yield os.path.join(folder, name)

def archive(top):
    found = {}
    plain = zipped = 0
    for path in walk(top):
        chunks = []
        try:
            if path.endswith('.ms.zip'):
                zipped += 1
                with zipfile.ZipFile(path) as z:
                    chunks = [z.read(n) for n in z.namelist() if n.endswith('.ms')]
            elif path.endswith('.ms'):
                plain += 1
                chunks = [open(path, 'rb').read()]
        except Exception as e:
            print('  unreadable %s: %s' % (path, e))
        for c in chunks:
            for k in records(c):
                found[k] = found.get(k, 0) + 1
    return found, plain, zipped

def card(top, stations):
    made = set()
    for path in walk(top):
        if path.endswith('.ms'):
            for k in records(open(path, 'rb').read()):
                if stations is None or k[0] in stations:
                    made.add(k)
    return made

def gaps(top):
    spans = {}
    for path in walk(top):
        if path.endswith('.gaps'):
            sta = os.path.basename(path).split('.')[0]
            for line in open(path, errors='replace'):
                p = line.split()
                if len(p) >= 4 and all(re.fullmatch(r'-?\d+', x) for x in p[:4]) and p[3] == '6':
                    spans.setdefault(sta, []).append((int(p[1]), int(p[2]) + 1))
    return spans

# check.py MODE ARCHIVE CARD [options]
mode, arch, cardtop = sys.argv[1:4]
opts = dict(a.split('=', 1) for a in sys.argv[4:])
prefix = opts.get('prefix')
found, plain, zipped = archive(arch)
made = card(cardtop, None)
if prefix:
    made = {k for k in made if k[0].startswith(prefix)}
    mine = {k: n for k, n in found.items() if k[0].startswith(prefix)}
else:
    mine = found
dups = sum(1 for k, n in mine.items() if n > 1)
foreign = sum(1 for k in mine if k not in made)
last = {}
for k in mine:
    key = (k[0], k[1])
    last[key] = max(last.get(key, 0), k[2])
missing = [k for k in made if k not in mine]
if mode in ('load', 'count'):
    holes = [k for k in missing if k[2] < last.get((k[0], k[1]), 0)]
    stop = float(opts.get('stop', '1e12'))
    tail = sum(1 for k in missing if k not in holes and k[2] < stop)
    late = len(missing) - len(holes) - tail
    print('  records made %d, stored %d, duplicates %d, not made by the instruments %d' %
          (len(made), len(mine), dups, foreign))
    print('  missing before the last stored record of their channel (lost) %d, after it '
          '(not acknowledged when the hub stopped) %d, made after the stop %d' %
          (len(holes), tail, late))
    print('  minute files: zipped %d, plain %d' % (zipped, plain))
    bad = (dups or foreign or holes) and mode == 'load'
elif mode == 'kill':
    kill = float(opts['kill'])
    lost = [k for k in missing if k[2] < kill - 1]
    print('  records made before the kill %d, of them missing from the archive %d; '
          'duplicates %d, not made by the instruments %d' %
          (sum(1 for k in made if k[2] < kill - 1), len(lost), dups, foreign))
    bad = dups or foreign or lost
elif mode == 'disk':
    spans = gaps(os.path.join(opts['base'], 'time'))
    full0, full1 = float(opts['full0']), float(opts['full1'])
    during = [k for k in made if full0 <= k[2] < full1]
    kept = sum(1 for k in during if k in mine)
    covered = [k for k in during if k not in mine and
               any(a <= k[2] <= b for a, b in spans.get(k[0], []))]
    unaccounted = len(during) - kept - len(covered)
    after = sum(1 for k in mine if k[2] >= full1 + 30)
    print('  records made while the disk was full %d: in the archive %d, in backfill gaps %d, '
          'neither %d' % (len(during), kept, len(covered), unaccounted))
    print('  records stored after the space came back %d; duplicates %d' % (after, dups))
    bad = unaccounted or dups or after == 0
sys.exit(1 if bad else 0)
PYEOF

# figures FILE: resident memory, threads and descriptors over the run.
figures() {
  python3 - "$1" <<'PYEOF'
import sys
rows = [list(map(int, l.split())) for l in open(sys.argv[1]) if len(l.split()) == 4]
if len(rows) < 3:
    print('  too few samples'); sys.exit(0)
third = len(rows) // 3
mid, end = rows[third], rows[-1]
print('  hub resident memory: %d kB after %d s, %d kB at the end (%d s), max %d kB' %
      (mid[1], mid[0], end[1], end[0], max(r[1] for r in rows)))
print('  threads: %d..%d in the middle third, %d..%d in the last third' %
      (min(r[2] for r in rows[third:2 * third]), max(r[2] for r in rows[third:2 * third]),
       min(r[2] for r in rows[2 * third:]), max(r[2] for r in rows[2 * third:])))
print('  descriptors: %d..%d in the middle third, %d..%d in the last third' %
      (min(r[3] for r in rows[third:2 * third]), max(r[3] for r in rows[third:2 * third]),
       min(r[3] for r in rows[2 * third:]), max(r[3] for r in rows[2 * third:])))
# Growth: the last third may not exceed the middle third by more than 10 %
# of memory or by more than a few threads and descriptors.
grow = []
if end[1] > mid[1] * 1.10 + 2048: grow.append('memory')
if max(r[2] for r in rows[2 * third:]) > max(r[2] for r in rows[third:2 * third]) + 8: grow.append('threads')
if max(r[3] for r in rows[2 * third:]) > max(r[3] for r in rows[third:2 * third]) + 16: grow.append('descriptors')
print('  growth: %s' % (', '.join(grow) if grow else 'none'))
sys.exit(1 if grow else 0)
PYEOF
}

scenarioLoad() {
  echo "== load: $INSTRUMENTS instruments for $MINUTES min, $FLAPPERS dropping their link every ${FLAP_EVERY_SECS} s"
  local dir=$WORK/load port secs=$((MINUTES * 60)) script="" t
  mkdir -p "$dir"
  port=$(freePort)
  startHub "$dir" "$port" "metricsport=$(freePort)\n" || return
  sampleHub "$HUB_PID" "$dir/samples.txt"
  startSim "$dir/steady.out" --port "$port" --count "$INSTRUMENTS" --station-prefix L --id 01000001 \
    --card "$dir/card-steady" --reconnect 2
  local steady=$SIM_PID
  for ((t = FLAP_EVERY_SECS; t < secs; t += FLAP_EVERY_SECS)); do script+="$t:disconnect;"; done
  startSim "$dir/flap.out" --port "$port" --count "$FLAPPERS" --station-prefix F --id 02000001 \
    --card "$dir/card-flap" --reconnect 1 --script "$script"
  local flap=$SIM_PID
  sleep "$secs"
  cp "$dir/status.json" "$dir/status-at-end.json" 2>/dev/null || true
  # The hub stops first: its sessions drain and acknowledge what they read.
  # The figures cover the streaming only, not the stop.
  kill "$SAMPLER_PID" 2>/dev/null || true
  local stopped
  stopped=$(date +%s)
  stopHub
  stopSim "$steady"
  stopSim "$flap"
  note "links at the end (status.json): $(grep -o '"links": [0-9]*' "$dir/status-at-end.json" || echo none)"
  note "steady simulators: $(grep 'summary total' "$dir/steady.out" || echo none)"
  note "flapping simulators: $(grep 'summary total' "$dir/flap.out" || echo none)"
  note "steady instruments:"
  python3 "$WORK/check.py" load "$dir/archive" "$dir/card-steady" prefix=L "stop=$stopped" || fail "records of the steady instruments lost or stored twice"
  note "flapping instruments (their lost in-flight records wait as backfill gaps):"
  python3 "$WORK/check.py" count "$dir/archive" "$dir/card-flap" prefix=F "stop=$stopped" || true
  figures "$dir/samples.txt" || fail "the hub grew while links came and went"
  local plain
  plain=$(find "$dir/archive" -name '*.ms' ! -name '.*' | wc -l)
  [ "$plain" -eq 0 ] || fail "$plain minute files not zipped after the orderly stop"
  note "log error lines: $(cat "$dir"/log/*.txt | grep -ciE 'error|fail|could not|cannot' || true)"
}

scenarioKill() {
  echo "== kill: SIGKILL of the hub while 20 instruments stream, restart, backfill"
  local dir=$WORK/kill port killed
  mkdir -p "$dir"
  port=$(freePort)
  # The settings file is fetched at once: the restart gap needs the channels.
  startHub "$dir" "$port" "settings=1\n" || return
  startSim "$dir/sim.out" --port "$port" --count 20 --station-prefix K --id 03000001 \
    --card "$dir/card" --reconnect 2
  local sim=$SIM_PID
  sleep "$KILL_STREAM_SECS"
  killed=$(date +%s.%N)
  kill -9 "$HUB_PID"
  wait "$HUB_PID" 2>/dev/null || true
  note "hub killed at $(date -u -d "@${killed%.*}" +%H:%M:%S); started again"
  startHub "$dir" "$port" "settings=1\n" || return
  local waited=0
  while [ "$waited" -lt "$BACKFILL_WAIT_SECS" ]; do
    sleep 20; waited=$((waited + 20))
    if python3 "$WORK/check.py" kill "$dir/archive" "$dir/card" "kill=$killed" > /dev/null 2>&1; then break; fi
  done
  note "waited ${waited} s for backfill"
  stopHub
  stopSim "$sim"
  python3 "$WORK/check.py" kill "$dir/archive" "$dir/card" "kill=$killed" || fail "records made before the kill are missing or stored twice"
  note "restart gaps logged: $(cat "$dir"/log/*.txt | grep -c 'Adding Restart Gap' || true)"
}

scenarioDisk() {
  local dir=$WORK/disk port full="" how
  mkdir -p "$dir/full"
  if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=${DISK_SIZE_MB}m tmpfs "$dir/full" 2>/dev/null; then
    MOUNTED=$dir/full
    how="a ${DISK_SIZE_MB} MB tmpfs, filled up to the last 200 kB"
  else
    how="a per-file size limit (ulimit -f 64: 64 kB per file)"
  fi
  echo "== disk: an archive on $how"
  port=$(freePort)
  if [ -n "$MOUNTED" ]; then
    local avail
    avail=$(df --output=avail -k "$dir/full" | tail -1)
    dd if=/dev/zero of="$dir/full/filler" bs=1k count=$((avail - 200)) status=none 2>/dev/null || true
    startHub "$dir" "$port" "settings=1\narchive1=$dir/full/archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S\n" || return
  else
    (ulimit -f 64; startHub "$dir" "$port" "settings=1\narchive1=$dir/full/archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S\n") || return
    HUB_PID=$(pgrep -n -f "$BIN/vorlanhub" || true)
    PIDS+=("$HUB_PID")
  fi
  local full0
  full0=$(date +%s)
  startSim "$dir/sim.out" --port "$port" --count 10 --station-prefix D --id 03800001 \
    --card "$dir/card" --reconnect 2
  local sim=$SIM_PID
  sleep "$DISK_FULL_SECS"
  kill -0 "$HUB_PID" 2>/dev/null || fail "the hub ended while the disk was full"
  note "pending gaps while full (status.json): $(grep -o '"DLBACK": [0-9]*' "$dir/status.json" | awk '{s+=$2} END {print s+0}') DLBACK"
  note "free space shown for archive1: $(grep -o '"free_bytes": [0-9a-z]*' "$dir/status.json" | head -1)"
  local full1
  full1=$(date +%s)
  if [ -n "$MOUNTED" ]; then rm -f "$dir/full/filler"; fi
  note "space returned at $(date -u +%H:%M:%S)"
  local waited=0
  while [ "$waited" -lt "$BACKFILL_WAIT_SECS" ]; do
    sleep 20; waited=$((waited + 20))
    [ "$waited" -ge 90 ] || continue
    grep -q '"DLBACK"' "$dir/status.json" || break
  done
  note "waited ${waited} s after the space returned; pending DLBACK gaps then: $(grep -o '"DLBACK": [0-9]*' "$dir/status.json" | awk '{s+=$2} END {print s+0}')"
  kill -0 "$HUB_PID" 2>/dev/null || fail "the hub ended after the space returned"
  stopHub
  stopSim "$sim"
  # Counted once the stop has written the logs' caches.
  note "store failures logged: $(cat "$dir"/log/*.txt | grep -c 'Cannot store records in archive' || true)"
  python3 "$WORK/check.py" disk "$dir/full/archive" "$dir/card" "base=$dir" "full0=$full0" "full1=$full1" ||
    fail "records made while the disk was full neither kept nor recorded as gaps, or no storing afterwards"
}

START=$SECONDS
case ",$ONLY," in *,load,*) scenarioLoad ;; esac
case ",$ONLY," in *,kill,*) scenarioKill ;; esac
case ",$ONLY," in *,disk,*) scenarioDisk ;; esac
echo "loadtest: $RESULT ($(((SECONDS - START) / 60)) min $(((SECONDS - START) % 60)) s)"
[ "$RESULT" = PASS ]
