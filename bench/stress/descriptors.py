#!/usr/bin/python3
"""Descriptor exhaustion: silent and identified connections against an agent started under a
low RLIMIT_NOFILE. For each case: is the agent alive, does it still serve a fresh client, how
many connections does it hold (sockets in /proc/PID/fd, less the listener)."""

import os
import socket
import stat
import time

import agentlib

CONNECTIONS = 1500
# Whatever the agent does with a flood of connections, it has done it by then.
SETTLE = 1.0
# Identified connections stop being opened after this many in a row go unanswered.
UNANSWERED_IN_A_ROW = 5


def agent_sockets(agent):
    """Distinct sockets the agent holds, less its listener (a duplicated descriptor counts once)."""
    inodes = set()
    try:
        names = os.listdir(f"/proc/{agent.pid}/fd")
    except OSError:
        return 0
    for name in names:
        try:
            status = os.stat(f"/proc/{agent.pid}/fd/{name}")
        except OSError:
            continue
        if stat.S_ISSOCK(status.st_mode):
            inodes.add(status.st_ino)
    return max(len(inodes) - 1, 0)


def still_open(sock):
    """True while the agent has neither closed the connection nor written to it."""
    sock.setblocking(False)
    try:
        sock.recv(1, socket.MSG_PEEK)
        return False
    except BlockingIOError:
        return True
    except OSError:
        return False


class Watch:
    """Samples the agent's held connections while they are opened: the peak, and the count of
    connections made when the agent was first seen dead."""

    EVERY = 25

    def __init__(self, agent):
        self.agent = agent
        self.peak = 0
        self.died_at = None

    def sample(self, made, force=False):
        if self.died_at is not None or (made % self.EVERY and not force):
            return
        if not self.agent.alive():
            self.died_at = made
            return
        self.peak = max(self.peak, agent_sockets(self.agent))


def open_silent(path, count, watch):
    sockets = []
    for _ in range(count):
        watch.sample(len(sockets))
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(2)
        try:
            sock.connect(path)
        except OSError:
            sock.close()
            break
        sockets.append(sock)
    watch.sample(len(sockets), force=True)
    return sockets


def open_identified(path, count, watch):
    clients = []
    unanswered = 0
    for _ in range(count):
        watch.sample(len(clients))
        client = None
        try:
            client = agentlib.Client(path, timeout=2)
            client.request("hello", [1], timeout=2)
            clients.append(client)
            unanswered = 0
        except (OSError, agentlib.Closed, TimeoutError, RuntimeError):
            if client:
                client.close()
            unanswered += 1
            if unanswered >= UNANSWERED_IN_A_ROW:
                break
    watch.sample(len(clients), force=True)
    return clients


def report(name, agent, watch, opened, open_now, fresh, extra="", held=None):
    alive = agent.alive()
    if held is None:
        held = agent_sockets(agent) if alive else 0
    state = "alive" if alive else f"DEAD (exit {agent.process.returncode}"
    if not alive and watch.died_at is not None:
        state += f", seen dead after {watch.died_at} connections"
    state += f", peak held {max(watch.peak, held)}" + ("" if alive else ")")
    fresh_text = "fresh client served" if fresh[0] else f"fresh client NOT served ({fresh[1]})"
    line = (f"{name}: agent {state}; {opened} connected, {open_now} still open, agent holds {held} "
            f"connections; {fresh_text}{extra}")
    print(line, flush=True)
    return alive, held if alive else max(watch.peak, held), fresh[0]


def flood_case(binary, name, nofile, identified):
    """Floods an agent with connections that say nothing, or that identify themselves; then
    asks whether a fresh client is served, and again once some of the flood has gone."""
    with agentlib.Agent(binary, nofile=nofile) as agent:
        watch = Watch(agent)
        if identified:
            peers = open_identified(agent.path, CONNECTIONS, watch)
            is_open = lambda client: not client.closed and still_open(client.sock)
            released, what = peers[:50], "50 of them"
        else:
            peers = open_silent(agent.path, CONNECTIONS, watch)
            is_open = still_open
            released, what = peers, "the silent ones"
        time.sleep(SETTLE)
        open_now = sum(is_open(peer) for peer in peers)
        alive = agent.alive()
        fresh = agentlib.serves_fresh_client(agent.path, timeout=5) if alive else (False, "agent dead")
        held = agent_sockets(agent)
        served_after = (False, "agent dead")
        if alive:
            for peer in released:
                peer.close()
            time.sleep(SETTLE)
            served_after = agentlib.serves_fresh_client(agent.path, timeout=5)
        extra = f"; after closing {what}: " + ("served" if served_after[0] else f"NOT served ({served_after[1]})")
        result = report(name, agent, watch, len(peers), open_now, fresh, extra, held)
        if not agent.alive():
            print(f"  agent's last log lines: {agent.log_text().strip().splitlines()[-3:]}")
        for peer in peers:
            peer.close()
        return result + (served_after[0],)


def main():
    binary = agentlib.binary_argument("Opens up to 1500 connections against an agent under a low descriptor limit.")
    agentlib.raise_own_descriptor_limit(CONNECTIONS * 2 + 100)
    hard = agentlib.resource.getrlimit(agentlib.resource.RLIMIT_NOFILE)[1]
    print(f"agent: {binary}")
    cases = [
        ("silent soft 1024", flood_case(binary, f"silent x{CONNECTIONS}, nofile 1024:{hard}", (1024, hard), False)),
        ("silent hard 1024", flood_case(binary, f"silent x{CONNECTIONS}, nofile 1024:1024", (1024, 1024), False)),
        ("identified hard 1024",
         flood_case(binary, f"identified x{CONNECTIONS}, nofile 1024:1024", (1024, 1024), True)),
    ]

    def short(alive, held, fresh, released):
        if not alive:
            return f"DIED (peak held {held})"
        return (f"alive, held {held}, fresh client {'ok' if fresh else 'refused'} "
                f"({'ok' if released else 'refused'} once some closed)")

    print("RESULT descriptors: " + "; ".join(f"{name}: {short(*result)}" for name, result in cases))


if __name__ == "__main__":
    main()
