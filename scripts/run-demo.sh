#!/usr/bin/env bash
# `make run`: serves the built CGI with lighttpd from the demo installation in demo/ (laid out
# on the first run, reused afterwards) on 127.0.0.1, port 8080 or $PORT. Ctrl-C stops it.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
port="${PORT:-8080}"
cgi="${QUORB_CGI:-$repo/build/quorb.cgi}"

command -v lighttpd >/dev/null || PATH="$PATH:/usr/sbin"
command -v lighttpd >/dev/null || bash "$repo/scripts/install-deps.sh" run
[ -x "$cgi" ] || { echo "missing $cgi: run make build" >&2; exit 1; }

# Run as root, the CGI runs as an unprivileged account, which then owns demo/.
if [ "$(id -u)" -eq 0 ] && [ -z "${QUORB_DEMO_USER:-}" ]; then
  QUORB_DEMO_USER=nobody
  getent passwd www-data >/dev/null && QUORB_DEMO_USER=www-data
  export QUORB_DEMO_USER
fi
bash "$repo/scripts/lay-out-demo.sh" "$repo/demo" "$port" "$cgi"
lighttpd -tt -f "$repo/demo/lighttpd.conf" >/dev/null

echo "QUORB demo: open http://127.0.0.1:$port/"
echo "  data: $repo/demo/data   configuration: $repo/demo/config/quorb.cfg"
echo "  server and program log: $repo/demo/lighttpd.log   (Ctrl-C stops the server)"
exec lighttpd -D -f "$repo/demo/lighttpd.conf"
