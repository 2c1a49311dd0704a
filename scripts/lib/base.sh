# The toolkit's base, sourced by scripts/common.sh and by each file beside this one: the repository's root and the
# progress line. Sourced (bash), not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

log() { printf '== %s\n' "$*"; }
