#!/usr/bin/env bash
# Throwaway clusters on loopback: three MariaDB Galera nodes and three RabbitMQ nodes, each
# behind its own haproxy, on free ports in a short temp dir.
#
#   cluster.sh galera-start STATE [plain|wsrep] [OPTION=VALUE...]
#                     three Galera nodes (state transfer by mariabackup) behind haproxy: node 1
#                     active, 2 and 3 backups; "plain" checks the nodes with haproxy's
#                     mysql-check, "wsrep" with scripts/galera-health-check; the options go to
#                     every node's [mysqld]
#   cluster.sh galera-kill STATE N...       kill -9 nodes
#   cluster.sh galera-bootstrap STATE N     make node N's component the primary one
#   cluster.sh galera-rejoin STATE N        recover node N's position (--wsrep-recover), start it,
#                                           wait until it is synced
#   cluster.sh galera-sql STATE N SQL       run SQL as root on node N
#   cluster.sh rabbit-start STATE           three RabbitMQ nodes in one cluster behind haproxy,
#                                           vhost "/q" whose default queue type is quorum
#   cluster.sh rabbit-kill STATE N          kill -9 broker node N
#   cluster.sh rabbitmqctl STATE N ARGS...  rabbitmqctl against node N
#   cluster.sh stop STATE                   stop everything, remove the temp dir
#
# STATE/cluster.env: STROVA_MYSQL_* (the proxy's address, the daemon's account 'u', root as the
# administrator), STROVA_AMQP_* (the proxy's address, vhost "/q"), GALERA_PORT_N, RABBIT_PORT_N
# (the nodes' own ports) and the uri RABBIT_URI_N of each broker node.
set -uo pipefail

cmd=${1:-}; state=${2:-}
[ -n "$cmd" ] && [ -n "$state" ] || { echo "usage: $0 COMMAND STATE ..." >&2; exit 2; }
envfile="$state/cluster.env"
here=$(dirname "$(readlink -f "$0")")
RMQ_BIN=/usr/lib/rabbitmq/bin
# mariadbd and haproxy lie in /usr/sbin, which an ordinary user's login shell leaves off its PATH.
case ":$PATH:" in
*:/usr/sbin:*) ;;
*) PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin ;;
esac

# N distinct ports nothing listens on, below the ephemeral range (one when N is not given), and
# above the band where services.sh keeps rabbitmqctl's runs of ports.
free_port() {
    /usr/bin/python3 -c '
import random, socket, sys
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
want, found = int(sys.argv[1]), []
while len(found) < want:
    port = random.randrange(max(1024, low - 10000), low)
    if port in found:
        continue
    s = socket.socket()
    try:
        s.bind(("0.0.0.0", port))
        found.append(port)
    except OSError:
        pass
    finally:
        s.close()
print(" ".join(map(str, found)))
' "${1:-1}"
}

load_env() {
    [ -f "$envfile" ] || { echo "cluster: no $envfile" >&2; exit 1; }
    # shellcheck disable=SC1090
    . "$envfile"
}

node_var() { local v="$1_$2"; echo "${!v}"; }

root_sql() { # PORT SQL
    mariadb --no-defaults --protocol=tcp -h127.0.0.1 -P"$1" -uroot -N -B -e "$2"
}

# ---- Galera

