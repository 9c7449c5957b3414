#!/usr/bin/python3
"""Input waiting for a shell: the shell sleeps 20 s before it reads, while this client writes
512 MiB as `write` notifications of 1 MiB each (STRESS_CHUNK_KIB changes the size) as fast as
the socket takes them. Samples the agent's VmRSS throughout; then the late reader
(`head -c N | md5sum` on a raw terminal) tells whether every byte arrived, in order."""

import hashlib
import os
import re
import socket
import threading
import time

import agentlib

# STRESS_CHUNK_KIB sets the size of each write (default 1024); the total stays 512 MiB.
CHUNK = int(os.environ.get("STRESS_CHUNK_KIB", "1024")) * 1024
CHUNKS = (512 << 20) // CHUNK
SLEEP = 20
DEADLINE = 120


def chunk(index, base):
    # Every chunk differs, so a dropped, doubled or reordered chunk changes the digest.
    return index.to_bytes(8, "big") + base[8:]


class Reader(threading.Thread):
    """Drains the connection so the agent's output never waits on this client."""

    def __init__(self, client, shell_id):
        super().__init__(daemon=True)
        self.client = client
        self.shell_id = shell_id
        self.output = bytearray()
        self.notices = []
        self.ended = None
        self.running = True

    def run(self):
        while self.running:
            try:
                data = self.client.sock.recv(1 << 16)
            except socket.timeout:
                continue
            except OSError as error:
                self.ended = str(error)
                return
            if not data:
                self.ended = "connection closed by the agent"
                return
            self.client.unpacker.feed(data)
            for message in self.client.unpacker:
                if message[0] == 2 and message[1] == "output" and bytes(message[2][0]) == self.shell_id:
                    self.output.extend(message[2][1])
                elif message[0] == 2 and message[1] in ("closing", "error", "exited"):
                    self.notices.append(message[1:])


def send_all(sock, data, deadline):
    view = memoryview(data)
    while view:
        if time.monotonic() > deadline:
            return "deadline passed while sending"
        try:
            view = view[sock.send(view):]
        except socket.timeout:
            continue
        except OSError as error:
            return f"send failed: {error}"
    return None


def bytes_read_by_head(shell_pid):
    """What the late reader has taken so far (rchar of the shell's `head` child), or None."""
    for pid, name, fields in agentlib.processes():
        if name != b"head" or int(fields[1]) != shell_pid:
            continue
        try:
            with open(f"/proc/{pid}/io") as io:
                for line in io:
                    if line.startswith("rchar:"):
                        return int(line.split()[1])
        except OSError:
            continue
    return None


def mib(kib):
    return f"{kib / 1024:.0f} MiB" if kib is not None else "?"


def main():
    binary = agentlib.binary_argument("Writes 512 MiB to a shell that reads 20 s late; samples the agent's RSS.")
    total = CHUNK * CHUNKS
    print(f"agent: {binary}")
    with agentlib.Agent(binary) as agent:
        client = agentlib.Client(agent.path)
        client.hello()
        shell_id, shell_pid = client.open_prompted_shell()
        client.write(shell_id, f"stty raw -echo; printf 'REA''DY'; sleep {SLEEP}; head -c {total} | md5sum\n".encode())
        client.wait_output(shell_id, b"READY")
        rss_idle = agent.status_kib("VmRSS")

        client.sock.settimeout(1.0)
        reader = Reader(client, shell_id)
        sampler = agentlib.RSSSampler(agent)
        reader.start()
        sampler.start()
        start = time.monotonic()
        deadline = start + DEADLINE
        base = bytes(range(256)) * (CHUNK // 256)
        digest = hashlib.md5()
        sent = 0
        send_failure = None
        for index in range(CHUNKS):
            data = chunk(index, base)
            send_failure = send_all(client.sock, agentlib.msgpack.packb([2, "write", [shell_id, data]]), deadline)
            if send_failure:
                break
            digest.update(data)
            sent += len(data)
        sent_after = time.monotonic() - start
        rss_at_sent = agent.status_kib("VmRSS")
        answer = None
        taken = 0
        while time.monotonic() < deadline and agent.alive() and reader.ended is None:
            match = re.search(rb"([0-9a-f]{32})", bytes(reader.output))
            if match:
                answer = match.group(1).decode()
                taken = total
                break
            taken = bytes_read_by_head(shell_pid) or taken
            time.sleep(0.1)
        finished = time.monotonic() - start
        time.sleep(2)
        rss_after = agent.status_kib("VmRSS")
        sampler.running = False
        reader.running = False
        sampler.join()
        hwm = agent.status_kib("VmHWM")
        alive = agent.alive()
        ended = reader.ended
        if send_failure or ended:
            print(f"{send_failure or ended}; the agent sent {reader.notices[:3]}; its last log lines: "
                  f"{agent.log_text().strip().splitlines()[-2:]}")
        client.close()
        reader.join(2)

    complete = sent == total
    intact = complete and answer == digest.hexdigest()
    print(f"sent {sent >> 20} of {total >> 20} MiB in {sent_after:.1f} s "
          f"(the shell starts reading after {SLEEP} s); reader answered after {finished:.1f} s")
    print(f"agent RSS: {mib(rss_idle)} before the writes, {mib(rss_at_sent)} when the last write was "
          f"sent, peak sampled {mib(sampler.peak)}, VmHWM {mib(hwm)}, {mib(rss_after)} 2 s after the end")
    if answer is None:
        verdict = (f"no digest from the reader within {DEADLINE} s, it had read {taken >> 20} MiB"
                   + (f" ({ended})" if ended else ""))
    else:
        verdict = "all bytes arrived in order" if intact else f"digest MISMATCH ({answer} != {digest.hexdigest()})"
    print(f"{verdict}; agent {'alive' if alive else 'DEAD'}")
    print(f"RESULT input ({CHUNK >> 10} KiB writes): peak RSS {mib(sampler.peak)} (VmHWM {mib(hwm)}), after {mib(rss_after)}; "
          f"{sent >> 20} MiB sent, {verdict}")


if __name__ == "__main__":
    main()
