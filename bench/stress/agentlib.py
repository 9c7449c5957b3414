"""Shared pieces of the stress scripts: start an agent in a private runtime folder, speak
MessagePack-RPC to it, and look at the agent process from /proc."""

import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import uuid as uuidlib

try:
    import msgpack
except ImportError:
    sys.exit("python3-msgpack is missing: apt-get install -y python3-msgpack (or pip install msgpack)")

SOCKET_NAME = "KQ7310ZV4M.tech.morvane.veltro.terminal-helper"
CLIENT_ID = "tech.morvane.veltro"


def raise_own_descriptor_limit(wanted):
    """The scripts hold many sockets themselves; lift this process's soft limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = hard if hard == resource.RLIM_INFINITY else min(max(soft, wanted), hard)
    if target > soft:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))


def processes():
    """(pid, command name, fields after the name) of every process in /proc."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as stat:
                text = stat.read()
        except OSError:
            continue
        name = text[text.find(b"(") + 1:text.rfind(b")")]
        yield int(entry), name, text[text.rfind(b")") + 2:].split()


class Agent:
    """One agent process started as `<binary> --agent` in a fresh 0700 runtime folder,
    optionally under a given RLIMIT_NOFILE (soft, hard). Killed by its own PID only."""

    def __init__(self, binary, nofile=None):
        if not os.access(binary, os.X_OK):
            raise RuntimeError(f"no agent program at {binary}")
        self.folder = tempfile.mkdtemp(prefix="veltro-stress-")
        os.chmod(self.folder, 0o700)
        self.path = os.path.join(self.folder, SOCKET_NAME)
        self.log_path = os.path.join(self.folder, "agent.log")
        environment = dict(os.environ, XDG_RUNTIME_DIR=self.folder)
        for name in ("LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", "NOTIFY_SOCKET"):
            environment.pop(name, None)

        def limit():
            if nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, nofile)

        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen([binary, "--agent"], env=environment, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT, preexec_fn=limit,
                                        close_fds=True)
        self.pid = self.process.pid
        deadline = time.monotonic() + 10
        while not self._listening():
            if self.process.poll() is not None:
                raise RuntimeError(f"agent ended at start with {self.process.returncode}: {self.log_text()}")
            if time.monotonic() > deadline:
                raise RuntimeError("agent did not listen within 10 s")
            time.sleep(0.02)

    def _listening(self):
        if not os.path.exists(self.path):
            return False
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(self.path)
            return True
        except OSError:
            return False
        finally:
            probe.close()

    def alive(self):
        return self.process.poll() is None

    def descriptors(self):
        try:
            return len(os.listdir(f"/proc/{self.pid}/fd"))
        except OSError:
            return None

    def status_kib(self, field):
        try:
            with open(f"/proc/{self.pid}/status") as status:
                for line in status:
                    if line.startswith(field + ":"):
                        return int(line.split()[1])
        except OSError:
            pass
        return None

    def processor_seconds(self):
        """User plus system time of every thread of the agent so far."""
        try:
            with open(f"/proc/{self.pid}/stat", "rb") as stat:
                text = stat.read()
        except OSError:
            return None
        fields = text[text.rfind(b")") + 2:].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def children(self):
        """(pid, state) of every process whose parent is the agent."""
        return [(pid, fields[0].decode()) for pid, name, fields in processes()
                if int(fields[1]) == self.pid]

    def log_text(self):
        self.log.flush()
        with open(self.log_path, "rb") as log:
            return log.read().decode(errors="replace")

    def stop(self):
        if self.alive():
            os.kill(self.pid, signal.SIGKILL)
        self.process.wait()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class RSSSampler(threading.Thread):
    """The agent's peak VmRSS (KiB), sampled every 20 ms until `running` is cleared or the
    agent has gone."""

    def __init__(self, agent):
        super().__init__(daemon=True)
        self.agent = agent
        self.peak = 0
        self.running = True

    def run(self):
        while self.running:
            rss = self.agent.status_kib("VmRSS")
            if rss is None:
                return
            self.peak = max(self.peak, rss)
            time.sleep(0.02)


