#!/usr/bin/python3
"""What a closed shell leaves behind. Two cases, each on one /bin/sh shell that ignores the
hang-up, its jobs in process groups of their own (an interactive sh has job control):

- forks: a job forks a `sleep` into a new process group every 0.1 s for 6 s; the shell is
  closed 0.5 s after the loop started, so most of them are forked after the hang-up's listing;
- descriptors: the agent runs under RLIMIT_NOFILE 300:300 and the shell starts 400 background
  sleeps before it is closed.

3.5 s after each close (the agent kills leftovers 2 s after the hang-up), this counts the
processes still alive in the shell's session (6th field of /proc/PID/stat), then kills them."""

import os
import signal
import time

import agentlib

AFTER_CLOSE = 3.5
# The forker runs in bash, whose `set -m` puts each job in a process group of its own even
# once the terminal is gone.
FORKS = ("trap '' HUP; bash -c 'set -m; for i in $(seq 60); do sleep 300 & sleep 0.1; done' "
         ">/dev/null 2>&1 & echo STA''RTED\n")
SLEEPS = 400


def in_session(session):
    """Pids of live (not zombie) processes whose session is `session`."""
    return [pid for pid, name, fields in agentlib.processes()
            if int(fields[3]) == session and fields[0] != b"Z"]


def kill_all(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def run_case(binary, nofile, setup, ready, settle):
    with agentlib.Agent(binary, nofile=nofile) as agent:
        client = agentlib.Client(agent.path)
        client.hello()
        shell_id, shell_pid = client.open_prompted_shell()
        client.write(shell_id, setup)
        client.wait_output(shell_id, ready, 30)
        time.sleep(settle)
        before = len(in_session(shell_pid))
        client.notify("close", [shell_id])
        time.sleep(AFTER_CLOSE)
        survivors = in_session(shell_pid)
        alive = agent.alive()
        client.close()
    kill_all(survivors)
    return before, len(survivors), alive


def main():
    binary = agentlib.binary_argument("Counts what survives the kill after a close.")
    print(f"agent: {binary}")
    before, forked, alive = run_case(binary, None, FORKS.encode(), b"STARTED", 0.5)
    print(f"forks: {before} processes in the session at the close, {forked} alive "
          f"{AFTER_CLOSE} s after it; agent {'alive' if alive else 'DEAD'}")
    setup = (f"trap '' HUP; i=0; while [ $i -lt {SLEEPS} ]; do sleep 300 & i=$((i+1)); done; "
             "echo STA''RTED\n").encode()
    before, many, alive = run_case(binary, (300, 300), setup, b"STARTED", 0.5)
    print(f"descriptors: {before} processes in the session at the close under nofile 300, "
          f"{many} alive {AFTER_CLOSE} s after it; agent {'alive' if alive else 'DEAD'}")
    print(f"RESULT leftovers: {forked} survive a job forking new process groups after the hang-up; "
          f"{many} of {SLEEPS} background sleeps survive under nofile 300")


if __name__ == "__main__":
    main()
