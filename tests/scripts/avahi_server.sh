#!/bin/sh
exec python3 "$(dirname "$0")/avahi_server.py" "$@"