def eventually(condition, timeout, step=0.05):
    """Polls condition until it holds or timeout seconds pass; answers its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


class Closed(Exception):
    pass


class Client:
    """A blocking MessagePack-RPC client. Notifications heard while waiting are kept in
    `heard`; output is gathered per shell in `output`."""

    def __init__(self, path, identify=True, timeout=10):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        try:
            self.sock.connect(path)
        except OSError:
            self.sock.close()
            raise
        self.unpacker = msgpack.Unpacker(raw=False, max_buffer_size=256 * 1024 * 1024)
        self.next_id = 0
        self.responses = {}
        self.heard = []
        self.output = {}
        self.closed = False
        if identify:
            self.notify("identify", [CLIENT_ID])

    def send(self, message):
        self.sock.sendall(msgpack.packb(message, use_bin_type=True))

    def notify(self, method, params):
        self.send([2, method, params])

    def request(self, method, params, timeout=10):
        msgid = self.next_id
        self.next_id += 1
        self.send([0, msgid, method, params])
        self.wait(lambda: msgid in self.responses, timeout, f"response to {method}")
        error, result = self.responses.pop(msgid)
        if error is not None:
            raise RuntimeError(f"error response to {method}: {error}")
        return result

    def wait(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no {what} within {timeout} s")
            self.pump(remaining)

    def pump(self, timeout):
        if self.closed:
            raise Closed("connection closed by the agent")
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(1 << 20)
        except socket.timeout:
            return
        if not data:
            self.closed = True
            raise Closed("connection closed by the agent")
        self.unpacker.feed(data)
        for message in self.unpacker:
            self._heard(message)

    def _heard(self, message):
        if message[0] == 1:
            self.responses[message[1]] = (message[2], message[3])
            return
        method, params = message[1], message[2]
        if method == "output":
            self.output.setdefault(bytes(params[0]), bytearray()).extend(params[1])
        else:
            self.heard.append((method, params))

    def hello(self):
        return self.request("hello", [1])

    def open_shell(self, shell="/bin/sh", folder="/tmp", columns=80, rows=24):
        """Returns (uuid bytes, pid, error)."""
        shell_id = uuidlib.uuid4().bytes
        pid, error = self.request("openShell", [shell_id, columns, rows, folder, shell, {}])
        return shell_id, pid, error

    def open_prompted_shell(self, shell="/bin/sh"):
        """Opens a shell and waits for its prompt; returns (uuid bytes, pid). A refusal ends the
        script: nothing it measures can follow."""
        shell_id, pid, error = self.open_shell(shell)
        if error is not None:
            raise SystemExit(f"open refused: {error}")
        self.wait_prompt(shell_id)
        return shell_id, pid

    def write(self, shell_id, data):
        self.notify("write", [shell_id, data])

    def wait_prompt(self, shell_id, timeout=10):
        self.wait(lambda: self.output.get(shell_id), timeout, "a prompt")

    def wait_output(self, shell_id, needle, timeout=10):
        self.wait(lambda: needle in self.output.get(shell_id, b""), timeout, f"output {needle!r}")

    def close(self):
        self.sock.close()


def serves_fresh_client(path, timeout=10):
    """identify + hello + open /bin/sh + echo; returns (ok, what happened)."""
    try:
        client = Client(path, timeout=timeout)
    except OSError as error:
        return False, f"connect and identify: {error.strerror or error}"
    try:
        version = client.hello()
        if not isinstance(version, int) or version < 1:
            return False, f"hello answered {version!r}, not a protocol version"
        shell_id, pid, error = client.open_shell()
        if error is not None:
            return False, f"open refused: {error}"
        client.write(shell_id, b"echo fr''esh-ok\n")
        client.wait_output(shell_id, b"fresh-ok", timeout)
        return True, "served"
    except (OSError, Closed, TimeoutError, RuntimeError) as error:
        return False, f"{type(error).__name__}: {error}"
    finally:
        client.close()


def binary_argument(usage):
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} AGENT_BINARY\n{usage}")
    return os.path.abspath(sys.argv[1])
