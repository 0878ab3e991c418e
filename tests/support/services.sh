#!/usr/bin/env bash
# Throwaway MariaDB and RabbitMQ on free loopback ports, in a short temp dir.
#
#   services.sh start STATE [mysql|rabbit|all]   start, write STATE/services.env
#   services.sh stop STATE                       stop what runs, remove the temp dir
#   services.sh mysql-stop|mysql-start STATE     stop / restart MariaDB on the same port and data
#   services.sh mysql-install STATE              make MariaDB's data directory
#   services.sh rabbit-stop|rabbit-start STATE   stop / start the broker application (node stays up)
#   services.sh rabbitmqctl STATE ARGS...        run rabbitmqctl against the node
#   services.sh rabbit-node-start|rabbit-node-stop STATE
#                                                start / stop the broker's node on the ports and data
#                                                of STATE/services.env (STROVA_RABBIT_NODE names it)
#   services.sh stop-pid PIDFILE ARG NAME        stop the process of PIDFILE if ARG is one of its
#                                                arguments, else leave it: the pid may be reused
#   services.sh free-port [N [TAKEN...]]         print a port free on every address (the first of N
#                                                consecutive ones), none of the TAKEN ports
#
# STATE/services.env holds shell assignments (STROVA_MYSQL_*, STROVA_AMQP_*) that the tests read.
# STROVA_MYSQL_POOL sets MariaDB's buffer pool at each start (64M unless set).
# The daemon's account 'u' lacks SUPER, READ ONLY ADMIN and CONNECTION ADMIN, as in production (a
# read-only server refuses its writes, connection limits hold for it); STROVA_MYSQL_ADMIN (root,
# no password, over TCP) sets server variables and limits.
set -uo pipefail

cmd=${1:-}; state=${2:-}
[ "$cmd" = free-port ] && state=-
[ -n "$cmd" ] && [ -n "$state" ] || { echo "usage: $0 COMMAND STATE (see the commands at its top)" >&2; exit 2; }
envfile="$state/services.env"
RMQ_BIN=/usr/lib/rabbitmq/bin
# An ordinary user's login shell has no sbin folder on its PATH, and mariadbd lies there.
case ":$PATH:" in
*:/usr/sbin:*) ;;
*) PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin ;;
esac

# Below the ephemeral range, where no outgoing connection of another process can take the port
# before the server binds it. A run of N > 1 (rabbitmqctl's ports) comes from a band of its own:
# a CLI takes any port of its run while it lives, so a single port chosen inside someone's run
# could be held at the moment its server binds it. Ports given after N are taken already (the
# others of the same set-up, not listened on yet) and are not chosen again.
free_port() { # [N [TAKEN...]]: the first of N consecutive ports
    /usr/bin/python3 -c '
import random, socket, sys
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
n = int(sys.argv[1])
taken = {int(p) for p in sys.argv[2:] if p}
lo, hi = (low - 12000, low - 10000) if n > 1 else (low - 10000, low)
lo = max(1024, lo)
def free(port):
    if port in taken:
        return False
    s = socket.socket()
    try:
        s.bind(("0.0.0.0", port))
        return True
    except OSError:
        return False
    finally:
        s.close()
for _ in range(200):
    port = random.randrange(lo, hi - n + 1)
    if all(free(p) for p in range(port, port + n)):
        print(port)
        break
' "${1:-1}" "${@:2}"
}

# As root the servers must be told to stay root; any other user runs them as itself.
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(--user=root)

# True when process $1 lives and its /proc/$1/$2 (cmdline or environ) holds the entry $3: a pid
# file outlives its process, and after a crash its pid may belong to anything else.
proc_holds() {
    case "$1" in "" | *[!0-9]*) return 1 ;; esac
    tr '\0' '\n' 2>/dev/null <"/proc/$1/$2" | grep -qxF -- "$3"
}

# The ids of the processes whose name matches the regular expression $1 in whole and whose
# /proc/PID/$2 holds the entry $3 (see proc_holds): those of a server that a start cut short left
# without a pid file, found by their data directory. Processes of other users are not readable,
# and none of ours.
procs_holding() {
    local p
    for p in $(pgrep -x -- "$1"); do
        proc_holds "$p" "$2" "$3" && echo "$p"
    done
}

