#!/usr/bin/python3
"""Input sent before the shells run: one connection queues 900 `openShell` requests for /bin/sh
without waiting for an answer, then writes 1.2 MiB to each shell, the last one opened first, as
`write` notifications of 256 KiB, as fast as the socket takes them, while the agent is still
starting the shells one after another. Each shell's input is a command line (`stty -echo; head -c N |
md5sum`) followed by N bytes of lines that differ from shell to shell. Samples the agent's VmRSS
throughout; each shell's digest tells whether its input arrived whole and in order."""

import hashlib
import re
import socket
import threading
import time
import uuid as uuidlib

import agentlib
from input_backlog import mib, send_all

SHELLS = 900
LINES = 19200  # of 64 bytes: 1.2 MiB for each shell
WRITE = 256 * 1024
DEADLINE = 300
DIGEST = re.compile(rb"([0-9a-f]{32})")


def payload(index):
    """Lines the terminal passes on unchanged in canonical mode, distinct for each shell."""
    body = b"".join(f"{index:06d} {line:08d} ".encode() + b"x" * 48 + b"\n" for line in range(LINES))
    command = f"stty -echo; head -c {len(body)} | md5sum; exit\n".encode()
    return command, body


class Reader(threading.Thread):
    """Gathers the answers to the opens and each shell's output until told to stop."""

    def __init__(self, client):
        super().__init__(daemon=True)
        self.client = client
        self.pids = {}
        self.errors = []
        self.output = {}
        self.ended = None
        self.running = True

    def run(self):
        unpacker = self.client.unpacker
        while self.running:
            try:
                data = self.client.sock.recv(1 << 20)
            except socket.timeout:
                continue
            except OSError as error:
                self.ended = str(error)
                return
            if not data:
                self.ended = "connection closed by the agent"
                return
            unpacker.feed(data)
            for message in unpacker:
                if message[0] == 1:
                    pid, error = message[3]
                    if error is None:
                        self.pids[message[1]] = pid
                    else:
                        self.errors.append(error)
                elif message[1] == "output":
                    self.output.setdefault(bytes(message[2][0]), bytearray()).extend(message[2][1])


def main():
    binary = agentlib.binary_argument("Writes 1.2 MiB to each of 900 shells before they have started.")
    print(f"agent: {binary}")
    ids = [uuidlib.uuid4().bytes for _ in range(SHELLS)]
    inputs = [payload(index) for index in range(SHELLS)]
    expected = {ids[index]: hashlib.md5(body).hexdigest() for index, (_, body) in enumerate(inputs)}
    total = sum(len(command) + len(body) for command, body in inputs)
    with agentlib.Agent(binary) as agent:
        client = agentlib.Client(agent.path)
        client.hello()
        rss_idle = agent.status_kib("VmRSS")
        client.sock.settimeout(1.0)
        reader = Reader(client)
        sampler = agentlib.RSSSampler(agent)
        reader.start()
        sampler.start()
        start = time.monotonic()
        deadline = start + DEADLINE
        opens = b"".join(agentlib.msgpack.packb([0, 1000 + index, "openShell", [shell_id, 80, 24, "/tmp", "/bin/sh", {}]])
                         for index, shell_id in enumerate(ids))
        failure = send_all(client.sock, opens, deadline)
        sent = 0
        # The last shell first: its launch waits behind every other one.
        for shell_id, (command, body) in reversed(list(zip(ids, inputs))):
            if failure:
                break
            data = command + body
            for offset in range(0, len(data), WRITE):
                failure = send_all(client.sock, agentlib.msgpack.packb(
                    [2, "write", [shell_id, data[offset:offset + WRITE]]]), deadline)
                if failure:
                    break
                sent += len(data[offset:offset + WRITE])
        sent_after = time.monotonic() - start
        rss_at_sent = agent.status_kib("VmRSS")

        def answered():
            return sum(1 for shell_id in ids if DIGEST.search(bytes(reader.output.get(shell_id, b""))))

        agentlib.eventually(lambda: answered() == SHELLS or reader.ended or not agent.alive(),
                            max(deadline - time.monotonic(), 1), 0.5)
        finished = time.monotonic() - start
        sampler.running = False
        reader.running = False
        sampler.join()
        reader.join(2)
        hwm = agent.status_kib("VmHWM")
        alive = agent.alive()
        client.close()

    intact = sum(1 for shell_id in ids
                 if (match := DIGEST.search(bytes(reader.output.get(shell_id, b""))))
                 and match.group(1).decode() == expected[shell_id])
    print(f"{len(reader.pids)} shells opened, {len(reader.errors)} refused {reader.errors[:2]}; "
          f"sent {sent >> 20} of {total >> 20} MiB in {sent_after:.1f} s"
          + (f" ({failure})" if failure else "") + f"; answers complete after {finished:.1f} s")
    print(f"agent RSS: {mib(rss_idle)} before, {mib(rss_at_sent)} when the last write was sent, "
          f"peak sampled {mib(sampler.peak)}, VmHWM {mib(hwm)}; agent {'alive' if alive else 'DEAD'}")
    print(f"RESULT prelaunch input ({SHELLS} opens queued, {total >> 20} MiB): peak RSS {mib(sampler.peak)} "
          f"(VmHWM {mib(hwm)}); {intact} of {SHELLS} shells read their input whole and in order")


if __name__ == "__main__":
    main()
