#!/usr/bin/env bash
# What the README tells a newcomer to type, on a fresh copy of the checkout: scripts/run-local
# (its own build included) in the background, scripts/publish-sample and the commands it prints,
# Ctrl-C, a second run-local that keeps the rows, run-local --fresh that starts with none. And what
# a newcomer does besides: a second run-local while one runs (refused, the first unharmed), a
# run-local killed alone or with all its processes (the next run works and leaves no orphan, a pid
# file naming someone else's process harms nobody), a daemon that cannot start (a failure, not a
# success), and, with root at hand, run-local as an ordinary user made with useradd, in a login
# shell on a terminal of its own: its API, Ctrl-C and a closed terminal.
# A failure names its step and shows the last lines of run-local's output.
#
#   readme_road.sh CHECKOUT
set -uo pipefail
# Job control: run-local gets a process group of its own with SIGINT not ignored, as in a terminal.
set -m

src=$(cd "${1:?usage: $0 CHECKOUT}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${STROVA_TMP:-/tmp}/strova-readme.XXXXXX")
copy=$work/c
out=$work/run-local.out
step="copying the checkout"
run_pid=""
started=() # the processes of the services and the daemon, by id, as seen while they ran
as=()      # the command that runs run-local as another user
terminal=0 # 1: run-local runs in a login shell on a terminal of its own (in_terminal.py)
user=""
bystander=""

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
    for p in "${started[@]}" $(pgrep -f -- "$copy/" 2>/dev/null) $bystander ${user:+$(pgrep -u "$user")}; do
        kill -KILL "$p" 2>/dev/null
    done
    rm -rf "$work"
    [ -z "$user" ] || userdel "$user" 2>/dev/null
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
# With orphan=1 the port may be held by the daemon of an earlier run, which run-local must stop.
orphan=0
start() {
    step="scripts/run-local $*: start"
    # The sample configuration keeps the API's default port.
    local holder
    holder=$(ss -Hltnp "sport = :10022")
    [ -z "$holder" ] || [ $orphan = 1 ] || fail "port 10022 is taken: $holder"
    : >"$out"
    if [ $terminal = 1 ]; then
        # shellcheck disable=SC2016
        /usr/bin/python3 "$here/in_terminal.py" "$out" "${as[@]}" bash -l -c 'cd "$0" && exec scripts/run-local "$@"' \
            "$copy" "$@" </dev/null &
    else
        "${as[@]}" scripts/run-local "$@" >>"$out" 2>&1 </dev/null &
    fi
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

# Ctrl-C: SIGINT to run-local's process group (on its terminal: Ctrl-C typed there, or with
# hangup=1 the terminal closed); run-local, the daemon and both services are gone within 120 s.
# It exits 0, or with early=1 (Ctrl-C before the daemon runs) as it may (stop_rc).
early=0
hangup=0
stop() {
    step="Ctrl-C to scripts/run-local $*"
    local pids
    pids=$(listeners; pgrep -f -- "$copy/")
    if [ $terminal = 0 ]; then
        kill -INT -- "-$run_pid" || fail "no process group $run_pid"
    elif [ $hangup = 1 ]; then
        step="the terminal of scripts/run-local closed"
        kill -USR2 "$run_pid" || fail "no terminal $run_pid"
    else
        kill -USR1 "$run_pid" || fail "no terminal $run_pid"
    fi
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
    stop_rc=$?
    run_pid=""
    [ $stop_rc = 0 ] || [ "$early" = 1 ] || fail "run-local exited $stop_rc after Ctrl-C"
    nothing_left
    say "stopped after $((waited / 2)) s, nothing left"
}

# No process of the copy runs and the services' ports are free.
nothing_left() {
    local left p
    left=$(pgrep -f -- "$copy/")
    [ -z "$left" ] || fail "left behind: $(ps -o pid=,args= -p "$(echo $left | tr ' ' ,)" | cut -c1-150)"
    for p in "$STROVA_MYSQL_PORT" "$STROVA_AMQP_PORT" "$STROVA_EPMD_PORT" "$STROVA_DIST_PORT"; do
        [ -z "$(ss -Hltn "sport = :$p")" ] || fail "port $p still listened on: $(ss -Hltnp "sport = :$p")"
    done
}

# A process that is none of the run's: run-local must leave it alone.
bystander_start() {
    /usr/bin/python3 -c "$1" &
    bystander=$!
}
bystander_check() {
    kill -0 "$bystander" 2>/dev/null || fail "process $bystander, none of the run's, was killed"
    kill "$bystander"
    wait "$bystander" 2>/dev/null
    bystander=""
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

# ---- a server that cannot start shows its own error at once, not a wait and a missing log
step="a MariaDB that cannot start"
mkdir -p "$work/fake"
printf '#!/bin/sh\necho "mariadbd: fake failure to start" >&2\nexit 1\n' >"$work/fake/mariadbd"
chmod +x "$work/fake/mariadbd"
began=$(date +%s)
said=$(PATH="$work/fake:$PATH" tests/support/services.sh start "$work/fake/state" mysql 2>&1) && fail "it started: $said"
case "$said" in *"MariaDB did not start"*"fake failure to start"*) ;; *) fail "the server's own error not shown: $said" ;; esac
[ $(($(date +%s) - began)) -lt 20 ] || fail "waited $(($(date +%s) - began)) s for a server that had ended"

