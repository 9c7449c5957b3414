#!/usr/bin/python3
"""SIGTERM with a background job: a /bin/sh shell starts `sleep 300 &`, the agent gets SIGTERM,
and 5 s after the agent has ended this looks whether the sleep (and the shell) still run.
Twice: once with a client that closes its end when the agent closes the connection, once with
a client that keeps its end open and reads nothing."""

import os
import re
import signal
import subprocess
import time

import agentlib

EXIT_WAIT = 20
AFTER_EXIT = 5


def running(pid, name):
    """True when pid is a live (not zombie) process called name."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            text = stat.read()
    except OSError:
        return False
    state = text[text.rfind(b")") + 2:].split()[0]
    return text.startswith(f"{pid} ({name})".encode()) and state != b"Z"


def start_job(client):
    shell_id, shell_pid, error = client.open_shell()
    if error is not None:
        raise SystemExit(f"open refused: {error}")
    client.wait_prompt(shell_id)
    client.write(shell_id, b"sleep 300 & echo $!\n")
    pattern = re.compile(rb"\n(\d+)\r?\n")
    client.wait(lambda: pattern.search(client.output.get(shell_id, b"")), 10, "the job's pid")
    sleep_pid = int(pattern.search(client.output[shell_id]).group(1))
    # The job may not have reached its exec of sleep yet.
    if not agentlib.eventually(lambda: running(sleep_pid, "sleep"), 5):
        raise SystemExit(f"{sleep_pid} did not become a running sleep")
    return shell_pid, sleep_pid


def run_case(binary, client_closes):
    with agentlib.Agent(binary) as agent:
        client = agentlib.Client(agent.path)
        client.hello()
        shell_pid, sleep_pid = start_job(client)
        os.kill(agent.pid, signal.SIGTERM)
        start = time.monotonic()
        if client_closes:
            try:
                client.wait(lambda: False, EXIT_WAIT, "end of the connection")
            except (agentlib.Closed, TimeoutError):
                pass
            client.close()
        try:
            code = agent.process.wait(max(EXIT_WAIT - (time.monotonic() - start), 1))
            ended = f"ended ({code}) {time.monotonic() - start:.1f} s after SIGTERM"
        except subprocess.TimeoutExpired:
            os.kill(agent.pid, signal.SIGKILL)
            agent.process.wait()
            ended = f"still ran {time.monotonic() - start:.0f} s after SIGTERM (SIGKILLed)"
        client.close()
        time.sleep(AFTER_EXIT)
        sleep_left = running(sleep_pid, "sleep")
        shell_left = running(shell_pid, "sh")
        for pid, left in ((sleep_pid, sleep_left), (shell_pid, shell_left)):
            if left:
                os.kill(pid, signal.SIGKILL)
    who = "client closes on end of connection" if client_closes else "client keeps its end open"
    print(f"{who}: agent {ended}; {AFTER_EXIT} s later: sleep {sleep_pid} "
          f"{'STILL RUNNING' if sleep_left else 'gone'}, shell {shell_pid} {'STILL RUNNING' if shell_left else 'gone'}")
    return f"agent {ended}, sleep {'LEFT RUNNING' if sleep_left else 'ended'}" + (
        ", shell LEFT RUNNING" if shell_left else "")


def main():
    binary = agentlib.binary_argument("SIGTERM to an agent whose shell has a background job.")
    print(f"agent: {binary}")
    closing = run_case(binary, client_closes=True)
    holding = run_case(binary, client_closes=False)
    print(f"RESULT sigterm: {closing}; with a client that keeps its end open: {holding}")


if __name__ == "__main__":
    main()
