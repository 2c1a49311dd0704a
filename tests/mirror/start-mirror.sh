#!/bin/bash
# Starts the test HTTPS mirror for a test run (the CTest fixture "mirror"): makes the certificates when they are
# missing or about to expire, makes the test CA trusted in the Wine prefix, empties the served folder and starts
# mirror.py detached from every pipe (CTest would otherwise wait for it), then waits until it accepts connections.
#
#   start-mirror.sh STATE_DIR PORT WINE_RUN INSTALL_CA_EXE
#
# STATE_DIR receives certs/, root/ (the served folder), mirror.pid and mirror.log. The wrong-host and untrusted
# ports are PORT+1 and PORT+2.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lib/certs.sh"
source "$here/../../scripts/lib/wine.sh"
state=${1:?usage: start-mirror.sh STATE_DIR PORT WINE_RUN INSTALL_CA_EXE}
port=${2:?}
wine_run=${3:?}
install_ca=${4:?}
certs=$state/certs
root=$state/root
pidfile=$state/mirror.pid
logfile=$state/mirror.log

mkdir -p "$state"
"$here/stop-mirror.sh" "$state"

refresh_certs "$certs"
"$wine_run" "$install_ca" "$(windows_path "$certs/ca.pem")" </dev/null

rm -rf "$root"
mkdir -p "$root"
: >"$logfile"
setsid python3 "$here/mirror.py" --root "$root" --certs "$certs" --port "$port" --wrong-host-port $((port + 1)) \
    --untrusted-port $((port + 2)) --pidfile "$pidfile" --log "$logfile" </dev/null >>"$logfile" 2>&1 &

for _ in $(seq 100); do
    # The pid file appears only once every port listens.
    if [ -f "$pidfile" ]; then
        echo "mirror $(cat "$pidfile") serves $root on ports $port-$((port + 2))"
        exit 0
    fi
    if ! kill -0 $! 2>/dev/null; then
        break
    fi
    sleep 0.1
done
echo "the mirror did not start:" >&2
cat "$logfile" >&2
exit 1
