#!/usr/bin/env bash
# What the README tells a newcomer to type, on a fresh copy of the checkout: scripts/run-local
# (its own build included) in the background, scripts/publish-sample and the commands it prints,
# Ctrl-C, a second run-local that keeps the rows, run-local --fresh that starts with none.
# A failure names its step and shows the last lines of run-local's output.
#
#   readme_road.sh CHECKOUT
set -uo pipefail
# Job control: run-local gets a process group of its own with SIGINT not ignored, as in a terminal.
set -m

src=$(cd "${1:?usage: $0 CHECKOUT}" && pwd)
work=$(mktemp -d /tmp/strova-readme.XXXXXX)
copy=$work/c
out=$work/run-local.out
step="copying the checkout"
run_pid=""
started=() # the processes of the services and the daemon, by id, as seen while they ran

say() { echo "readme: $*"; }
fail() {
    echo "readme: FAILED at step \"$step\": $*"
    if [ -f "$out" ]; then
        echo "---- last lines of run-local's output"
        tail -n 40 "$out"
        echo "----"
    fi
    exit 1
}
cleanup() {
    [ -n "$run_pid" ] && kill -INT -- "-$run_pid" 2>/dev/null && sleep 0.1
    local p
    for p in "${started[@]}" $(pgrep -f -- "$copy/" 2>/dev/null); do
        kill -KILL "$p" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP # CTest's time-out too leaves nothing behind

# ---- the copy: what the checkout holds, without builds, local data or git's own files
mkdir -p "$copy"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar --null -T - -cf -) | tar -C "$copy" -xf - || fail "tar"
else
    tar -C "$src" --exclude='./build*' --exclude=./.local --exclude=./.git -cf - . | tar -C "$copy" -xf - ||
        fail "tar"
fi
cd "$copy" || fail "no copy"

peer() { /usr/bin/python3 tests/support/amqp_peer.py "$STROVA_AMQP_URI" "$@"; }
listeners() { # ids of the processes listening on the services' ports
    local p
    for p in "$STROVA_MYSQL_PORT" "$STROVA_AMQP_PORT" "$STROVA_EPMD_PORT" "$STROVA_DIST_PORT"; do
        ss -Hltnp "sport = :$p" | grep -o 'pid=[0-9]*' | cut -d= -f2
    done
}

# Starts run-local in the background and waits until the daemon consumes its uplink queue.
start() {
    step="scripts/run-local $*: start"
    # The sample configuration keeps the API's default port.
    local holder
    holder=$(ss -Hltnp "sport = :10022")
    [ -z "$holder" ] || fail "port 10022 is taken: $holder"
    : >"$out"
    scripts/run-local "$@" >>"$out" 2>&1 </dev/null &
    run_pid=$!
    # The first start builds the daemon from nothing.
    local limit=${START_LIMIT:-1200} waited=0
    while :; do
        kill -0 "$run_pid" 2>/dev/null || { wait "$run_pid"; fail "run-local exited ($?) before the daemon consumed strova_ul"; }
        if [ -f .local/services.env ] && grep -q '^configuration:' "$out"; then
            # shellcheck disable=SC1091
            . .local/services.env
            if peer stats strova_ul 2>/dev/null | grep -q '"consumers": [1-9]'; then break; fi
        fi
        [ $waited -ge $((limit * 2)) ] && fail "no consumer on strova_ul after ${limit} s"
        sleep 0.5
        waited=$((waited + 1))
    done
    # shellcheck disable=SC2207
    started+=($(listeners) $(pgrep -f -- "$copy/"))
    say "run-local $* up after $((waited / 2)) s"
}

# Ctrl-C: SIGINT to run-local's process group; run-local, the daemon and both services are gone
# within 120 s.
stop() {
    step="Ctrl-C to scripts/run-local $*"
    local pids
    pids=$(listeners; pgrep -f -- "$copy/")
    kill -INT -- "-$run_pid" || fail "no process group $run_pid"
    local waited=0 p left
    while :; do
        left=""
        for p in $run_pid $pids; do kill -0 "$p" 2>/dev/null && left="$left $p"; done
        [ -z "$left" ] && break
        if [ $waited -ge 240 ]; then
            fail "still running 120 s after SIGINT: $(ps -o pid=,args= -p "$(echo $left | tr ' ' ,)" | cut -c1-150)"
        fi
        sleep 0.5
        waited=$((waited + 1))
    done
    wait "$run_pid" 2>/dev/null
    run_pid=""
    left=$(pgrep -f -- "$copy/")
    [ -z "$left" ] || fail "left behind: $(ps -o pid=,args= -p "$(echo $left | tr ' ' ,)" | cut -c1-150)"
    for p in "$STROVA_MYSQL_PORT" "$STROVA_AMQP_PORT" "$STROVA_EPMD_PORT" "$STROVA_DIST_PORT"; do
        [ -z "$(ss -Hltn "sport = :$p")" ] || fail "port $p still listened on: $(ss -Hltnp "sport = :$p")"
    done
    say "stopped after $((waited / 2)) s, nothing left"
}

