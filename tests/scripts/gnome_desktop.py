#!/usr/bin/env python3
"""The GNOME desktop end to end on a headless Mutter, with real peers: the
server picks the back-end by itself, quorvi-client decodes frames that show
what a Wayland client paints, a tap reaches that client where it was aimed,
and
extended mode makes a virtual monitor of the viewport's size that Mutter's
display configuration lists and the client sees, removed on mirror and on
SIGTERM. Exit 77 (skipped) without root."""
import os
import re
import signal
import subprocess
import tempfile

from checklist import (BIN, ROOT, Headless, Peers, check, eventually, failures, finish, free_port,
                       near, pixel, skip)

MUTTER = os.path.join(ROOT, "scripts/test-env/mutter-headless")
if os.geteuid() != 0:
    skip("Mutter as a throwaway user needs root")
subprocess.run([MUTTER, "stop", "91"], capture_output=True, timeout=60)
started = subprocess.run([MUTTER, "start", "91"], capture_output=True, text=True, timeout=60)
if started.returncode != 0:
    skip("Mutter headless did not start: " + started.stdout + started.stderr)
env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
env.update(pair.split("=", 1) for pair in started.stdout.split())
env.update(XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="quorvi-gnome-"))
peers = Peers(env)
run, peer, client, use = peers.run, peers.peer, peers.client, peers.use


def presses():
    """The window points where the animator saw the left button go down."""
    with open(animator_log) as log:
        return [tuple(float(v) for v in line.split()[1:]) for line in log
                if line.startswith("press ")]


def monitors():
    """Mutter's logical monitors as (x, y, scale, connector, mode width, height)."""
    state = run("gdbus", "call", "--session", "--dest", "org.gnome.Mutter.DisplayConfig",
                "--object-path", "/org/gnome/Mutter/DisplayConfig",
                "--method", "org.gnome.Mutter.DisplayConfig.GetCurrentState").stdout
    modes = {m.group(1): (int(m.group(2)), int(m.group(3))) for m in re.finditer(
        r"\('(\S+?)', '[^']*', '[^']*', '[^']*'\), \[[^\]]*?\('[^']*', (\d+), (\d+), [^{]*"
        r"\{'is-current': <true>", state)}
    return [(int(m.group(1)), int(m.group(2)), float(m.group(3)), m.group(4),
             *modes.get(m.group(4), (0, 0))) for m in re.finditer(
        r"\((-?\d+), (-?\d+), ([\d.]+), (?:uint32 )?\d+, (?:true|false), \[\('(\S+?)'", state)]


def virtual():
    return [m for m in monitors() if m[3] != "Meta-0"]


server = None
animator_log = None
try:
    # The still page, fullscreen: a blue gradient whose top-left corner is (30, 60, 120).
    animator_log = os.path.join(env["XDG_CONFIG_HOME"], "animator.log")
    peer(os.path.join(BIN, "quorvi-animate-wayland"), "--scene", "static",
         log=open(animator_log, "w"))
    port = free_port()
    server = Headless("--port", str(port), env=env)
    check(server.wait_for(lambda l: l.startswith("backend:")) == "backend: gnome",
          "a GNOME session is chosen by itself")
    server.wait_for(lambda l: l.startswith("journal: Prêt"))
    png = os.path.join(env["XDG_CONFIG_HOME"], "last.png")
    # The first picture comes once Mutter has started the stream: a second or so.
    mirrored = client(port, "--frames", "30", "--save", png)
    check(mirrored.returncode == 0 and "size=" in mirrored.stdout, "frames decode")
    check(near(pixel(png, 0.01, 0.01), (30, 60, 120)), "and show what the Wayland client paints")
    client(port, "--tap", "0.25,0.5", "--frames", "3")
    check(eventually(lambda: (480, 600) in presses()),
          "a tap lands where it was aimed on the main monitor: " + repr(presses()))

    use("Extended")
    # Mutter 43 offers no scale 2 for a monitor this small: it keeps scale 1.
    check(eventually(lambda: [m for m in virtual() if m[:2] == (1920, 0) and m[4:] == (
        1400, 646)]), "extended mode adds a monitor of 1400 x 646 pixels right of the main "
                      "one: " + repr(monitors()))
    extended = client(port, "--frames", "8")
    check(extended.returncode == 0 and "size=1400x646" in extended.stdout,
          "the client reads frames at the virtual monitor's size")
    use("Mirror")
    check(eventually(lambda: not virtual()), "mirror removes the monitor")
    use("Extended")
    check(eventually(virtual), "extended again")
    check(server.stop(signal.SIGTERM) == 0 and eventually(lambda: not virtual()),
          "SIGTERM exits with 0 and the monitor goes")
finally:
    if server:
        server.process.kill()
    if animator_log and failures:
        print(open(animator_log).read()[-3000:])
    peers.kill_all()
    subprocess.run([MUTTER, "stop", "91"], capture_output=True, timeout=60)

finish()
