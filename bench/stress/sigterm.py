#!/usr/bin/python3
"""SIGTERM with a background job: a /bin/sh shell starts `sleep 300 &`, the agent gets SIGTERM,
and 5 s after the agent has ended this looks whether the sleep (and the shell) still run."""

import os
import re
import signal
import subprocess
import time

import agentlib

EXIT_WAIT = 10
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


def main():
    binary = agentlib.binary_argument("SIGTERM to an agent whose shell has a background job.")
    print(f"agent: {binary}")
    with agentlib.Agent(binary) as agent:
        client = agentlib.Client(agent.path)
        client.hello()
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

        os.kill(agent.pid, signal.SIGTERM)
        start = time.monotonic()
        # A client reads on, and closes its end once the agent has closed the connection.
        try:
            client.wait(lambda: False, EXIT_WAIT, "end of the connection")
        except agentlib.Closed:
            pass
        except TimeoutError:
            print(f"the connection was still open {EXIT_WAIT} s after SIGTERM")
        client.close()
        heard = [method for method, _ in client.heard]
        try:
            code = agent.process.wait(EXIT_WAIT)
            ended = f"ended with {code} after {time.monotonic() - start:.1f} s"
        except subprocess.TimeoutExpired:
            os.kill(agent.pid, signal.SIGKILL)
            agent.process.wait()
            ended = f"was still running {time.monotonic() - start:.0f} s after SIGTERM (then SIGKILLed)"
        print(f"after SIGTERM the client heard {heard or 'nothing'}")
        time.sleep(AFTER_EXIT)
        sleep_left = running(sleep_pid, "sleep")
        shell_left = running(shell_pid, "sh")
        print(f"agent {ended}; {AFTER_EXIT} s later: sleep {sleep_pid} "
              f"{'STILL RUNNING' if sleep_left else 'gone'}, shell {shell_pid} "
              f"{'STILL RUNNING' if shell_left else 'gone'}")
        for pid, left in ((sleep_pid, sleep_left), (shell_pid, shell_left)):
            if left:
                os.kill(pid, signal.SIGKILL)
    print(f"RESULT sigterm: agent {ended}; {AFTER_EXIT} s later the background sleep "
          f"{'left running' if sleep_left else 'ended'}, shell {'left running' if shell_left else 'ended'}")


if __name__ == "__main__":
    main()
