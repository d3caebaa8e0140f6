#!/usr/bin/env python3
"""The headless server advertised through a real avahi-daemon and found by a
real avahi-browse. scripts/test-env/avahi-netns runs the daemon in a private
network namespace (mDNS never reaches a real interface), or uses a desktop's
own as it finds it. Exit 77 (skipped) without root."""
import os
import subprocess

from checklist import ROOT, Headless, check, eventually, finish, free_port, skip

NETNS = os.path.join(ROOT, "scripts/test-env/avahi-netns")
if os.geteuid() != 0:
    skip("the namespaced avahi-daemon needs root")
started = subprocess.run([NETNS, "start"], capture_output=True, text=True, timeout=120)
if started.returncode != 0:
    skip("avahi-netns could not start: " + started.stdout + started.stderr)
# Interface names read as in the namespace when the daemon is ours there.
ours = "using the avahi-daemon that already runs" not in started.stdout
browse = (["ip", "netns", "exec", "quorvi-mdns"] if ours else []) + [
    "timeout", "20", "avahi-browse", "-rtpk", "_quorvi._tcp"]


def ports():
    out = subprocess.run(browse, capture_output=True, text=True).stdout
    return {int(f[8]) for f in (line.split(";") for line in out.splitlines())
            if f[0] == "=" and len(f) > 8}


port = free_port()
server = Headless("--port", str(port))
try:
    check(server.wait_for(lambda l: l.startswith("journal: Prêt")) is not None, "server ready")
    check(eventually(lambda: port in ports(), 30), f"avahi-browse finds _quorvi._tcp on {port}")
finally:
    check(server.stop() == 0, "SIGTERM exits with 0")
    print(subprocess.run([NETNS, "stop"], capture_output=True, text=True, timeout=60).stdout)

finish()
