# The test mirror's certificates (tests/mirror/make-certs.sh), shared by the test mirror, the demo and the benchmark.
# Sourced (bash), not run.
source "$(dirname "${BASH_SOURCE[0]}")/base.sh"

# refresh_certs DIR: makes the certificates in DIR afresh when they are missing or expire within a day.
refresh_certs() {
    local certs=$1
    if [ ! -f "$certs/ca.pem" ] ||
        ! openssl x509 -in "$certs/localhost-chain.pem" -noout -checkend 86400 >/dev/null 2>&1; then
        rm -rf "$certs"
        "$ROOT/tests/mirror/make-certs.sh" "$certs"
    fi
}
