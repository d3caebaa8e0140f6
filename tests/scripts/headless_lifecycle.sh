#!/bin/sh
exec python3 "$(dirname "$0")/headless_lifecycle.py" "$@"
