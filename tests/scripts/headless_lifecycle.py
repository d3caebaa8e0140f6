#!/usr/bin/env python3
"""quorvi-mac --headless as a user runs it: options, statuses on standard
output, clients over loopback, signals and exit codes."""
import os
import signal
import socket
import subprocess
import tempfile

from checklist import BIN, Headless, check, finish, free_port

result = subprocess.run([os.path.join(BIN, "quorvi-mac"), "--headless", "--port", "70000"],
                        capture_output=True, text=True, timeout=10)
check(result.returncode == 2 and "Port invalide" in result.stderr,
      f"a bad --port exits with 2 and says why ({result.stderr.strip()[:80]})")

port = free_port()
server = Headless("--port", str(port))
check(server.wait_for(lambda l: l == f"status: Démarrage Bonjour sur port {port}") is not None,
      "announces the port it was given")
check(server.wait_for(lambda l: l == "journal: Prêt: iPhone peut détecter ce Mac") is not None,
      "becomes ready")
client = socket.create_connection(("127.0.0.1", port))
check(server.wait_for(lambda l: l == "connectionName: iPhone connecté") is not None,
      "a client is shown as connected")
# A polite goodbye: half-close, then read until the server closes (unread
# frames would make the close a reset, rightly reported as a failure).
client.shutdown(socket.SHUT_WR)
client.settimeout(5)
while client.recv(65536):
    pass
client.close()
check(server.wait_for(lambda l: l == "journal: Déconnecté") is not None,
      "a client that leaves is shown as disconnected")
check(server.stop(signal.SIGTERM) == 0, "SIGTERM exits with 0")

# A taken port: the server says so and keeps running until told to stop.
with socket.create_server(("127.0.0.1", 0)) as blocker:
    server = Headless("--port", str(blocker.getsockname()[1]))
    line = server.wait_for(lambda l: l.startswith("journal: Erreur serveur: "))
    check(line is not None and server.process.poll() is None,
          f"a taken port is journaled as a server error, and the process runs on ({line})")
    check(server.stop(signal.SIGINT) == 0, "until SIGINT, which exits with 0")

# Who may connect: a device held for approval gets nothing and is answered
# over the session bus; an address outside --allow is closed at once.
bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                     capture_output=True, text=True, timeout=20).stdout.split()
env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
env.update(DBUS_SESSION_BUS_ADDRESS=bus[0], XDG_CONFIG_HOME=tempfile.mkdtemp())
port = free_port()
server = Headless("--port", str(port), "--allow", "127.0.0.1", "--approve-new-devices", env=env)
server.wait_for(lambda l: l == "journal: Prêt: iPhone peut détecter ce Mac")
held = socket.create_connection(("127.0.0.1", port), timeout=10)
check(server.wait_for(lambda l: l == "pendingDevice: 127.0.0.1") is not None, "a new device waits")
subprocess.run(["dbus-send", "--session", "--type=signal", "/",
                "brenholt.quorvi.mac.denyPendingDevice"], env=env, timeout=10)
check(server.wait_for(lambda l: l == "pendingDevice: ") is not None and held.recv(1) == b"",
      "denied over D-Bus, it is closed without a byte")
other = socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.2", 0),
                                 timeout=10)
check(other.recv(1) == b"" and server.wait_for(
    lambda l: l == "journal: Connexion refusée: 127.0.0.2 (hors des réseaux autorisés)"),
    "an address outside --allow is closed and journaled")
check(server.stop(signal.SIGTERM) == 0, "and the server stops as usual")
os.kill(int(bus[1]), signal.SIGTERM)

finish()
