#!/usr/bin/python3
"""Closing many shells at once: one connection types single keystrokes into `cat` on a raw
terminal and times each echo, while another connection with 300 /bin/sh shells either closes
each of them or simply goes away. Reports the longest echo wait overlapping the 3 s after the closing
starts (median over rounds), next to the worst of a quiet window before it. Also runs
veltro-bench's own `closing` benchmark when it is built (it closes each shell)."""

import os
import re
import subprocess
import sys
import threading
import time

import agentlib

SHELLS = 300
ROUNDS = 3
# After the last prompt, time for the agent to be done with starting shells.
SETTLE = 1.5
QUIET = 2.0
WINDOW = 3.0
BENCH = os.environ.get("VELTRO_BENCH", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                     "..", "..", "build", "veltro-bench"))


class Typist(threading.Thread):
    def __init__(self, client, shell_id):
        super().__init__(daemon=True)
        self.client = client
        self.shell_id = shell_id
        self.samples = []
        self.running = True
        self.failure = None

    def run(self):
        count = 0
        while self.running:
            count += 1
            expected = len(self.client.output[self.shell_id]) + 1
            start = time.monotonic()
            try:
                self.client.write(self.shell_id, b"x")
                self.client.wait(lambda: len(self.client.output[self.shell_id]) >= expected, 10, "an echo")
            except (OSError, agentlib.Closed, TimeoutError) as error:
                self.failure = str(error)
                return
            self.samples.append((start, time.monotonic() - start))

    def worst(self, since, until, within=False):
        """The longest echo wait that overlaps [since, until) (or lies within it), in ms."""
        if within:
            values = [latency for start, latency in self.samples if start >= since and start + latency < until]
        else:
            values = [latency for start, latency in self.samples if start < until and start + latency >= since]
        return max(values) * 1000 if values else None


def echo_shell(client):
    shell_id, _, error = client.open_shell()
    if error is not None:
        raise SystemExit(f"open refused: {error}")
    client.write(shell_id, b"stty raw -echo; printf 'REA''DY'; exec cat\n")
    client.wait_output(shell_id, b"READY")
    return shell_id


def crowd_of_shells(client):
    ids = []
    for _ in range(SHELLS):
        shell_id, _, error = client.open_shell()
        if error is not None:
            raise SystemExit(f"open refused: {error}")
        ids.append(shell_id)
    client.wait(lambda: all(client.output.get(shell_id) for shell_id in ids), 60, "every prompt")
    return ids


def one_round(binary, drop):
    with agentlib.Agent(binary) as agent:
        typist_client = agentlib.Client(agent.path)
        typist_client.hello()
        echo = echo_shell(typist_client)
        crowd = agentlib.Client(agent.path)
        crowd.hello()
        ids = crowd_of_shells(crowd)
        time.sleep(SETTLE)
        typist = Typist(typist_client, echo)
        typist.start()
        quiet_start = time.monotonic()
        time.sleep(QUIET)
        closing_start = time.monotonic()
        processor_start = agent.processor_seconds()
        if drop:
            crowd.close()
        else:
            for shell_id in ids:
                crowd.notify("close", [shell_id])
        time.sleep(WINDOW)
        processor = agent.processor_seconds() - processor_start
        typist.running = False
        typist.join(15)
        crowd.close()
        if typist.failure:
            print(f"  the typist stopped: {typist.failure}")
        return (typist.worst(quiet_start, closing_start, within=True),
                typist.worst(closing_start, closing_start + WINDOW), processor * 1000)


def median(values):
    values = sorted(value for value in values if value is not None)
    return values[len(values) // 2] if values else None


def ms(value):
    return f"{value:.0f} ms" if value is not None else "n/a"


def python_rounds(binary, drop):
    how = "connection dropped" if drop else "close sent for each"
    quiet, closing, processor = [], [], []
    for _ in range(ROUNDS):
        worst_quiet, worst_closing, used = one_round(binary, drop)
        quiet.append(worst_quiet)
        closing.append(worst_closing)
        processor.append(used)
    print(f"{SHELLS} shells, {how}: worst echo while closing {', '.join(map(ms, closing))} "
          f"(quiet before: {', '.join(map(ms, quiet))}; agent processor time in the {WINDOW:.0f} s: "
          f"{', '.join(map(ms, processor))})", flush=True)
    return median(closing), median(quiet)


def bench_rounds(binary):
    if not os.access(BENCH, os.X_OK):
        print(f"veltro-bench not found at {BENCH} (set VELTRO_BENCH); skipped")
        return None
    worst = []
    for _ in range(ROUNDS):
        result = subprocess.run([BENCH, "closing", "--agent", binary], capture_output=True, text=True, timeout=120)
        match = re.search(r"worst echo while closing\s+([\d.]+) ms", result.stdout)
        worst.append(float(match.group(1)) if match else None)
    print(f"veltro-bench closing (close each of 300): worst echo while closing {', '.join(map(ms, worst))}")
    return median(worst)


def main():
    binary = agentlib.binary_argument(f"Times another connection's echo while {SHELLS} shells close.")
    print(f"agent: {binary}")
    each, each_quiet = python_rounds(binary, drop=False)
    drop, drop_quiet = python_rounds(binary, drop=True)
    bench = bench_rounds(binary)
    print(f"RESULT closing: worst echo while {SHELLS} shells close, median of {ROUNDS}: close each {ms(each)}, "
          f"connection dropped {ms(drop)}, veltro-bench {ms(bench)} "
          f"(quiet worst {ms(each_quiet)}/{ms(drop_quiet)})")


if __name__ == "__main__":
    sys.exit(main())
