#!/usr/bin/env bash
# scripts/test's end check (scripts/leftovers): a process of the run that detached itself, as a
# server or Erlang's port mapper does, is named and ended; a process of another run, one without
# any mark, and the asking run itself are left alone.
#
#   leftovers_check.sh CHECKOUT
set -uo pipefail
check=$(cd "${1:?usage: $0 CHECKOUT}" && pwd)/scripts/leftovers
mine="leftovers-check-$$-$(date +%s%N)"
other="$mine-other"
pids=()
fail() {
    echo "leftovers_check: FAILED: $*"
    exit 1
}
cleanup() {
    [ ${#pids[@]} = 0 ] || kill -KILL "${pids[@]}" 2>/dev/null
    wait 2>/dev/null
}
trap cleanup EXIT

# Started with its own mark, away from this script's session and parent (setsid forks when it is
# a group leader already, so its id is read back from a file).
detached() { # MARK FILE
    # shellcheck disable=SC2016
    STROVA_TEST_RUN=$1 setsid -f sh -c 'echo $$ >"$0"; exec sleep 300' "$2"
    for _ in $(seq 1 100); do [ -s "$2" ] && break; sleep 0.05; done
    [ -s "$2" ] || fail "no detached process for $1"
    pids+=("$(cat "$2")")
}
# A killed process that waits to be reaped by init is gone for this purpose.
alive() { case "$(ps -o stat= -p "$1" 2>/dev/null)" in "" | Z*) return 1 ;; esac; }
tmp=$(mktemp -d)
trap 'cleanup; rm -rf "$tmp"' EXIT
detached "$mine" "$tmp/mine"
left=${pids[0]}
detached "$other" "$tmp/other"
bystander=${pids[1]}
sleep 300 &
unmarked=$!
pids+=("$unmarked")

# The run asks with its own mark in its environment, as scripts/test does.
said=$(STROVA_TEST_RUN=$mine "$check" "$mine") && fail "exit 0 with $left running: $said"
case "$said" in "$left sleep 300" | "$left sleep 300 ("*) ;; *) fail "named \"$said\", not \"$left sleep 300\"" ;; esac

# --wait gives it time to go; it does not, so it is ended.
began=$(date +%s)
said=$(STROVA_TEST_RUN=$mine "$check" "$mine" --wait 1 --end) && fail "exit 0 with --end: $said"
case "$said" in "$left sleep 300" | "$left sleep 300 ("*) ;; *) fail "--end named \"$said\"" ;; esac
[ $(($(date +%s) - began)) -le 10 ] || fail "--wait 1 took $(($(date +%s) - began)) s"
for _ in $(seq 1 100); do alive "$left" || break; sleep 0.05; done
! alive "$left" || fail "process $left still runs after --end"
for p in "$bystander" "$unmarked"; do
    alive "$p" || fail "process $p, none of the run's, was ended"
done

said=$(STROVA_TEST_RUN=$mine "$check" "$mine" --end) || fail "exit $? with nothing left: $said"
[ -z "$said" ] || fail "named \"$said\" with nothing left"
echo "leftovers_check: the run's detached process named and ended, the others left alone"