galera_cnf() { # N
    local n=$1 D=$CLUSTER_DIR/g$1
    local addr="gcomm://127.0.0.1:$GALERA_GCOMM_1,127.0.0.1:$GALERA_GCOMM_2,127.0.0.1:$GALERA_GCOMM_3"
    cat >"$D/my.cnf" <<CNF
[mysqld]
user=root
datadir=$D/data
tmpdir=$D/tmp
socket=$D/sock
pid-file=$D/pid
port=$(node_var GALERA_PORT "$n")
bind-address=127.0.0.1
skip-name-resolve
log-error=$D/err.log
innodb-buffer-pool-size=64M
innodb-flush-log-at-trx-commit=2
character-set-server=utf8mb4
max-connections=500
max-connect-errors=1000000
binlog-format=ROW
innodb-autoinc-lock-mode=2
wsrep-on=ON
wsrep-provider=/usr/lib/galera/libgalera_smm.so
wsrep-cluster-name=strova
wsrep-cluster-address=$addr
wsrep-node-name=g$n
wsrep-node-address=127.0.0.1:$(node_var GALERA_GCOMM "$n")
wsrep-node-incoming-address=127.0.0.1:$(node_var GALERA_PORT "$n")
wsrep-sst-receive-address=127.0.0.1:$(node_var GALERA_SST "$n")
wsrep-sst-method=mariabackup
wsrep-sst-auth=root:
wsrep-provider-options=gmcast.listen_addr=tcp://127.0.0.1:$(node_var GALERA_GCOMM "$n");ist.recv_addr=127.0.0.1:$(node_var GALERA_IST "$n");gcache.size=64M;evs.keepalive_period=PT0.5S;evs.suspect_timeout=PT2S;evs.inactive_timeout=PT4S;evs.install_timeout=PT4S
CNF
    # mariadb-backup reads [mysqld] too and stops at a server variable it does not know.
    for opt in $GALERA_OPTIONS; do echo "loose-$opt" >>"$D/my.cnf"; done
    printf '[mariabackup]\nuser=root\nsocket=%s/sock\n' "$D" >>"$D/my.cnf"
}

galera_wait() { # N: until the node is synced and takes queries
    local port; port=$(node_var GALERA_PORT "$1")
    for _ in $(seq 1 600); do
        kill -0 "$galera_pid" 2>/dev/null || break
        if [ "$(root_sql "$port" "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'wsrep_local_state'" 2>/dev/null)" = 4 ]; then
            return 0
        fi
        sleep 0.2
    done
    echo "cluster: Galera node $1 did not become synced or ended, see $CLUSTER_DIR/g$1/err.log" >&2
    tail -n 30 "$CLUSTER_DIR/g$1/err.log" >&2
    return 1
}

galera_run() { # N [mariadbd options]
    local n=$1; shift
    mariadbd --defaults-file="$CLUSTER_DIR/g$n/my.cnf" "$@" >>"$CLUSTER_DIR/g$n/out.log" 2>&1 &
    galera_pid=$!
}

galera_pid() { cat "$CLUSTER_DIR/g$1/pid" 2>/dev/null; }

# Prints the port it listens on: a free one, picked again when another process took it first.
haproxy_start() { # NAME MODE "SERVER LINES"
    local D=$CLUSTER_DIR/$1 port
    mkdir -p "$D"
    for _ in 1 2 3 4 5; do
        port=$(free_port)
        haproxy_cfg "$1" "$2" "$port" "$3"
        if haproxy -f "$D/haproxy.cfg" -D -p "$D/pid" >"$D/out.log" 2>&1; then
            echo "$port"
            return 0
        fi
        grep -q "Address already in use" "$D/out.log" || break
    done
    cat "$D/out.log" >&2
    return 1
}

haproxy_cfg() { # NAME MODE PORT "SERVER LINES"
    local D=$CLUSTER_DIR/$1
    cat >"$D/haproxy.cfg" <<CFG
global
    maxconn 2000
    external-check
    insecure-fork-wanted
defaults
    mode tcp
    timeout connect 2s
    timeout client 1h
    timeout server 1h
listen $1
    bind 127.0.0.1:$3
$2
$4
CFG
}

