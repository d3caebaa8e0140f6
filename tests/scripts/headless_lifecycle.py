#!/usr/bin/env python3
"""quorvi-mac --headless as a user runs it: options, statuses on standard
output, clients over loopback, signals. Argument: the folder of the binaries."""
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time

from checklist import check, finish

BIN = os.path.join(sys.argv[1], "quorvi-mac")


class Headless:
    def __init__(self, *arguments):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env["XDG_CONFIG_HOME"] = "/tmp/quorvi-headless-test-config"
        self.process = subprocess.Popen([BIN, "--headless", "--bind", "127.0.0.1", *arguments],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env, text=True)
        self.lines = []
        self.pending = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.pending.put(line.rstrip("\n"))

    def wait_for(self, predicate, timeout=10):
        deadline = time.time() + timeout
        for line in self.lines:
            if predicate(line):
                return line
        while time.time() < deadline:
            try:
                line = self.pending.get(timeout=0.05)
            except queue.Empty:
                continue
            self.lines.append(line)
            if predicate(line):
                return line
        return None

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# A bad --port is refused with a clear message and exit code 2.
for bad in ["70000", "abc", "-3", ""]:
    result = subprocess.run([BIN, "--headless", "--port", bad], capture_output=True, text=True,
                            timeout=10)
    check(result.returncode == 2, f"--port {bad!r} exits with 2 (got {result.returncode})")
    check("Port invalide" in result.stderr or "--port attend" in result.stderr,
          f"--port {bad!r} says why: {result.stderr.strip()[:80]}")

# Start, announce the real port, serve a client, then SIGTERM: exit 0.
port = free_port()
server = Headless("--port", str(port))
check(server.wait_for(lambda l: l == f"status: Démarrage Bonjour sur port {port}") is not None,
      "announces the port it was given")
check(server.wait_for(lambda l: l == "journal: Prêt: iPhone peut détecter ce Mac") is not None,
      "becomes ready")
client = socket.create_connection(("127.0.0.1", port))
check(server.wait_for(lambda l: l == "connectionName: iPhone connecté") is not None,
      "a client is shown as connected")
# A polite goodbye: half-close, read what is still coming until the server
# closes. Closing with unread frames would reset the connection instead,
# which the server rightly reports as a failure.
client.shutdown(socket.SHUT_WR)
client.settimeout(5)
try:
    while client.recv(65536):
        pass
except OSError:
    pass
client.close()
check(server.wait_for(lambda l: l == "journal: Déconnecté") is not None,
      "a client that leaves is shown as disconnected")
check(not any("Démarrage Bonjour" in l for l in server.lines if l.startswith("journal: ")),
      "the starting line never enters the journal")
check(server.stop(signal.SIGTERM) == 0, "SIGTERM exits with 0")

# SIGINT does the same.
server = Headless("--port", str(free_port()))
server.wait_for(lambda l: l.startswith("journal: Prêt"))
check(server.stop(signal.SIGINT) == 0, "SIGINT exits with 0")

# A taken port: the server says so and keeps running until told to stop.
blocker = socket.socket()
blocker.bind(("127.0.0.1", 0))
blocker.listen(1)
taken = blocker.getsockname()[1]
server = Headless("--port", str(taken))
line = server.wait_for(lambda l: l.startswith("status: Erreur serveur: "))
check(line is not None, f"a taken port shows a server error ({line})")
check(server.wait_for(lambda l: l.startswith("journal: Erreur serveur: ")) is not None,
      "the server error is journaled")
time.sleep(0.3)
check(server.process.poll() is None, "the process keeps running after a server error")
check(server.stop() == 0, "and stops cleanly")
blocker.close()

finish()