sql() { mariadb --no-defaults --protocol=tcp -h127.0.0.1 -P"$STROVA_MYSQL_PORT" -u"$STROVA_MYSQL_USER" \
    -p"$STROVA_MYSQL_PASS" "$STROVA_MYSQL_DB" -N -e "$1"; }

# Waits up to 60 s until `sql "$1"` prints $2.
sql_until() {
    local got="" i
    for i in $(seq 1 120); do
        got=$(sql "$1" 2>&1) && [ "$got" = "$2" ] && return 0
        sleep 0.5
    done
    fail "\"$1\" gave \"$got\", expected \"$2\""
}
counts="SELECT (SELECT COUNT(*) FROM modems_data WHERE modem_id=4001),
    (SELECT COUNT(*) FROM modems_event WHERE modem_id=4002),
    (SELECT COUNT(*) FROM modems_setting WHERE modem_id=4003)"

# ---- the first run, from nothing
start

step="scripts/publish-sample"
printed=$(scripts/publish-sample 2>&1) || fail "exit $?: $printed"
rows_cmd=$(grep -A1 '^published 3 uplinks .* the stored rows:$' <<<"$printed" | sed -n 2p)
drain_cmd=$(grep -A1 '^the downlinks the daemon sent' <<<"$printed" | sed -n 2p)
case "$rows_cmd" in mariadb\ *) ;; *) fail "no mariadb command printed: $printed" ;; esac
case "$drain_cmd" in *" drain strova_dl_capture") ;; *) fail "no drain command printed: $printed" ;; esac

step="the uplinks' rows"
sql_until "$counts" "$(printf '1\t2\t2')" # 4003: its serial number and its time record

step="publish-sample's mariadb command"
rows=$(bash -c "$rows_cmd" 2>&1) || fail "exit $?: $rows"
# The value at the reception time T, the two events of the archive at T-900 and T-800, the serial
# number at T.
sample_rows() {
    /usr/bin/python3 -c '
import re, sys
rows = sys.stdin.read()
value = re.search(r"^4001\t(\d+)\t50\t1\.234$", rows, re.M)
if not value:
    sys.exit("no value 1.234 of modem 4001")
t = int(value.group(1))
want = ["4001\t%d\t50\t1.234" % t, "4002\t%d\t4\t1" % (t - 900), "4002\t%d\t4\t2" % (t - 800),
        "4003\t%d\t0\tsn\t0a0b0c0d" % t]
lines = rows.splitlines()
missing = [w for w in want if w not in lines]
if missing:
    sys.exit("missing " + repr(missing))
print("\n".join(want))'
}
first_rows=$(sample_rows <<<"$rows" 2>&1) || fail "$first_rows in: $rows"

step="publish-sample's drain command"
for i in $(seq 1 120); do
    peer stats strova_dl_capture | grep -q '"messages": [3-9]' && break
    sleep 0.5
done
downlinks=$(bash -c "$drain_cmd" 2>&1) || fail "exit $?: $downlinks"
# A downlink to each of the three modems, on the daemon's exchange with its routing key and key.
checked=$(/usr/bin/python3 -c '
import json, sys
modems = set()
for line in sys.stdin.read().splitlines():
    m = json.loads(line)
    body = json.loads(m["body"])
    if m["exchange"] != "strova_dl" or m["routing_key"] != "api.ostrel" or body.get("api_key") != "local-key" \
            or body.get("msg_type") != "dl":
        sys.exit("unexpected downlink " + line)
    modems.add(body["modem_id"])
if modems != {4001, 4002, 4003}:
    sys.exit("downlinks to %s, not to 4001, 4002 and 4003" % sorted(modems))' <<<"$downlinks" 2>&1) ||
    fail "$checked in: $downlinks"

stop

kept_rows() {
    step="the rows kept"
    rows=$(bash -c "$rows_cmd" 2>&1) || fail "exit $?: $rows"
    kept=$(sample_rows <<<"$rows" 2>&1) || fail "$kept in: $rows"
    [ "$kept" = "$first_rows" ] || fail "rows changed: $kept"
}

# ---- a second run keeps the rows, also on the data an older run-local left (without MariaDB's
# temp dir), and a run killed outright leaves nothing in the way of the next
rm -rf .local/services/mysql/tmp
start
kept_rows
step="SIGKILL to scripts/run-local's process group"
{
    kill -KILL -- "-$run_pid"
    wait "$run_pid"
} 2>/dev/null
run_pid=""
start
kept_rows
stop

# ---- --fresh starts with none
start --fresh
step="the rows gone after --fresh"
empty=$(sql "SELECT (SELECT COUNT(*) FROM modems_data), (SELECT COUNT(*) FROM modems_event),
    (SELECT COUNT(*) FROM modems_setting)" 2>&1)
[ "$empty" = "$(printf '0\t0\t0')" ] || fail "rows in modems_data, modems_event, modems_setting: $empty"
left=$(peer stats strova_dl_capture 2>&1)
case "$left" in *'"messages": 0,'*) ;; *) fail "strova_dl_capture: $left" ;; esac
stop
say "the README's road works"
