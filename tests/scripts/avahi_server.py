#!/usr/bin/env python3
"""The headless server advertised through a real avahi-daemon that lives in
a private network namespace (mDNS never reaches a real interface), found by
a real avahi-browse; then the daemon goes away and comes back.
Argument: the folder of the binaries. Exit 77 (skipped) without root."""
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time

from checklist import ROOT, check, failures, finish, skip

BIN = os.path.join(sys.argv[1], "quorvi-mac")
NETNS = os.path.join(ROOT, "scripts/test-env/avahi-netns")


if os.geteuid() != 0:
    skip("the namespaced avahi-daemon needs root")

started = subprocess.run([NETNS, "start"], capture_output=True, text=True, timeout=120)
if started.returncode != 0:
    skip("avahi-netns could not start: " + started.stdout + started.stderr)


def browse_ports():
    prefix = ["ip", "netns", "exec", "quorvi-mdns"]
    result = subprocess.run(prefix + ["timeout", "20", "avahi-browse", "-rtpk", "_quorvi._tcp"],
                            capture_output=True, text=True)
    ports = set()
    for line in result.stdout.splitlines():
        fields = line.split(";")
        if len(fields) >= 9 and fields[0] == "=":
            ports.add(int(fields[8]))
    return ports


def eventually(predicate, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.3)
    return predicate()


with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]

env = dict(os.environ)
env.pop("DISPLAY", None)
env["XDG_CONFIG_HOME"] = "/tmp/quorvi-avahi-test-config"
server = subprocess.Popen([BIN, "--headless", "--bind", "127.0.0.1", "--port", str(port)],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
lines = queue.Queue()
seen = []
threading.Thread(target=lambda: [lines.put(l.rstrip("\n")) for l in server.stdout],
                 daemon=True).start()


def wait_line(predicate, timeout=15):
    deadline = time.time() + timeout
    for line in seen:
        if predicate(line):
            return line
    while time.time() < deadline:
        try:
            line = lines.get(timeout=0.1)
        except queue.Empty:
            continue
        seen.append(line)
        if predicate(line):
            return line
    return None


try:
    check(wait_line(lambda l: l.startswith("journal: Prêt")) is not None, "server ready")
    check(eventually(lambda: port in browse_ports(), 20),
          f"avahi-browse finds _quorvi._tcp on port {port}")

    subprocess.run([NETNS, "daemon-stop"], capture_output=True, timeout=60)
    line = wait_line(lambda l: l.startswith("journal: Bonjour indisponible: "), 20)
    check(line is not None, f"the journal says why Bonjour is unavailable ({line})")
    check(line is None or "échoué" not in line, "without the word the window reads as stopped")
    client = socket.create_connection(("127.0.0.1", port))
    check(wait_line(lambda l: l == "connectionName: iPhone connecté") is not None,
          "clients are still served by address")
    client.close()

    subprocess.run([NETNS, "start"], capture_output=True, timeout=120)
    check(eventually(lambda: port in browse_ports(), 30),
          "a restarted daemon gets the service again")
finally:
    server.send_signal(signal.SIGTERM)
    try:
        check(server.wait(timeout=10) == 0, "SIGTERM exits with 0")
    except subprocess.TimeoutExpired:
        server.kill()
        failures.append("server did not stop")
    stopped = subprocess.run([NETNS, "stop"], capture_output=True, text=True, timeout=60)
    print(stopped.stdout.strip())

finish()
