"""What the scripted checks share: a line per check, the exit status (77:
skipped), quorvi-mac --headless as a user runs it. Each script takes the
folder of the binaries."""
import contextlib
import os
import queue
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = sys.argv[1]
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def skip(why):
    print("skipped: " + why, flush=True)
    sys.exit(77)


def finish():
    sys.exit(1 if failures else 0)


def eventually(predicate, timeout=15):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            return False
        time.sleep(0.2)
    return True


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


class Headless:
    """quorvi-mac --headless on loopback, its standard output read as it comes;
    by default without a display and with a configuration of its own."""

    def __init__(self, *arguments, env=None):
        if env is None:
            env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
            env["XDG_CONFIG_HOME"] = tempfile.mkdtemp(prefix="quorvi-config-")
        self.process = subprocess.Popen(
            [os.path.join(BIN, "quorvi-mac"), "--headless", "--bind", "127.0.0.1", *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=lambda: [self.lines.put(line.rstrip("\n"))
                                         for line in self.process.stdout], daemon=True).start()

    def wait_for(self, predicate, timeout=15):
        """The next line printed within timeout that matches."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            with contextlib.suppress(queue.Empty):
                if predicate(line := self.lines.get(timeout=0.1)):
                    return line
        return None

    def stop(self, sig=signal.SIGTERM):
        """The exit status after sig; None when it did not end."""
        self.process.send_signal(sig)
        try:
            return self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None


def pixel(png, fx, fy):
    """The RGB colour of a picture at fractions (fx, fy) of its size."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", png, "-vf",
                          f"crop=1:1:iw*{fx}:ih*{fy}", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, timeout=60).stdout
    return tuple(raw[:3])


def near(colour, expected):
    return len(colour) == 3 and all(abs(a - b) <= 12 for a, b in zip(colour, expected))


class Peers:
    """The commands a check runs in its desktop's environment: one-shot
    commands, peers that run beside the server (killed by kill_all), the
    reference client, and the display mode signals."""

    def __init__(self, env):
        self.env = env
        self.processes = []

    def run(self, *command):
        return subprocess.run(command, capture_output=True, text=True, env=self.env, timeout=60)

    def peer(self, *command, log=subprocess.DEVNULL):
        process = subprocess.Popen(command, env=self.env, stdout=log, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def client(self, port, *arguments):
        return self.run(os.path.join(BIN, "quorvi-client"), f"127.0.0.1:{port}", *arguments)

    def use(self, mode):
        self.run("dbus-send", "--session", "--type=signal", "/", f"brenholt.quorvi.mac.use{mode}Mode")

    def kill_all(self):
        for process in self.processes:
            process.kill()
