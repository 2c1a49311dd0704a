#!/bin/bash
# Stops the test mirror that start-mirror.sh started for STATE_DIR (by the process id it recorded), if it runs.
#
#   stop-mirror.sh STATE_DIR
set -uo pipefail

pidfile=${1:?usage: stop-mirror.sh STATE_DIR}/mirror.pid
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile")
rm -f "$pidfile"
# Only a process that is still this mirror: the id may have been reused since.
if [ -n "$pid" ] && grep -qa "mirror.py" "/proc/$pid/cmdline" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
fi
exit 0