# ---- the first run, from nothing
start
step="the sample's login accounts"
grep -q '^accounts: *none ' "$out" || fail "no line saying the sample has no account"
said=$(curl -s 'http://127.0.0.1:10022/api/authorization?user=operator&pass=secret')
[ "$said" = '{"res":false}' ] || fail "a login of docs/api.md without the account answered: $said"

step="scripts/publish-sample"
printed=$(scripts/publish-sample 2>&1) || fail "exit $?: $printed"
rows_cmd=$(grep -A1 '^published 3 uplinks .* the stored rows:$' <<<"$printed" | sed -n 2p)
drain_cmd=$(grep -A1 '^the downlinks the daemon sent' <<<"$printed" | sed -n 2p)
case "$rows_cmd" in mariadb\ *) ;; *) fail "no mariadb command printed: $printed" ;; esac
case "$drain_cmd" in *" drain strova_dl_capture") ;; *) fail "no drain command printed: $printed" ;; esac

step="the uplinks' rows"
sql_until "$counts" "$(printf '1\t2\t2')" # 4003: its serial number and its time record

step="publish-sample's mariadb command, run from another folder"
rows=$(cd / && bash -c "$rows_cmd" 2>&1) || fail "exit $?: $rows"
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

step="publish-sample's drain command, run from another folder"
for i in $(seq 1 120); do
    peer stats strova_dl_capture | grep -q '"messages": [3-9]' && break
    sleep 0.5
done
downlinks=$(cd / && bash -c "$drain_cmd" 2>&1) || fail "exit $?: $downlinks"
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

# ---- a second run-local while the first runs: refused before it does anything, the first unharmed
step="a second scripts/run-local while the first runs"
before=$(listeners | sort -u)
second=$(timeout 120 scripts/run-local 2>&1 </dev/null)
rc=$?
[ $rc != 0 ] && [ $rc != 124 ] || fail "exit $rc: $second"
case "$second" in *refused*"pid $run_pid"*) ;; *) fail "no refusal naming pid $run_pid: $second" ;; esac
case "$second" in *packages* | *building* | *stopping*) fail "it went on: $second" ;; esac
kill -0 "$run_pid" 2>/dev/null || fail "the first run-local is gone"
now=$(listeners | sort -u)
[ "$now" = "$before" ] || fail "the services' processes changed from $before to $now"
step="an uplink after the second run-local was refused"
peer publish strova_ul "{\"msg_type\":\"ul_app\",\"modem_id\":4011,\"payload\":\"320200000004D2\",\"station_id\":1,\"rssi\":-95,\"time_detected\":$(($(date +%s) - 60))}" ||
    fail "publish"
