#!/usr/bin/env bash
# scripts/test interrupted while its suite runs beside the sanitizer builds: Ctrl-C (SIGINT to its
# process group, as the terminal sends it) and SIGTERM to the script alone. Each time it ends the
# builds and the tests it started and what they left, says it was interrupted, exits non-zero and
# leaves no temporary folder. The builds, the suite and the services are stand-ins that run long.
#
#   interrupt_check.sh CHECKOUT
set -uo pipefail
src=$(cd "${1:?usage: $0 CHECKOUT}" && pwd)
work=$(mktemp -d)
fail() {
    echo "interrupt_check: FAILED: $*"
    exit 1
}
trap 'rm -rf "$work"' EXIT

co=$work/checkout
mkdir -p "$co/scripts" "$co/tests/support" "$co/build" "$work/bin"
cp "$src/scripts/test" "$src/scripts/leftovers" "$co/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$co/scripts/install-deps"
printf '#!/bin/sh\nexec sleep 300\n' >"$co/scripts/tsan-storage"
# shellcheck disable=SC2016
printf '#!/bin/sh\n[ "$1" = stop ] && rm -f "$2/services.env"\nexit 0\n' >"$co/tests/support/services.sh"
# The first build is quick; the sanitizer builds beside the suite run long.
cat >"$work/bin/cmake" <<'EOF'
#!/bin/bash
case " $* " in
*" test_programs "*) ;;
*" --build "*) echo $$ >>"$CHECK_DIR/pids"; exec sleep 300 ;;
esac
exit 0
EOF
# A test with a folder in the run's temporary one and a server that detached itself.
cat >"$work/bin/ctest" <<'EOF'
#!/bin/bash
d=$(mktemp -d "${STROVA_TMP:-${TMPDIR:-/tmp}}/strova.XXXXXX")
head -c 100000 /dev/zero >"$d/data"
setsid -f sh -c 'echo $$ >>"$CHECK_DIR/pids"; exec sleep 300'
echo "${STROVA_TMP:-$d}" >"$CHECK_DIR/tmp"
echo $$ >>"$CHECK_DIR/pids"
exec sleep 300
EOF
chmod +x "$co"/scripts/* "$co/tests/support/services.sh" "$work/bin/"*

alive() { case "$(ps -o stat= -p "$1" 2>/dev/null)" in "" | Z*) return 1 ;; esac; }

for how in INT TERM; do
    export CHECK_DIR=$work/$how
    mkdir -p "$CHECK_DIR"
    # In a session of its own with SIGINT as a terminal's shell leaves it (a background job of a
    # script would ignore it).
    PATH=$work/bin:$PATH python3 -c '
import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execvp("bash", ["bash", sys.argv[1]])' "$co/scripts/test" >"$CHECK_DIR/out" 2>&1 &
    run=$!
    # The suite, its detached server and the builds beside it.
    started() { [ -s "$CHECK_DIR/tmp" ] && [ "$(wc -l <"$CHECK_DIR/pids")" -ge 3 ]; }
    for _ in $(seq 1 150); do started && break; sleep 0.1; done
    started || fail "$how: the stand-ins did not all start: $(cat "$CHECK_DIR/out")"
    began=$(date +%s)
    if [ "$how" = INT ]; then kill -INT -- -"$run"; else kill -TERM "$run"; fi
    wait "$run"
    rc=$?
    took=$(($(date +%s) - began))
    [ "$rc" -ne 0 ] || fail "$how: exit 0"
    [ "$took" -le 60 ] || fail "$how: took $took s to end"
    grep -q "interrupted ($how)" "$CHECK_DIR/out" || fail "$how: no word of the interruption: $(cat "$CHECK_DIR/out")"
    ! grep -q FAILED "$CHECK_DIR/out" || fail "$how: $(cat "$CHECK_DIR/out")"
    while read -r pid; do
        ! alive "$pid" || fail "$how: process $pid ($(ps -o args= -p "$pid")) still runs"
    done <"$CHECK_DIR/pids"
    [ ! -e "$(cat "$CHECK_DIR/tmp")" ] || fail "$how: $(cat "$CHECK_DIR/tmp") left behind"
done
echo "interrupt_check: interrupted runs ended their builds and tests, said so and left no folder"
