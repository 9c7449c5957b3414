#!/usr/bin/python3
"""Refused opens and zombies: under a low descriptor limit, open /bin/sh shells on one identified
connection until opens are refused, then count the agent's children in state Z."""

import time

import agentlib

NOFILE = (256, 256)
ATTEMPTS = 400
REFUSALS_WANTED = 10
# Time for the agent to reap whatever it is going to reap after the last refusal.
SETTLE = 2.0


def main():
    binary = agentlib.binary_argument("Opens shells under nofile 256:256 until refused; counts zombies.")
    print(f"agent: {binary}")
    with agentlib.Agent(binary, nofile=NOFILE) as agent:
        client = agentlib.Client(agent.path)
        client.hello()
        opened = refused = 0
        first_refusal = None
        failure = None
        for _ in range(ATTEMPTS):
            try:
                _, pid, error = client.open_shell()
            except (OSError, agentlib.Closed, TimeoutError, RuntimeError) as problem:
                failure = f"{type(problem).__name__}: {problem}"
                break
            if error is None:
                opened += 1
                continue
            refused += 1
            first_refusal = first_refusal or error
            if refused >= REFUSALS_WANTED:
                break
        time.sleep(SETTLE)
        alive = agent.alive()
        children = agent.children()
        zombies = sum(state == "Z" for _, state in children)
        print(f"shells opened {opened}, opens refused {refused}"
              + (f" (first answer: {first_refusal!r})" if first_refusal else "")
              + (f"; requests stopped: {failure}" if failure else ""))
        print(f"agent {'alive' if alive else f'DEAD (exit {agent.process.returncode})'}; children: "
              f"{len(children) - zombies} live, {zombies} zombies")
        if not alive:
            print(f"  agent's last log lines: {agent.log_text().strip().splitlines()[-3:]}")
        client.close()
        state = "alive" if alive else "DIED"
        print(f"RESULT zombies: {zombies} zombies after {refused} refused opens "
              f"({opened} shells opened, agent {state})")


if __name__ == "__main__":
    main()
