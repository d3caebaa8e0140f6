#!/usr/bin/env python3
"""Extended mode end to end, with real peers: dbus-send switches the mode,
xrandr sees the virtual monitor, quorvi-client receives its frames, and the
monitor goes away on mirror, on SIGTERM and after a crash.
Argument: the folder of the binaries. Exit 77 (skipped) without root."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

from checklist import ROOT, check, finish, skip

BIN = sys.argv[1]
XORG = os.path.join(ROOT, "scripts/test-env/xorg-dummy")
NUMBER = "88"


if os.geteuid() != 0:
    skip("Xorg with the dummy driver needs root")
started = subprocess.run([XORG, "start", NUMBER], capture_output=True, text=True, timeout=90)
if started.returncode != 0:
    skip("Xorg did not start: " + started.stdout + started.stderr)
display = started.stdout.strip()
config = tempfile.mkdtemp(prefix="quorvi-modes-")
bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                      "--print-pid=1"], capture_output=True, text=True, timeout=20)
bus_address, bus_pid = (bus.stdout.split() + ["", ""])[:2]
env = dict(os.environ, DISPLAY=display, XDG_CONFIG_HOME=config,
           DBUS_SESSION_BUS_ADDRESS=bus_address)


def monitors():
    return subprocess.run(["xrandr", "--listmonitors"], capture_output=True, text=True,
                          env=env, timeout=20).stdout


def screen_size():
    out = subprocess.run(["xrandr", "--current"], capture_output=True, text=True, env=env,
                         timeout=20).stdout
    return out.split("current ")[1].split(",")[0].replace(" ", "") if "current " in out else ""


def signal_mode(name):
    subprocess.run(["dbus-send", "--session", "--type=signal", "/",
                    "brenholt.quorvi.mac." + name], env=env, timeout=20)


def eventually(predicate, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


def start_server(port):
    return subprocess.Popen([os.path.join(BIN, "quorvi-mac"), "--headless", "--bind",
                             "127.0.0.1", "--port", str(port)], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


try:
    server = start_server(54621)
    time.sleep(1.5)
    signal_mode("useExtendedMode")
    check(eventually(lambda: "Quorvi-" in monitors() and "1400/" in monitors()
                     and "x646/" in monitors() and "+1920+0" in monitors()),
          "a Quorvi monitor of 1400 x 646 right of the primary")
    client = subprocess.run([os.path.join(BIN, "quorvi-client"), "127.0.0.1:54621",
                             "--frames", "8"], capture_output=True, text=True, timeout=60)
    check(client.returncode == 0, "the client reads well-formed frames")
    check("size=1400x646" in client.stdout, "frames come at the virtual display's size")
    signal_mode("useMirrorMode")
    check(eventually(lambda: "Quorvi-" not in monitors()), "mirror removes the monitor")
    check(eventually(lambda: screen_size() == "1920x1200"), "and shrinks the screen back")
    with open(os.path.join(config, "brenholt", "QuorviMac.conf")) as stored:
        check("quorviMac.displayMode=mirror" in stored.read(), "the mode is stored")

    signal_mode("useExtendedMode")
    check(eventually(lambda: "Quorvi-" in monitors()), "extended again")
    server.send_signal(signal.SIGTERM)
    check(server.wait(timeout=15) == 0, "SIGTERM exits with 0")
    check("Quorvi-" not in monitors() and screen_size() == "1920x1200",
          "SIGTERM leaves no monitor and the screen as it was")

    # The stored mode is extended: a new start enters it; a crash leaves
    # the monitor behind, and the next start clears it.
    server = start_server(54622)
    check(eventually(lambda: "Quorvi-" in monitors()), "the stored extended mode survives a restart")
    server.kill()
    server.wait(timeout=10)
    leftover = [l for l in monitors().splitlines() if "Quorvi-" in l]
    server = start_server(54623)
    time.sleep(3)
    now = [l for l in monitors().splitlines() if "Quorvi-" in l]
    check(len(now) == 1 and now != leftover, "a crash's leftover is replaced, not kept beside")
    server.send_signal(signal.SIGINT)
    check(server.wait(timeout=15) == 0, "SIGINT exits with 0")
    check("Quorvi-" not in monitors() and screen_size() == "1920x1200",
          "SIGINT leaves no monitor")
finally:
    if server.poll() is None:
        server.kill()
    if bus_pid.isdigit() and int(bus_pid) > 1:
        os.kill(int(bus_pid), signal.SIGTERM)
    subprocess.run([XORG, "stop", NUMBER], capture_output=True, timeout=90)

finish()
