#!/usr/bin/python3
"""Two agents started at once beside a stale socket file (what an agent killed with SIGKILL
leaves behind). Exactly one should listen and the other exit 0. Each try counts as:
  unreachable  both agents still run once the loser should have gone: one of them listens on a
               socket that no longer has a file, so no client can reach it;
  lost file    while a client keeps the reachable agent busy, the other agent's idle end took
               the socket file away from it;
  no listener  nothing answers at the path although an agent should;
  bad exit     the loser ended with a status other than 0.
Tries: STRESS_RACE_TRIES (default 50)."""

import os
import shutil
import signal
import socket
import tempfile
import time

import agentlib

TRIES = int(os.environ.get("STRESS_RACE_TRIES", "50"))
# Long enough for the loser to see the winner and leave, far below the 10 s idle delay.
SETTLE = 3
# The idle delay and a margin for the orphan's end.
IDLE_END = 16


def leave_stale_socket(path):
    """A socket file that nothing listens on any more."""
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(path)
    stale.listen(1)
    stale.close()


def answers(path):
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.settimeout(5)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


class RacingAgent:
    """An agent forked ahead of time that execs only once the barrier opens, so that both of a
    try start within the same instant rather than a process start apart."""

    def __init__(self, binary, folder, index, barrier, opener):
        environment = dict(os.environ, XDG_RUNTIME_DIR=folder)
        for name in ("LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", "NOTIFY_SOCKET", "XPC_SERVICE_NAME"):
            environment.pop(name, None)
        log = os.open(os.path.join(folder, f"agent-{index}.log"), os.O_WRONLY | os.O_CREAT, 0o600)
        self.status = None
        self.pid = os.fork()
        if self.pid == 0:
            try:
                os.close(opener)
                os.read(barrier, 1)
                null = os.open("/dev/null", os.O_RDONLY)
                os.dup2(null, 0)
                os.dup2(log, 1)
                os.dup2(log, 2)
                os.closerange(3, 1024)
                os.execve(binary, [binary, "--agent"], environment)
            finally:
                os._exit(127)
        os.close(log)

    def running(self):
        if self.status is None:
            pid, raw = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = os.waitstatus_to_exitcode(raw)
        return self.status is None

    def end(self):
        if self.running():
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)


def start_racing(binary, folder):
    barrier, opener = os.pipe()
    agents = [RacingAgent(binary, folder, index, barrier, opener) for index in range(2)]
    os.close(barrier)
    os.close(opener)
    return agents


def one_try(binary):
    """Answers the set of faults this try showed."""
    folder = tempfile.mkdtemp(prefix="veltro-race-")
    os.chmod(folder, 0o700)
    path = os.path.join(folder, agentlib.SOCKET_NAME)
    leave_stale_socket(path)
    agents = start_racing(binary, folder)
    faults = set()
    client = None
    try:
        agentlib.eventually(lambda: sum(agent.running() for agent in agents) <= 1, SETTLE)
        if any(agent.status not in (None, 0) for agent in agents):
            faults.add("bad exit")
        if not answers(path):
            faults.add("no listener")
            return faults
        if sum(agent.running() for agent in agents) < 2:
            return faults
        faults.add("unreachable")
        # A client keeps the reachable agent from its idle end while the other one reaches its
        # own; then the file must still lead to the agent that serves it.
        client = agentlib.Client(path)
        client.hello()
        agentlib.eventually(lambda: sum(agent.running() for agent in agents) <= 1, IDLE_END)
        if not answers(path):
            faults.add("lost file")
        return faults
    finally:
        if client:
            client.close()
        for agent in agents:
            agent.end()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    binary = agentlib.binary_argument("Two agents racing beside a stale socket file.")
    print(f"agent: {binary}, {TRIES} tries")
    counts = {"unreachable": 0, "lost file": 0, "no listener": 0, "bad exit": 0}
    start = time.monotonic()
    for index in range(TRIES):
        faults = one_try(binary)
        for fault in faults:
            counts[fault] += 1
        print(f"try {index + 1}: {', '.join(sorted(faults)) or 'one agent listens'}", flush=True)
    print(f"{time.monotonic() - start:.0f} s")
    print("RESULT socket_race: " + ", ".join(f"{name} {count}/{TRIES}" for name, count in counts.items()))


if __name__ == "__main__":
    main()
