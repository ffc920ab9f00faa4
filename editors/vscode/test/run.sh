#!/bin/sh
# Runs the given Node test files of the editor extension (paths relative to
# editors/vscode), or exits 77, which CTest reports as skipped, with one line
# saying what is missing.
# A skip fails instead where VESSRIN_NO_SKIP is set (CI: these tests must run).
skip() {
    if [ -n "${VESSRIN_NO_SKIP:-}" ]; then echo "FAIL: cannot run, VESSRIN_NO_SKIP is set"; exit 1; fi
    exit 77
}
cd "$(dirname "$0")/.." || exit 1
if ! command -v node >/dev/null 2>&1; then
    echo "skipped: node not found on PATH"
    skip
fi
if ! node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 18 ? 0 : 1)'; then
    echo "skipped: node $(node --version) is older than 18 (node --test)"
    skip
fi
if [ ! -d node_modules ]; then
    echo "skipped: editors/vscode/node_modules missing (make deps runs npm ci there)"
    skip
fi
exec node --test "$@"
