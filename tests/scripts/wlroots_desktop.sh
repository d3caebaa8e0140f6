#!/bin/sh
exec python3 "$(dirname "$0")/wlroots_desktop.py" "$@"
