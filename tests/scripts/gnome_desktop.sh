#!/bin/sh
exec python3 "$(dirname "$0")/gnome_desktop.py" "$@"
