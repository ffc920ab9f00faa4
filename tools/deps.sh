#!/bin/sh
# Installs what the optional parts of the build and the tests need, where this
# machine allows it: Debian packages through apt-get when run as root, the editor
# tests' npm packages through `npm ci`. It never fails: whatever it cannot
# provide, the build or the test runner later names as skipped.
set -u
cd "$(dirname "$0")/.."

# Debian packages: libedit-dev (line editing in the REPL), nlohmann-json3-dev
# (the language server), groff (the manual page check).
missing=""
dpkg-query -W -f='${Status}' libedit-dev 2>/dev/null | grep -q "ok installed" || missing="$missing libedit-dev"
dpkg-query -W -f='${Status}' nlohmann-json3-dev 2>/dev/null | grep -q "ok installed" || missing="$missing nlohmann-json3-dev"
command -v groff >/dev/null 2>&1 && [ -e /usr/share/groff/current/tmac/an.tmac ] || missing="$missing groff"
command -v pkg-config >/dev/null 2>&1 || missing="$missing pkg-config"
if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "deps: installing$missing"
        (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing) >/dev/null 2>&1 \
            || echo "deps: could not install$missing"
    else
        echo "deps: not root or no apt-get; missing:$missing"
    fi
fi

# npm packages of the editor tests, pinned by the committed lock file.
if [ -f editors/vscode/package-lock.json ]; then
    if command -v npm >/dev/null 2>&1; then
        if [ ! -d editors/vscode/node_modules ] || [ editors/vscode/package-lock.json -nt editors/vscode/node_modules ]; then
            (cd editors/vscode && npm ci --no-audit --no-fund --loglevel=error) >/dev/null 2>&1 \
                || echo "deps: npm ci failed in editors/vscode"
        fi
    else
        echo "deps: npm not found; the editor tests will be skipped"
    fi
fi
exit 0
