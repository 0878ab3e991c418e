#!/usr/bin/python3
"""Runs a command on a terminal of its own, as its session leader, the way a terminal window runs
a login shell, and copies what the command writes there to a file.

    in_terminal.py OUTPUT COMMAND [ARG...]

SIGUSR1 types Ctrl-C on the terminal; SIGUSR2 closes the terminal, as when the window is closed
(the kernel hangs the terminal up and the command's writes to it fail from then on). Exits with
the command's status, or 128 + N when signal N ended it.
"""
import os
import pty
import select
import signal
import sys
import time

out_path, command = sys.argv[1], sys.argv[2:]
pid, fd = pty.fork()
if pid == 0:
    try:
        os.execvp(command[0], command)
    finally:
        os._exit(127)

requests = []
signal.signal(signal.SIGUSR1, lambda *_: requests.append(b"\x03"))
signal.signal(signal.SIGUSR2, lambda *_: requests.append(None))
readable = True
with open(out_path, "ab", buffering=0) as out:
    while True:
        while requests and fd >= 0:
            what = requests.pop(0)
            if what is None:
                os.close(fd)
                fd = -1
            else:
                os.write(fd, what)
        if fd >= 0 and readable:
            try:
                ready, _, _ = select.select([fd], [], [], 0.2)
            except InterruptedError:
                continue
            if ready:
                try:
                    data = os.read(fd, 65536)
                except OSError:
                    data = b""
                if data:
                    out.write(data)
                else:
                    # Every writer of the terminal is gone; the command may still be ending.
                    readable = False
        else:
            time.sleep(0.1)
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break

if os.WIFSIGNALED(status):
    sys.exit(128 + os.WTERMSIG(status))
sys.exit(os.WEXITSTATUS(status))
