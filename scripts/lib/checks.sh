# Checks for the test scripts: failures are counted in $failures, and each is said on its own line. Sourced (bash).
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect CODE TEXT COMMAND...: the command must exit with CODE and print a line holding TEXT.
expect() {
    local code=$1 text=$2 out status
    shift 2
    out=$("$@" 2>&1)
    status=$?
    if [[ $status -ne $code ]] || ! grep -qF -- "$text" <<< "$out"; then
        fail "$* exited $status (wanted $code) and needed a line with: $text"
        sed 's/^/    /' <<< "$out"
    fi
}
