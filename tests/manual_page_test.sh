#!/bin/sh
# The manual page must format without a single warning from groff.
set -eu
command -v groff > /dev/null || { echo "skipped: groff is not installed"; exit 77; }
warnings=$(groff -man -ww -z "$1" 2>&1)
if [ -n "$warnings" ]; then
    printf '%s\n' "$warnings"
    exit 1
fi
