#!/bin/sh
exec python3 "$(dirname "$0")/display_modes.py" "$@"
