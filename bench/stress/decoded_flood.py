#!/usr/bin/python3
"""Messages that cost far more once decoded than on the wire, and replies that nobody reads.
Two rounds, each on a fresh agent with three hostile connections next to a fourth, normal one
that types single keystrokes into `cat` on a raw terminal and times each echo:

- fan-out: each hostile connection identifies itself and sends a 62.5 MiB message, an array of
  1,000 arrays of 65,536 nils (inside the limits per message, per array and of depth), again on
  a new connection whenever the agent ends one, for WINDOW seconds;
- hello flood: each hostile connection identifies itself and sends `hello` requests as fast as
  the socket takes them without ever reading, up to 4.85 million, until its writes have been
  blocked for STALL seconds (the agent stopped reading) or WINDOW seconds have passed.

VmRSS is sampled every 20 ms; reports the peak (and VmHWM), VmRSS 2 s after the hostile
connections have closed, and the longest echo wait overlapping the attack."""

import socket
import sys
import threading
import time

import msgpack

import agentlib
from closing import Typist, echo_shell

WINDOW = 12.0
STALL = 2.0
HELLOS = 4_850_000
FANOUT_ARRAYS = 1000
FANOUT_WIDTH = 65536


def fanout_message():
    inner = b"\xdd" + FANOUT_WIDTH.to_bytes(4, "big") + b"\xc0" * FANOUT_WIDTH
    return b"\xdd" + FANOUT_ARRAYS.to_bytes(4, "big") + inner * FANOUT_ARRAYS


def identified_socket(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    sock.sendall(msgpack.packb([2, "identify", [agentlib.CLIENT_ID]]))
    return sock


class Hostile(threading.Thread):
    def __init__(self, path, until):
        super().__init__(daemon=True)
        self.path = path
        self.until = until
        self.sent = 0
        self.connections = 0
        self.failure = None

    def run(self):
        try:
            self.attack()
        except OSError as error:
            self.failure = str(error)


class FanOut(Hostile):
    message = fanout_message()

    def attack(self):
        while time.monotonic() < self.until:
            sock = identified_socket(self.path)
            self.connections += 1
            sock.settimeout(max(0.1, self.until - time.monotonic()))
            try:
                sock.sendall(self.message)
                self.sent += 1
                # The whole message is in; wait for the agent to end the connection or the round.
                while time.monotonic() < self.until and sock.recv(1 << 16):
                    pass
            except (OSError, socket.timeout):
                pass
            finally:
                sock.close()


class HelloFlood(Hostile):
    BLOCK = 100_000

    def attack(self):
        block = b"".join(msgpack.packb([0, i, "hello", [1]]) for i in range(self.BLOCK))
        sock = identified_socket(self.path)
        self.connections = 1
        sock.setblocking(False)
        pending = memoryview(block)
        blocked_since = None
        while self.sent < HELLOS and time.monotonic() < self.until:
            try:
                count = sock.send(pending)
            except BlockingIOError:
                blocked_since = blocked_since or time.monotonic()
                if time.monotonic() - blocked_since > STALL:
                    break
                time.sleep(0.01)
                continue
            blocked_since = None
            pending = pending[count:]
            if not pending:
                self.sent += self.BLOCK
                pending = memoryview(block)
        self.sent += (len(block) - len(pending)) * self.BLOCK // len(block)
        self.stalled = blocked_since is not None
        self.sock = sock


def mib(kib):
    return f"{kib / 1024:.0f} MiB" if kib is not None else "n/a"


def ms(value):
    return f"{value:.0f} ms" if value is not None else "n/a"


def echo(result):
    """The worst echo; one that never came within the typist's 10 s says so."""
    return "none within 10 s" if result["echo_failed"] else ms(result["echo"])


def one_round(binary, kind):
    with agentlib.Agent(binary) as agent:
        client = agentlib.Client(agent.path)
        client.hello()
        typist = Typist(client, echo_shell(client))
        sampler = agentlib.RSSSampler(agent)
        sampler.start()
        typist.start()
        time.sleep(1.0)
        start = time.monotonic()
        attackers = [kind(agent.path, start + WINDOW) for _ in range(3)]
        for attacker in attackers:
            attacker.start()
        for attacker in attackers:
            attacker.join(WINDOW + 30)
        end = time.monotonic()
        for attacker in attackers:
            if getattr(attacker, "sock", None):
                attacker.sock.close()
        time.sleep(2.0)
        after = agent.status_kib("VmRSS")
        sampler.running = False
        typist.running = False
        typist.join(15)
        sampler.join()
        alive = agent.alive()
        served, how = agentlib.serves_fresh_client(agent.path) if alive else (False, "agent died")
        result = {
            "peak": sampler.peak, "hwm": agent.status_kib("VmHWM"), "after": after,
            "echo": typist.worst(start, end), "echo_failed": typist.failure is not None, "sent": sum(a.sent for a in attackers),
            "connections": sum(a.connections for a in attackers),
            "stalled": sum(1 for a in attackers if getattr(a, "stalled", False)),
            "alive": alive, "served": served,
        }
        print(f"{kind.__name__}: {result}; fresh client: {how}; typist: {typist.failure or 'ok'}; "
              f"attackers: {[a.failure for a in attackers]}", flush=True)
        return result


def main():
    binary = agentlib.binary_argument("Peak memory and echo delay under three hostile connections.")
    print(f"agent: {binary}")
    fan = one_round(binary, FanOut)
    flood = one_round(binary, HelloFlood)
    state = "alive" if fan["alive"] and flood["alive"] else "DIED"
    print(f"RESULT decoded_flood: {state}; fan-out x3 ({fan['sent']} messages of 62.5 MiB written whole, "
          f"{fan['connections']} connections): peak RSS {mib(fan['peak'])} (VmHWM {mib(fan['hwm'])}), "
          f"after {mib(fan['after'])}, worst echo {echo(fan)}; hello flood x3: peak RSS "
          f"{mib(flood['peak'])} (VmHWM {mib(flood['hwm'])}), after {mib(flood['after'])}, "
          f"{flood['sent']} hellos sent, {flood['stalled']}/3 stopped being read, worst echo "
          f"{echo(flood)}")


if __name__ == "__main__":
    sys.exit(main())