sql_until "SELECT COUNT(*) FROM modems_data WHERE modem_id=4011" 1

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
# The README's way to the login examples of docs/api.md: the page's account in .local/.
echo '[{"user": "operator", "pass": "secret"}]' >.local/authorization.json
start
kept_rows
step="the login examples of docs/api.md with .local/authorization.json"
grep -q '^accounts: *api.authorization from ' "$out" || fail "the accounts taken are not said"
for example in 'user=operator&pass=secret {"res":true}' 'user=operator&pass=guess {"res":false}' \
    'user=operator&pass=secret&callback=show show({"res":true})'; do
    said=$(curl -s "http://127.0.0.1:10022/api/authorization?${example% *}")
    [ "$said" = "${example#* }" ] || fail "${example% *} answered $said"
done
# A power cut: run-local, its services and its daemon (in a session of its own) all killed, and
# their pids taken by a process that is none of theirs.
step="SIGKILL to scripts/run-local's process group and its daemon"
daemon=$(cat .local/driver_strova5.pid) || fail "no pid file of the daemon"
{
    kill -KILL -- "-$run_pid" "$daemon"
    wait "$run_pid"
} 2>/dev/null
run_pid=""
bystander_start 'import time; time.sleep(600)'
for f in .local/driver_strova5.pid .local/services/mysql/pid .local/services/rabbit/pid; do
    echo "$bystander" >"$f"
done
start
kept_rows
step="the process named in the pid files of the killed run"
! grep -q 'ended without stopping' "$out" || fail "a process none of the run's named as left: $(grep 'ended without' "$out")"
bystander_check

# run-local killed alone: its daemon and services live on, and the next run stops them.
step="SIGKILL to scripts/run-local alone"
daemon=$(cat .local/driver_strova5.pid) || fail "no pid file of the daemon"
old=$(listeners | sort -u)
{
    kill -KILL "$run_pid"
    wait "$run_pid"
} 2>/dev/null
run_pid=""
kill -0 "$daemon" 2>/dev/null || fail "the daemon $daemon went with run-local: nothing left to find"
orphan=1
start
orphan=0
step="the processes of the run killed alone"
grep -q "^run-local: an earlier run of this checkout ended without stopping its daemon (pid $daemon), MariaDB (pid [0-9]*), RabbitMQ (pid [0-9]*): stopping it now" "$out" ||
    fail "what the earlier run left is not named before it is stopped"
for p in $daemon $old; do
    ! kill -0 "$p" 2>/dev/null || fail "left running: $(ps -o pid=,args= -p "$p")"
done
kept_rows
stop

# ---- a daemon that cannot start (its port held by another process): a failure, nothing left
step="scripts/run-local with the API's port held"
bystander_start 'import socket, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", 10022))
s.listen()
time.sleep(600)'
for _ in $(seq 1 100); do
    [ -n "$(ss -Hltn "sport = :10022")" ] && break
    sleep 0.1
done
failed=$(timeout 600 scripts/run-local 2>&1 </dev/null)
rc=$?
[ $rc = 252 ] || fail "exit $rc, not the daemon's 252: $failed"
case "$failed" in *'FAILED at "running the daemon'*"the last lines of"*) ;; *) fail "no step or log named: $failed" ;; esac
case "$failed" in *"api can't start: port 10022 cannot be bound: "*" in use"*) ;; *) fail "no reason for the port: $failed" ;; esac
nothing_left
bystander_check

# ---- Ctrl-C while run-local waits for the broker's node to boot (most often before the node has
# written its pid file): the run ends within a minute, and by the time it has, nothing of it is
# left: no node, no port mapper, no MariaDB, nothing listening on the run's ports
step="scripts/run-local until the broker's node boots"
: >"$out"
scripts/run-local >>"$out" 2>&1 </dev/null &
run_pid=$!
booting=0
until pgrep -f -- "-home $copy/.local/services/rabbit .*-s rabbit boot" >/dev/null; do
    kill -0 "$run_pid" 2>/dev/null || fail "run-local ended before the broker's node started"
    [ $booting -ge 6000 ] && fail "no node of the broker after 300 s"
    sleep 0.05
    booting=$((booting + 1))
done
# shellcheck disable=SC1091
. .local/services.env
step="Ctrl-C to scripts/run-local while the broker's node boots"
kill -INT -- "-$run_pid" || fail "no process group $run_pid"
waited=0
while kill -0 "$run_pid" 2>/dev/null; do
    [ $waited -ge 600 ] && fail "run-local still runs 60 s after Ctrl-C"
    sleep 0.1
    waited=$((waited + 1))
