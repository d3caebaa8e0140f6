#!/usr/bin/env python3
"""The wlroots desktop end to end on a headless sway, with real peers: the
server picks the back-end by itself, quorvi-client decodes frames that show
what swaybg paints, a tap reaches wev, and extended mode adds an output right
of the main one, streams it, takes a tap on it, and gives it up on mirror
and on SIGTERM. Exit 77 (skipped) without root."""
import json
import os
import signal
import subprocess
import tempfile

from checklist import (BIN, ROOT, Headless, Peers, check, eventually, failures, finish, free_port,
                       near, pixel, skip)

SWAY = os.path.join(ROOT, "scripts/test-env/sway-headless")
if os.geteuid() != 0:
    skip("sway as a throwaway user needs root")
subprocess.run([SWAY, "stop", "82"], capture_output=True, timeout=60)
started = subprocess.run([SWAY, "start", "82"], capture_output=True, text=True, timeout=60)
if started.returncode != 0:
    skip("sway headless did not start: " + started.stdout + started.stderr)
bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                     capture_output=True, text=True, timeout=20).stdout.split()
env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
env.update(pair.split("=", 1) for pair in started.stdout.split())
env.update(DBUS_SESSION_BUS_ADDRESS=bus[0], XDG_CONFIG_HOME=tempfile.mkdtemp(prefix="quorvi-wl-"))
peers = Peers(env)
run, peer, client, use = peers.run, peers.peer, peers.client, peers.use


def wev_saw(x, y):
    """wev logged a press of the left button at surface point (x, y)."""
    with open(wev_log) as log:
        lines = log.read().splitlines()
    at = [i for i, line in enumerate(lines) if f"x, y: {x:.6f}, {y:.6f}" in line]
    return any("button: 272 (left), state: 1 (pressed)" in line
               for line in lines[at[0]:] if at) if at else False


def outputs():
    return {o["name"]: o for o in json.loads(run("swaymsg", "-t", "get_outputs").stdout)}


def virtual():
    """Our outputs still in use: sway 1.7 cannot switch one off, so a given
    up output is parked at one pixel."""
    return [o for name, o in outputs().items()
            if name != "HEADLESS-1" and o["active"] and o["rect"]["width"] > 1]


server = None
wev_log = None
try:
    peer("swaybg", "-c", "#3366cc")
    port = free_port()
    server = Headless("--port", str(port), env=env)
    check(server.wait_for(lambda l: l.startswith("backend:")) == "backend: wlroots",
          "a wlroots compositor is chosen by itself")
    server.wait_for(lambda l: l.startswith("journal: Prêt"))
    png = os.path.join(env["XDG_CONFIG_HOME"], "last.png")
    mirrored = client(port, "--frames", "8", "--save", png)
    check(mirrored.returncode == 0 and "size=" in mirrored.stdout, "frames decode")
    check(near(pixel(png, 0.1, 0.1), (0x33, 0x66, 0xcc)), "and show what swaybg paints")
    wev_log = os.path.join(env["XDG_CONFIG_HOME"], "wev.log")
    peer("stdbuf", "-oL", "wev", log=open(wev_log, "w"))
    check(eventually(lambda: run("swaymsg", "[app_id=wev] fullscreen").returncode == 0), "wev is up")
    client(port, "--tap", "0.25,0.5", "--frames", "3")
    check(eventually(lambda: wev_saw(480, 600)), "a tap lands where it was aimed on the main output")

    use("Extended")
    check(eventually(lambda: [o for o in virtual() if o["scale"] == 2 and o["rect"] == {
        "x": 1920, "y": 0, "width": 700, "height": 323} and o["current_mode"]["width"] == 1400]),
          "extended mode adds an output of 1400 x 646 pixels at scale 2 right of the main one")
    extended = client(port, "--frames", "8")
    check(extended.returncode == 0 and "size=1400x646" in extended.stdout,
          "the client reads frames at the virtual output's size")
    run("swaymsg", "[app_id=wev] move container to output " + virtual()[0]["name"])
    client(port, "--tap", "0.5,0.5", "--frames", "3")
    check(eventually(lambda: wev_saw(350, 161.5)), "a tap on the virtual output lands on it")
    use("Mirror")
    check(eventually(lambda: not virtual()), "mirror gives the output up")
    use("Extended")
    check(eventually(virtual), "extended again")
    check(server.stop(signal.SIGTERM) == 0 and not virtual(), "SIGTERM exits with 0, no output left")
finally:
    if server:
        server.process.kill()
    if wev_log and failures:
        print(open(wev_log).read()[-3000:])
    peers.kill_all()
    os.kill(int(bus[1]), signal.SIGTERM)
    subprocess.run([SWAY, "stop", "82"], capture_output=True, timeout=60)

finish()
