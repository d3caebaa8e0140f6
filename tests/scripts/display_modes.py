#!/usr/bin/env python3
"""Extended mode end to end, with real peers: dbus-send switches the mode,
xrandr sees the virtual monitor, quorvi-client receives its frames, and the
monitor goes away on mirror, on SIGTERM, on SIGINT and after a crash, and a
start in mirror mode clears what a killed run left, never a live run's.
Exit 77 (skipped) without root."""
import os
import signal
import subprocess
import tempfile

from checklist import BIN, ROOT, Headless, check, eventually, finish, skip

XORG = os.path.join(ROOT, "scripts/test-env/xorg-dummy")
if os.geteuid() != 0:
    skip("Xorg with the dummy driver needs root")
started = subprocess.run([XORG, "start", "88"], capture_output=True, text=True, timeout=90)
if started.returncode != 0:
    skip("Xorg did not start: " + started.stdout + started.stderr)
bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                     capture_output=True, text=True, timeout=20).stdout.split()
env = dict(os.environ, DISPLAY=started.stdout.strip(), DBUS_SESSION_BUS_ADDRESS=bus[0],
           XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="quorvi-modes-"))


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=60)


def monitors():
    return [m for m in run("xrandr", "--listmonitors").stdout.splitlines() if "Quorvi-" in m]


def as_it_was():
    return not monitors() and "current 1920 x 1200," in run("xrandr", "--current").stdout


def use(mode):
    run("dbus-send", "--session", "--type=signal", "/", f"brenholt.quorvi.mac.use{mode}Mode")


def start(port, environment=None):
    server = Headless("--port", str(port), env=environment or env)
    server.wait_for(lambda l: l.startswith("journal: Prêt"))
    return server


def names():
    return [m.split()[1] for m in monitors()]


server = start(54621)
try:
    use("Extended")
    check(eventually(lambda: any("1400/" in m and "x646/" in m and "+1920+0" in m
                                 for m in monitors())),
          "a Quorvi monitor of 1400 x 646 right of the primary")
    client = run(os.path.join(BIN, "quorvi-client"), "127.0.0.1:54621", "--frames", "8")
    check(client.returncode == 0 and "size=1400x646" in client.stdout,
          "the client reads well-formed frames at the virtual display's size")
    use("Mirror")
    check(eventually(as_it_was), "mirror removes the monitor and shrinks the screen back")
    use("Extended")
    check(eventually(monitors), "extended again")
    check(server.stop(signal.SIGTERM) == 0 and as_it_was(), "SIGTERM exits with 0, no monitor left")

    # The stored mode is extended: a new start enters it; a crash leaves
    # the monitor behind, and the next start replaces it.
    server = start(54622)
    check(eventually(monitors), "the stored extended mode survives a restart")
    server.stop(signal.SIGKILL)
    leftover = monitors()
    server = start(54623)
    check(eventually(lambda: len(monitors()) == 1 and monitors() != leftover),
          "a crash's leftover is replaced, not kept beside")
    check(server.stop(signal.SIGINT) == 0 and as_it_was(), "SIGINT exits with 0, no monitor left")

    # Two runs in extended mode (the stored one), the first killed: a third
    # started in mirror mode (a fresh configuration) removes the killed run's
    # monitor and says so, and leaves the live run's alone.
    mirror_env = dict(env, XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="quorvi-mirror-"))
    killed = start(54624)
    check(eventually(lambda: len(names()) == 1), "a first run in extended mode")
    leftover = names()
    server = start(54625)
    check(eventually(lambda: len(names()) == 2), "a second run beside it keeps the first's monitor")
    killed.stop(signal.SIGKILL)
    cleaner = Headless("--port", "54626", env=mirror_env)
    removed = cleaner.wait_for(lambda l: l.startswith("journal: Écran virtuel abandonné"))
    check(removed == "journal: Écran virtuel abandonné retiré: " + leftover[0] and
          eventually(lambda: len(names()) == 1 and names() != leftover),
          "a start in mirror mode removes the killed run's monitor, not the live run's")
    server.stop(signal.SIGKILL)
    cleaner.stop(signal.SIGTERM)
    cleaner = start(54627, mirror_env)
    check(eventually(as_it_was), "and, once the last run was killed too, shrinks the screen back")
    server = cleaner
finally:
    server.process.kill()
    os.kill(int(bus[1]), signal.SIGTERM)
    subprocess.run([XORG, "stop", "88"], capture_output=True, timeout=90)

finish()