done
wait "$run_pid" 2>/dev/null
stop_rc=$?
run_pid=""
nothing_left
# The node boots in seconds: a very slow machine may be past it, and then Ctrl-C stops the daemon.
case "$(cat "$out")" in
*'stopped by SIGINT at "starting RabbitMQ'*) [ $stop_rc = 130 ] || fail "exit $stop_rc, not 130, when stopped while starting" ;;
*'the daemon quit'*) [ $stop_rc = 0 ] || fail "exit $stop_rc after the daemon quit" ;;
*) fail "exit $stop_rc, and neither stopped while starting nor after the daemon quit" ;;
esac
say "stopped $((waited / 10)) s after Ctrl-C while the broker's node booted, nothing left"

# ---- the README's accounts line keeps the file to its owner; a stop while the database is away
# says on the terminal what it waits for, and a second Ctrl-C says it again with how to end the
# daemon anyway, but does not end it; once the database is back the run ends as after any Ctrl-C
step="the README's accounts line"
rm -f .local/authorization.json
accounts_line=$(grep -m1 '^    .*> \.local/authorization\.json' README.md) || fail "no accounts line in the README"
(umask 022 && bash -c "$accounts_line") || fail "exit $?: $accounts_line"
mode=$(stat -c %a .local/authorization.json) || fail "no .local/authorization.json after: $accounts_line"
[ "$mode" = 600 ] || fail ".local/authorization.json is mode $mode after: $accounts_line"
start
step="a stop while the database is away"
daemon=$(cat .local/driver_strova5.pid) || fail "no pid file of the daemon"
# shellcheck disable=SC2012
daemon_log=$(ls -t .local/log/driver_strova5___*.log | head -n 1)
tests/support/services.sh mysql-stop .local >/dev/null 2>&1 || fail "MariaDB did not stop"
peer publish strova_ul "{\"msg_type\":\"ul_app\",\"modem_id\":4021,\"payload\":\"320200000004D2\",\"time_detected\":$(($(date +%s) - 60))}" ||
    fail "publish"
waited=0
until grep -q 'database not reachable' "$daemon_log"; do
    [ $((waited += 1)) -lt 120 ] || fail "no outage in the daemon's log: $(tail -n 5 "$daemon_log")"
    sleep 0.5
done
waited_for() { # $1: a fixed text run-local says within 30 s
    local _
    for _ in $(seq 1 60); do
        grep -qF -- "$1" "$out" && return 0
        sleep 0.5
    done
    fail "run-local did not say \"$1\""
}
kill -INT -- "-$run_pid" || fail "no process group $run_pid"
waited_for "run-local: the daemon is quitting: waiting for the database to take"
kill -INT -- "-$run_pid"
waited_for "to end it anyway: kill -9 $daemon"
[ "$(grep -c 'the daemon is quitting: waiting for the database to take' "$out")" = 2 ] ||
    fail "the wait not said again at the second Ctrl-C"
kill -0 "$daemon" 2>/dev/null || fail "the daemon was ended by the second Ctrl-C"
tests/support/services.sh mysql-start .local >/dev/null 2>&1 || fail "MariaDB did not start again"
for _ in $(seq 1 120); do
    kill -0 "$run_pid" 2>/dev/null || break
    sleep 0.5
done
wait "$run_pid" 2>/dev/null
rc=$?
run_pid=""
[ $rc = 0 ] || fail "run-local exited $rc once the database was back"
grep -q 'driver_strova5 stopped, exit code 0' "$daemon_log" || fail "the daemon's end: $(tail -n 3 "$daemon_log")"
nothing_left
say "a stop during an outage said what it waits for, twice, and ended once the database was back"

# ---- --fresh starts with none
start --fresh
step="the rows gone after --fresh"
empty=$(sql "SELECT (SELECT COUNT(*) FROM modems_data), (SELECT COUNT(*) FROM modems_event),
    (SELECT COUNT(*) FROM modems_setting)" 2>&1)
[ "$empty" = "$(printf '0\t0\t0')" ] || fail "rows in modems_data, modems_event, modems_setting: $empty"
left=$(peer stats strova_dl_capture 2>&1)
case "$left" in *'"messages": 0,'*) ;; *) fail "strova_dl_capture: $left" ;; esac
stop