# Ends the processes $2...: SIGTERM, then SIGKILL to those left after $1 seconds (0: SIGKILL).
end_procs() {
    local grace=$1 i p left
    shift
    [ $# -gt 0 ] || return 0
    left=("$@")
    [ "$grace" = 0 ] || kill -TERM "$@" 2>/dev/null
    for i in $(seq 1 $((grace * 10))); do
        left=()
        for p in "$@"; do kill -0 "$p" 2>/dev/null && left+=("$p"); done
        [ ${#left[@]} -gt 0 ] || return 0
        sleep 0.1
    done
    kill -KILL "${left[@]}" 2>/dev/null
    return 0
}

# Stops the process named in pid file $1 when its /proc/PID/$2 holds $3 (see proc_holds): SIGTERM,
# then SIGKILL after 30 s. Removes the pid file either way.
stop_pid() {
    local pidf=$1 where=$2 entry=$3 name=$4 pid i
    [ -f "$pidf" ] || return 0
    pid=$(cat "$pidf" 2>/dev/null)
    if proc_holds "$pid" "$where" "$entry"; then
        kill -TERM "$pid" 2>/dev/null
        for i in $(seq 1 300); do
            proc_holds "$pid" "$where" "$entry" || break
            [ "$i" = 50 ] && echo "services: waiting up to 25 s more for $name (pid $pid) to stop" >&2
            sleep 0.1
        done
        proc_holds "$pid" "$where" "$entry" && kill -KILL "$pid" 2>/dev/null
    fi
    rm -f "$pidf"
}

load_env() {
    [ -f "$envfile" ] || { echo "services: no $envfile" >&2; exit 1; }
    # shellcheck disable=SC1090
    . "$envfile"
}

# rabbitmqctl calls of one state at once: the tests beside each other share a broker.
ctl_dist_ports=20
rabbit_env() {
    local D=$STROVA_SERVICES_DIR/rabbit
    export HOME=$D ERL_EPMD_PORT=$STROVA_EPMD_PORT ERL_EPMD_ADDRESS=127.0.0.1
    # rabbitmqctl's own node listens on one port of a range: by default 35672-35682, in the
    # ephemeral range, where the outgoing connections of the tests beside take them all.
    if [ -n "${STROVA_CTL_DIST_PORT:-}" ]; then
        export RABBITMQ_CTL_DIST_PORT_MIN=$STROVA_CTL_DIST_PORT
        export RABBITMQ_CTL_DIST_PORT_MAX=$((STROVA_CTL_DIST_PORT + ctl_dist_ports - 1))
    fi
    export RABBITMQ_NODENAME=${STROVA_RABBIT_NODE:-rmq$STROVA_AMQP_PORT@localhost} RABBITMQ_NODE_IP_ADDRESS=127.0.0.1
    export RABBITMQ_NODE_PORT=$STROVA_AMQP_PORT RABBITMQ_DIST_PORT=$STROVA_DIST_PORT
    export RABBITMQ_MNESIA_BASE=$D/mnesia RABBITMQ_LOG_BASE=$D/log RABBITMQ_PID_FILE=$D/pid
    export RABBITMQ_CONFIG_FILE=$D/rabbitmq RABBITMQ_ADVANCED_CONFIG_FILE=$D/advanced.config
    export RABBITMQ_ENABLED_PLUGINS_FILE=$D/enabled_plugins RABBITMQ_CONF_ENV_FILE=$D/rabbitmq-env.conf
    export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}"
}

mysql_run() {
    local D=$STROVA_SERVICES_DIR/mysql
    # Whoever made the data directory, the server needs its own temp dir (kept data may lack it).
    mkdir -p "$D/tmp" || return 1
    # What the server or the shell says before the server's own log is open ("command not
    # found", a bad option) goes to the same file.
    mariadbd --no-defaults "${as_user[@]}" --datadir=$D/data --tmpdir=$D/tmp --socket=$D/sock --pid-file=$D/pid \
        --port=$STROVA_MYSQL_PORT --bind-address=127.0.0.1 --skip-name-resolve --log-error=$D/err.log \
        --innodb-buffer-pool-size=${STROVA_MYSQL_POOL:-64M} --skip-log-bin --character-set-server=utf8mb4 \
        --max-connections=500 >>"$D/err.log" 2>&1 &
    local i server=$!
    for i in $(seq 1 300); do
        if mariadb-admin --no-defaults --protocol=tcp -h127.0.0.1 -P"$STROVA_MYSQL_PORT" -uroot ping >/dev/null 2>&1; then
            return 0
        fi
        # A server that ended is not waited for.
        kill -0 "$server" 2>/dev/null || break
        [ "$i" = 50 ] && echo "services: waiting up to 25 s more for MariaDB on port $STROVA_MYSQL_PORT" >&2
        sleep 0.1
    done
    echo "services: MariaDB did not start, see $D/err.log" >&2
    tail -n 20 "$D/err.log" >&2
    return 1
}

mysql_stop() {
    local D=$STROVA_SERVICES_DIR/mysql
    stop_pid "$D/pid" cmdline "--datadir=$D/data" MariaDB
    # A server stopped early in its start has written no pid file yet.
    # shellcheck disable=SC2046
    end_procs 30 $(procs_holding mariadbd cmdline "--datadir=$D/data")
}

# A new data directory; one left half made is removed, so that the next try starts clean. A temp
# dir of its own: servers bootstrapping side by side in /tmp delete each other's temporary tables.
mysql_install() {
    local D=$STROVA_SERVICES_DIR/mysql
    mkdir -p "$D/tmp" || return 1
    mariadb-install-db --no-defaults "${as_user[@]}" --datadir="$D/data" --tmpdir="$D/tmp" \
        --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve >"$D/install.log" 2>&1 ||
        { cat "$D/install.log" >&2; rm -rf "$D/data"; return 1; }
}

start_mysql() {
    mysql_install || return 1
    mysql_run || return 1
    mariadb --no-defaults --protocol=tcp -h127.0.0.1 -P"$STROVA_MYSQL_PORT" -uroot -e "
        CREATE DATABASE strova CHARACTER SET utf8mb4;
        CREATE USER 'u'@'127.0.0.1' IDENTIFIED BY 'p';
        GRANT ALL PRIVILEGES ON *.* TO 'u'@'127.0.0.1' WITH GRANT OPTION;
        REVOKE SUPER, READ_ONLY ADMIN, CONNECTION ADMIN ON *.* FROM 'u'@'127.0.0.1';" || return 1
}

start_rabbit() {
    rabbit_env
    local D=$STROVA_SERVICES_DIR/rabbit
    mkdir -p "$D/log" "$D/mnesia"
    cat >"$D/rabbitmq.conf" <<CONF
listeners.tcp.default = 127.0.0.1:$STROVA_AMQP_PORT
loopback_users = none
auth_mechanisms.1 = PLAIN
auth_mechanisms.2 = AMQPLAIN
log.console = false
default_vhost = /api
default_user = u
default_pass = p
default_permissions.configure = .*
default_permissions.read = .*
default_permissions.write = .*
CONF
    echo '[].' >"$D/advanced.config"
    echo '[].' >"$D/enabled_plugins"
    : >"$D/rabbitmq-env.conf"
    "$RMQ_BIN/rabbitmq-server" >"$D/server.out" 2>&1 &
    # The node writes its own pid file only some way into its boot; a start cut short before that
    # is stopped through the script that runs it (it stops the node on SIGTERM).
    echo $! >"$D/server.pid"
    if ! "$RMQ_BIN/rabbitmqctl" wait --timeout 120 "$RABBITMQ_PID_FILE" >"$D/wait.out" 2>&1; then
        echo "services: RabbitMQ did not start" >&2
        tail -n 20 "$D/server.out" "$D/wait.out" >&2
        return 1
    fi
}

stop_rabbit() {
    [ -d "$STROVA_SERVICES_DIR/rabbit" ] || return 0
    rabbit_env
    local pid
    pid=$(cat "$RABBITMQ_PID_FILE" 2>/dev/null)
    # The node is ours when its HOME, the data directory, stands on its command line ("-home DIR").
    # SIGTERM shuts it down in order, as rabbitmqctl stop does, without a second Erlang runtime
    # started to ask it (seconds on a busy machine); SIGKILL after 60 s.
    if proc_holds "$pid" cmdline "$HOME"; then end_procs 60 "$pid"; fi
    rm -f "$RABBITMQ_PID_FILE"
    # A start cut short has no node pid yet, and the script that runs the node only passes SIGTERM
    # on to a node that may still be booting, which ends only once booted (and then listens). So
    # the node is ended here, found by the HOME of this run in its environment, and with it the rest
    # of the Erlang runtime of that HOME: Erlang leaves its port mapper (epmd) running otherwise.
    # shellcheck disable=SC2046
    end_procs 2 $(procs_holding 'beam(\.smp)?' environ "HOME=$HOME")
    stop_pid "$STROVA_SERVICES_DIR/rabbit/server.pid" environ "HOME=$HOME" RabbitMQ
    # The port mapper keeps nothing and takes over a second to end on SIGTERM: SIGKILL.
    # shellcheck disable=SC2046
    end_procs 0 $(procs_holding 'beam(\.smp)?|epmd|erl_child_setup|inet_gethost|heart' environ "HOME=$HOME")
    # A port mapper on this state's own port is ours, whoever started it.
    local p
    for p in $(ss -Hltnp "sport = :$STROVA_EPMD_PORT" 2>/dev/null | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u); do
        [ "$(cat "/proc/$p/comm" 2>/dev/null)" = epmd ] && kill -KILL "$p"
    done
    return 0
}

# rabbitmqctl: a CLI node takes its distribution port from a range of eleven, which the CLIs of
# tests running side by side (and other connections) can all hold at once; it then fails at once
# with "nodistribution", and is tried again.
ctl() {
    local try rc err
    err=$(mktemp)
    for try in 1 2 3 4 5; do
        rc=0
        "$RMQ_BIN/rabbitmqctl" "$@" 2>"$err" || rc=$?
        grep -q nodistribution "$err" || break
        sleep "$try"
    done
    cat "$err" >&2
    rm -f "$err"
    return "$rc"
}

case "$cmd" in
start)
    what=${3:-all}
    mkdir -p "$state"
    if [ -f "$envfile" ]; then "$0" stop "$state"; fi
    # STROVA_TMP: the folder of the test run (scripts/test), which removes it at its end.
    D=$(mktemp -d "${STROVA_TMP:-/tmp}/strova.XXXXXX")
    {
        echo "STROVA_SERVICES_DIR=$D"
        echo "STROVA_SERVICES_SCRIPT=$(readlink -f "$0")"
        echo "STROVA_SERVICES_STATE=$(readlink -f "$state")"
    } >"$envfile"
    load_env
    if [ "$what" = all ] || [ "$what" = mysql ]; then
        STROVA_MYSQL_PORT=$(free_port)
        cat >>"$envfile" <<ENV
STROVA_MYSQL_HOST=127.0.0.1
STROVA_MYSQL_PORT=$STROVA_MYSQL_PORT
STROVA_MYSQL_USER=u
STROVA_MYSQL_PASS=p
STROVA_MYSQL_ADMIN=root
STROVA_MYSQL_DB=strova
ENV
        start_mysql || { "$0" stop "$state"; exit 1; }
    fi
    if [ "$what" = all ] || [ "$what" = rabbit ]; then
        # Chosen apart from each other: none listens before the broker starts.
        STROVA_AMQP_PORT=$(free_port)
        STROVA_EPMD_PORT=$(free_port 1 "$STROVA_AMQP_PORT")
        STROVA_DIST_PORT=$(free_port 1 "$STROVA_AMQP_PORT" "$STROVA_EPMD_PORT")
        STROVA_CTL_DIST_PORT=$(free_port "$ctl_dist_ports")
        cat >>"$envfile" <<ENV
STROVA_AMQP_HOST=127.0.0.1
STROVA_AMQP_PORT=$STROVA_AMQP_PORT
STROVA_AMQP_USER=u
STROVA_AMQP_PASS=p
STROVA_AMQP_VHOST=/api
STROVA_AMQP_URI=amqp://u:p@127.0.0.1:$STROVA_AMQP_PORT/%2Fapi
STROVA_EPMD_PORT=$STROVA_EPMD_PORT
STROVA_DIST_PORT=$STROVA_DIST_PORT
STROVA_CTL_DIST_PORT=$STROVA_CTL_DIST_PORT
ENV
        start_rabbit || { "$0" stop "$state"; exit 1; }
    fi
    echo "services up in $D"
    ;;
stop)
    [ -f "$envfile" ] || exit 0
    load_env
    [ -n "${STROVA_MYSQL_PORT:-}" ] && mysql_stop
    [ -n "${STROVA_AMQP_PORT:-}" ] && stop_rabbit
    case "$STROVA_SERVICES_DIR" in /tmp/strova.* | /tmp/*/strova.*) rm -rf "$STROVA_SERVICES_DIR" ;; esac
    rm -f "$envfile"
    ;;
mysql-stop) load_env; mysql_stop ;;
mysql-start) load_env; mysql_run ;;
mysql-install) load_env; mysql_install ;;
rabbit-stop) load_env; rabbit_env; ctl stop_app >/dev/null ;;
rabbit-start) load_env; rabbit_env; ctl start_app >/dev/null ;;
rabbitmqctl) load_env; rabbit_env; shift 2; ctl "$@" ;;
rabbit-node-start) load_env; start_rabbit ;;
rabbit-node-stop) load_env; stop_rabbit ;;
free-port) free_port "${2:-1}" "${@:3}" ;;
stop-pid) stop_pid "$2" cmdline "${3:?usage: $0 stop-pid PIDFILE ARG NAME}" "${4:-the process}" ;;
*) echo "services: unknown command $cmd" >&2; exit 2 ;;
esac