galera_start() {
    local check=${1:-plain}; shift || true
    {
        echo "GALERA_OPTIONS='$*'"
        read -r -a ports <<<"$(free_port 12)"
        for n in 1 2 3; do
            echo "GALERA_PORT_$n=${ports[0]}"; echo "GALERA_GCOMM_$n=${ports[1]}"
            echo "GALERA_IST_$n=${ports[2]}"; echo "GALERA_SST_$n=${ports[3]}"
            ports=("${ports[@]:4}")
        done
    } >>"$envfile"
    load_env
    for n in 1 2 3; do
        mkdir -p "$CLUSTER_DIR/g$n/tmp" "$CLUSTER_DIR/g$n/data"
        galera_cnf "$n"
    done
    mariadb-install-db --defaults-file="$CLUSTER_DIR/g1/my.cnf" --auth-root-authentication-method=normal \
        --skip-test-db >"$CLUSTER_DIR/g1/install.log" 2>&1 || { cat "$CLUSTER_DIR/g1/install.log" >&2; return 1; }
    galera_run 1 --wsrep-new-cluster
    galera_wait 1 || return 1
    root_sql "$GALERA_PORT_1" "
        CREATE DATABASE strova CHARACTER SET utf8mb4;
        CREATE USER 'u'@'127.0.0.1' IDENTIFIED BY 'p';
        GRANT ALL PRIVILEGES ON *.* TO 'u'@'127.0.0.1' WITH GRANT OPTION;
        REVOKE SUPER, READ_ONLY ADMIN, CONNECTION ADMIN ON *.* FROM 'u'@'127.0.0.1';
        CREATE USER 'haproxy'@'127.0.0.1';" || return 1
    # One joiner at a time: a donor serves one state transfer.
    for n in 2 3; do
        galera_run "$n"
        galera_wait "$n" || return 1
    done
    local how
    if [ "$check" = wsrep ]; then
        how="    option external-check
    external-check path \"/usr/bin:/bin\"
    external-check command $(readlink -f "$here/../../scripts/galera-health-check")"
    else
        how="    option mysql-check user haproxy post-41"
    fi
    # One active node, the others backups; sessions on a node that goes down are cut, so that
    # clients reconnect to the next, and so are those on a backup once the active node is back:
    # writes go to one node at a time.
    local proxy
    proxy=$(haproxy_start mysqlproxy "$how" "    default-server check inter 500 fall 2 rise 2 on-marked-down shutdown-sessions on-marked-up shutdown-backup-sessions
    server g1 127.0.0.1:$GALERA_PORT_1
    server g2 127.0.0.1:$GALERA_PORT_2 backup
    server g3 127.0.0.1:$GALERA_PORT_3 backup") || return 1
    {
        echo "STROVA_MYSQL_HOST=127.0.0.1"; echo "STROVA_MYSQL_PORT=$proxy"
        echo "STROVA_MYSQL_USER=u"; echo "STROVA_MYSQL_PASS=p"; echo "STROVA_MYSQL_ADMIN=root"
        echo "STROVA_MYSQL_DB=strova"
    } >>"$envfile"
}

galera_stop() {
    [ -n "${GALERA_PORT_1:-}" ] || return 0
    for n in 1 2 3; do
        local pid; pid=$(galera_pid "$n")
        [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    done
    [ -f "$CLUSTER_DIR/mysqlproxy/pid" ] && kill "$(cat "$CLUSTER_DIR/mysqlproxy/pid")" 2>/dev/null
    for n in 1 2 3; do
        local pid; pid=$(galera_pid "$n")
        [ -n "$pid" ] && for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    done
}

galera_rejoin() { # N
    local n=$1 D=$CLUSTER_DIR/g$1
    # The position the node's own data reached, so that it asks for the missing writes only.
    mariadbd --defaults-file="$D/my.cnf" --wsrep-recover >>"$D/out.log" 2>&1
    local pos
    pos=$(grep -o 'WSREP: Recovered position: .*' "$D/err.log" | tail -1 | awk '{print $4}')
    [ -n "$pos" ] || { echo "cluster: no recovered position for node $n" >&2; tail -n 20 "$D/err.log" >&2; return 1; }
    galera_run "$n" --wsrep-start-position="$pos"
    galera_wait "$n"
}

# ---- RabbitMQ

rabbit_env() { # N
    local n=$1 D=$CLUSTER_DIR/r$1
    export HOME=$CLUSTER_DIR/rhome ERL_EPMD_PORT=$RABBIT_EPMD ERL_EPMD_ADDRESS=127.0.0.1
    export RABBITMQ_NODENAME=r$n@localhost RABBITMQ_NODE_IP_ADDRESS=127.0.0.1
    export RABBITMQ_NODE_PORT=$(node_var RABBIT_PORT "$n") RABBITMQ_DIST_PORT=$(node_var RABBIT_DIST "$n")
    export RABBITMQ_MNESIA_BASE=$D/mnesia RABBITMQ_LOG_BASE=$D/log RABBITMQ_PID_FILE=$D/pid
    export RABBITMQ_CONFIG_FILE=$D/rabbitmq RABBITMQ_ADVANCED_CONFIG_FILE=$D/advanced.config
    export RABBITMQ_ENABLED_PLUGINS_FILE=$D/enabled_plugins RABBITMQ_CONF_ENV_FILE=$D/rabbitmq-env.conf
    export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}"
    # rabbitmqctl's own node: a port range of ours, out of the ephemeral range (services.sh).
    if [ -n "${RABBIT_CTL_DIST:-}" ]; then
        export RABBITMQ_CTL_DIST_PORT_MIN=$RABBIT_CTL_DIST RABBITMQ_CTL_DIST_PORT_MAX=$((RABBIT_CTL_DIST + 9))
    fi
}

rabbit_ctl() { # N ARGS...
    local n=$1; shift
    (rabbit_env "$n"; "$RMQ_BIN/rabbitmqctl" -n "r$n@localhost" "$@")
}

rabbit_node_start() { # N
    local n=$1 D=$CLUSTER_DIR/r$1
    mkdir -p "$D/log" "$D/mnesia"
    cat >"$D/rabbitmq.conf" <<CONF
listeners.tcp.default = 127.0.0.1:$(node_var RABBIT_PORT "$n")
loopback_users = none
auth_mechanisms.1 = PLAIN
auth_mechanisms.2 = AMQPLAIN
log.console = false
default_user = u
default_pass = p
default_permissions.configure = .*
default_permissions.read = .*
default_permissions.write = .*
CONF
    echo '[].' >"$D/advanced.config"
    echo '[].' >"$D/enabled_plugins"
    : >"$D/rabbitmq-env.conf"
    (rabbit_env "$n"; "$RMQ_BIN/rabbitmq-server" >"$D/server.out" 2>&1 &)
}

rabbit_node_wait() { # N
    local n=$1
    if ! (rabbit_env "$n"; "$RMQ_BIN/rabbitmqctl" -n "r$n@localhost" wait --timeout 120 "$RABBITMQ_PID_FILE") >"$CLUSTER_DIR/r$n/wait.out" 2>&1; then
        echo "cluster: RabbitMQ node $n did not start" >&2
        tail -n 20 "$CLUSTER_DIR/r$n/server.out" "$CLUSTER_DIR/r$n/wait.out" >&2
        return 1
    fi
}

rabbit_start() {
    {
        read -r -a ports <<<"$(free_port 7)"
        echo "RABBIT_EPMD=${ports[6]}"
        echo "RABBIT_CTL_DIST=$("$here/services.sh" free-port 10)"
        for n in 1 2 3; do echo "RABBIT_PORT_$n=${ports[$((2 * n - 2))]}"; echo "RABBIT_DIST_$n=${ports[$((2 * n - 1))]}"; done
    } >>"$envfile"
    load_env
    mkdir -p "$CLUSTER_DIR/rhome"
    # One cookie for all nodes: the first node writes it into the shared HOME.
    rabbit_node_start 1
    rabbit_node_wait 1 || return 1
    for n in 2 3; do rabbit_node_start "$n"; done
    for n in 2 3; do
        rabbit_node_wait "$n" || return 1
        rabbit_ctl "$n" stop_app >/dev/null && rabbit_ctl "$n" join_cluster r1@localhost >/dev/null &&
            rabbit_ctl "$n" start_app >/dev/null || { echo "cluster: node $n did not join" >&2; return 1; }
    done
    rabbit_ctl 1 add_vhost /q --default-queue-type quorum >/dev/null &&
        rabbit_ctl 1 set_permissions -p /q u '.*' '.*' '.*' >/dev/null || return 1
    local proxy
    proxy=$(haproxy_start amqpproxy "" "    default-server check inter 500 fall 2 rise 2 on-marked-down shutdown-sessions
    server r1 127.0.0.1:$RABBIT_PORT_1
    server r2 127.0.0.1:$RABBIT_PORT_2 backup
    server r3 127.0.0.1:$RABBIT_PORT_3 backup") || return 1
    {
        echo "STROVA_AMQP_HOST=127.0.0.1"; echo "STROVA_AMQP_PORT=$proxy"
        echo "STROVA_AMQP_USER=u"; echo "STROVA_AMQP_PASS=p"; echo "STROVA_AMQP_VHOST=/q"
        echo "STROVA_AMQP_URI=amqp://u:p@127.0.0.1:$proxy/%2Fq"
        for n in 1 2 3; do echo "RABBIT_URI_$n=amqp://u:p@127.0.0.1:$(node_var RABBIT_PORT "$n")/%2Fq"; done
    } >>"$envfile"
}

rabbit_stop() {
    [ -n "${RABBIT_PORT_1:-}" ] || return 0
    [ -f "$CLUSTER_DIR/amqpproxy/pid" ] && kill "$(cat "$CLUSTER_DIR/amqpproxy/pid")" 2>/dev/null
    local n pid pids=""
    for n in 1 2 3; do
        local pidf=$CLUSTER_DIR/r$n/pid
        [ -f "$pidf" ] && pid=$(cat "$pidf") && kill -KILL "$pid" 2>/dev/null && pids="$pids $pid"
    done
    for pid in $pids; do
        for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    done
    return 0
}

# What the pid files miss: Erlang's port mapper outlives the nodes (and `epmd -kill` refuses while
# it still lists one), a node cut short in its boot has no pid file yet, a state transfer's helpers
# outlive a killed donor. Each is known by this cluster's own temp dir, in its command line or,
# for the brokers' processes, as its HOME, so nobody else's is touched.
sweep() {
    local pid
    for pid in $(pgrep -f -- "$CLUSTER_DIR/") \
        $(grep -lzxF "HOME=$CLUSTER_DIR/rhome" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
        kill -KILL "$pid" 2>/dev/null
    done
}

case "$cmd" in
galera-start | rabbit-start)
    mkdir -p "$state"
    if [ ! -f "$envfile" ]; then
        D=$(mktemp -d "${STROVA_TMP:-/tmp}/stclu.XXXXXX")
        { echo "CLUSTER_DIR=$D"; } >"$envfile"
    fi
    load_env
    if [ "$cmd" = galera-start ]; then
        shift 2
        galera_start "$@" || { "$0" stop "$state"; exit 1; }
    else
        rabbit_start || { "$0" stop "$state"; exit 1; }
    fi
    ;;
galera-kill)
    load_env; shift 2
    for n in "$@"; do pid=$(galera_pid "$n"); [ -n "$pid" ] && kill -KILL "$pid"; done
    for n in "$@"; do pid=$(galera_pid "$n"); [ -n "$pid" ] && while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done; done
    exit 0
    ;;
galera-bootstrap) load_env; root_sql "$(node_var GALERA_PORT "$3")" "SET GLOBAL wsrep_provider_options = 'pc.bootstrap=YES'" ;;
galera-rejoin) load_env; galera_rejoin "$3" ;;
galera-sql) load_env; root_sql "$(node_var GALERA_PORT "$3")" "$4" ;;
rabbit-kill)
    load_env
    pid=$(cat "$CLUSTER_DIR/r$3/pid")
    kill -KILL "$pid"
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    ;;
rabbitmqctl) load_env; n=$3; shift 3; rabbit_ctl "$n" "$@" ;;
stop)
    [ -f "$envfile" ] || exit 0
    load_env
    galera_stop
    rabbit_stop
    sweep
    case "$CLUSTER_DIR" in /tmp/stclu.* | /tmp/*/stclu.*) rm -rf "$CLUSTER_DIR" ;; esac
    rm -f "$envfile"
    ;;
*) echo "cluster: unknown command $cmd" >&2; exit 2 ;;
esac
