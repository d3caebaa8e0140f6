"""What the scripted end-to-end checks share: a line per check on standard
output, the failures kept for the exit status, and the skip status CTest
knows (77) for a machine that cannot run a check at all."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIPPED = 77
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def skip(why):
    print("skipped: " + why, flush=True)
    sys.exit(SKIPPED)


def finish():
    sys.exit(1 if failures else 0)
