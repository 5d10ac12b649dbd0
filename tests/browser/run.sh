#!/usr/bin/env bash
# The browser tests, as ctest runs them:   tests/browser/run.sh CGI OUTPUT_DIR
# Debian's Chromium, driven headless by playwright-core, against lighttpd serving CGI from a
# fresh installation (laid out by scripts/lay-out-demo.sh) on a free loopback port.
# Screenshots go to OUTPUT_DIR.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
(($# == 2)) || { echo "usage: $0 CGI OUTPUT_DIR" >&2; exit 2; }

command -v lighttpd >/dev/null || PATH="$PATH:/usr/sbin"
if [ ! -x /usr/bin/chromium ] || ! command -v lighttpd >/dev/null; then
  bash "$here/../../scripts/install-deps.sh"
fi
# The driver comes from the lock file; installed again only when the lock file changed.
if [ ! -d "$here/node_modules/playwright-core" ] ||
  [ "$here/package-lock.json" -nt "$here/node_modules/.package-lock.json" ]; then
  (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
fi

mkdir -p "$2"
export QUORB_CGI="$1" QUORB_BROWSER_OUTPUT="$(cd "$2" && pwd)"
start=$(date +%s%N)
status=0
node --test --test-reporter=tap "$here"/*.test.mjs || status=$?
echo "browser tests took $((($(date +%s%N) - start) / 1000000)) ms; screenshots in $QUORB_BROWSER_OUTPUT"
exit $status
