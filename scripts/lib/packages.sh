# Debian packages: installs those of a list that are missing. Works on a fresh Debian 12 machine as root, and for a
# developer who has the packages. Sourced (bash), not run.
source "$(dirname "${BASH_SOURCE[0]}")/base.sh"

# install_packages PACKAGE...: installs the ones dpkg does not list as installed; as anyone but root, names them and
# fails instead.
install_packages() {
    local missing="" p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages:$missing (run as root, or install them)" >&2
        return 1
    fi
    log "installing$missing"
    # A package such as nginx would start its system service on port 80; the scripts start their own, so keep the
    # services off while installing.
    local policy=/usr/sbin/policy-rc.d made_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        made_policy=1
    fi
    local status=0
    { apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null; } ||
        status=$?
    [ -n "$made_policy" ] && rm -f "$policy"
    return $status
}