# ---- run-local as an ordinary user, in a login shell on a terminal of its own, in a checkout it
# owns with the build of the runs above (the build is bound to its path, so the checkout changes
# hands rather than places)
if [ "$(id -u)" != 0 ]; then
    say "SKIPPED the run as an ordinary user: creating one needs root"
else
    step="an ordinary user"
    user=strova-road$$
    useradd --no-create-home --home-dir "$work/home" --shell /bin/bash "$user" || { user=""; fail "useradd"; }
    mkdir -p "$work/home"
    rm -rf .local
    chmod 755 "$work"
    chown -R "$user:" "$copy" "$work/home" || fail "chown"
    uid=$(id -u "$user")
    # What a terminal's login shell gives the user: the distribution's PATH from /etc/profile
    # (without an sbin folder), none of this script's environment but the test run's mark, by
    # which scripts/test finds whatever of it outlives the run.
    as=(setpriv --reuid="$uid" --regid="$(id -g "$user")" --init-groups
        env -i HOME="$work/home" USER="$user" LOGNAME="$user" SHELL=/bin/bash TERM=dumb
        ${STROVA_TEST_RUN:+STROVA_TEST_RUN="$STROVA_TEST_RUN"})
    step="the login shell's PATH"
    # shellcheck disable=SC2016
    path=$("${as[@]}" bash -l -c 'echo "$PATH"')
    case ":$path:" in *sbin*) fail "the user's login shell has an sbin folder on its PATH: $path" ;; esac
    terminal=1
    start
    step="the owner of the services and the daemon"
    for p in $(listeners | sort -u) $(cat .local/driver_strova5.pid); do
        [ "$(ps -o uid= -p "$p" | tr -d ' ')" = "$uid" ] || fail "process $p runs as $(ps -o user=,args= -p "$p")"
    done
    step="scripts/publish-sample as $user"
    # shellcheck disable=SC2016
    printed=$("${as[@]}" bash -l -c 'cd "$0" && scripts/publish-sample' "$copy" 2>&1) || fail "exit $?: $printed"
    step="the uplinks' rows of $user's run"
    sql_until "$counts" "$(printf '1\t2\t2')"
    step="the API with the token run-local told how to mint"
    mint=$(grep -m1 'USER_TOKEN=' "$out" | tr -d '\r') || fail "no token command printed"
    eval "$mint"
    [ -n "${USER_TOKEN:-}" ] || fail "no token from: $mint"
    listed=$(curl -s -b "TARVIK_JWT=$USER_TOKEN" http://127.0.0.1:10022/api/report/list)
    case "$listed" in \[*4001*\]) ;; *) fail "report/list with the token answered: $listed" ;; esac
    anonymous=$(curl -s http://127.0.0.1:10022/api/report/list)
    [ -z "$anonymous" ] || fail "report/list without a token answered: $anonymous"
    ! grep -q 'the compiled key' .local/log/driver_strova5*.log || fail "the daemon uses the compiled token key"
    stop
    step="nothing of $user left after Ctrl-C"
    left=$(pgrep -u "$user") && fail "left running: $(ps -o pid=,args= -p "$(echo $left | tr ' ' ,)")"
    step="scripts/publish-sample after the stop"
    # shellcheck disable=SC2016
    printed=$("${as[@]}" bash -l -c 'cd "$0" && scripts/publish-sample' "$copy" 2>&1) && fail "exit 0: $printed"
    [ "$(printf '%s\n' "$printed" | wc -l)" = 1 ] && case "$printed" in *"no local run is up"*) true ;; *) false ;; esac ||
        fail "not one line saying so: $printed"

    start
    hangup=1
    stop
    hangup=0
    step="nothing of $user left after the terminal closed"
    left=$(pgrep -u "$user") && fail "left running: $(ps -o pid=,args= -p "$(echo $left | tr ' ' ,)")"
    grep -q "stopping the daemon and the services" .local/run-local.out ||
        fail "run-local's last lines are not kept: $(cat .local/run-local.out 2>&1)"
    as=()
    terminal=0
fi
say "the README's road works"
