#!/usr/bin/env bash
# A site set up from docs/deploy.md alone, as ctest runs it:
#   tests/peers/deploy_docs.sh lighttpd|apache CGI
# Follows "A fresh site, step by step" and the web server's section word for word, with
# /opt/quorb and /srv/quorb moved into a fresh folder and the server on a free loopback port;
# then, over HTTP, runs the wizard's first page, checks the home page with its images and help,
# creates a sheet and shows it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
server="$1"
cgi="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
PATH="$PATH:/usr/sbin"
if ! command -v curl >/dev/null || { [ "$server" = apache ] && ! command -v apache2 >/dev/null; }; then
  bash "$repo/scripts/install-deps.sh"
fi

root="$(mktemp -d /tmp/quorb-deploy-XXXXXX)"
chmod 755 "$root"
pid=""
cleanup() {
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null; sleep 0.3; }
  rm -rf "$root"
}
trap cleanup EXIT
fail() {
  echo "deploy_docs ($server): $*" >&2
  for log in "$run"/*.log; do [ -e "$log" ] && tail -n 20 "$log" >&2; done
  exit 1
}

# The indented block that follows the first line matching $1 (the first block of a section).
doc_block() {
  awk -v head="$1" '
    index($0, head) == 1 { found = 1; next }
    found && /^    / { inside = 1; print substr($0, 5); next }
    found && inside && /^$/ { print ""; next }
    found && inside { exit }
  ' "$repo/docs/deploy.md" | sed -e "s|/opt/quorb|$root/opt/quorb|g" -e "s|/srv/quorb|$root/srv/quorb|g"
}

# The step-by-step commands, run as written but for the build (done by the test's caller).
user=www-data
[ "$(id -u)" -eq 0 ] || user="$(id -un)"
while IFS= read -r line; do
  line="${line%%#*}"
  [ -n "${line// /}" ] && [[ $line != make* ]] || continue
  line="${line//build\/quorb.cgi/$cgi}"
  line="${line//www-data/$user}"
  (cd "$repo" && eval "$line") || fail "step failed: $line"
done < <(doc_block "## A fresh site, step by step")

# The server's own files, in a folder its user may write.
run="$root/run"
install -d -o "$user" "$run"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
case "$server" in
  lighttpd)
    {
      echo "server.bind = \"127.0.0.1\""
      echo "server.port = $port"
      echo "server.document-root = \"$root\""
      echo "server.errorlog = \"$run/server.log\""
      [ "$(id -u)" -eq 0 ] && echo "server.username = \"$user\"" && echo "server.groupname = \"$user\""
      echo 'mimetype.assign = (".gif" => "image/gif", ".html" => "text/html", ".js" => "text/javascript")'
      doc_block "## lighttpd"
    } >"$root/server.conf"
    lighttpd -D -f "$root/server.conf" >"$run/stdout.log" 2>&1 &
    pid=$!
    ;;
  apache)
    modules=/usr/lib/apache2/modules
    {
      echo "ServerRoot $root"
      echo "Listen 127.0.0.1:$port"
      echo "ServerName localhost"
      echo "PidFile $run/apache.pid"
      echo "ErrorLog $run/server.log"
      echo "ScriptSock $run/cgid.sock"
      [ "$(id -u)" -eq 0 ] && echo "User $user" && echo "Group $user"
      for m in mpm_event authz_core alias env mime dir cgid; do
        echo "LoadModule ${m}_module $modules/mod_$m.so"
      done
      echo "TypesConfig /etc/mime.types"
      echo "DocumentRoot $root"
      doc_block "## Apache 2.4"
    } >"$root/server.conf"
    apache2 -X -f "$root/server.conf" >"$run/stdout.log" 2>&1 &
    pid=$!
    ;;
  *) fail "unknown server" ;;
esac

base="http://127.0.0.1:$port"
for _ in $(seq 50); do
  curl -s -o /dev/null "$base/" && break
  sleep 0.1
done

page() { curl -s --max-time 20 "$@" || fail "no answer: $*"; }
expect() {
  grep -qF -- "$2" <<<"$1" || { head -n 40 <<<"$1" >&2; fail "page lacks: $2"; }
}
status() { curl -s -o /dev/null -w '%{http_code}' --max-time 20 "$1"; }

home="$(page "$base/cgi-bin/quorb.cgi")"
expect "$home" "QUORB Setup Wizzard"
step1="$(page -L --data-urlencode "data=$root/srv/quorb/data/" --data-urlencode "cfg=$root/srv/quorb/config/" \
  -d "CMD=setup&Edit=12&Wizzard=1&img=/quorb/images/&mel=localhost&hst=localhost&lang=EN" \
  -d "PERSIST=0&pop=localhost&popU=%23&popP=&dom=localhost&www=www" \
  --data-urlencode "prt=iconv -f ISO-8859-1 -t UTF-8 %s | lp -o cpi=12 -o lpi=7" \
  "$base/cgi-bin/quorb.cgi")"
expect "$step1" "Default Setup Completed"
expect "$step1" "Copying Language File : langue.EN"

home="$(page -L "$base/")"
image="$(grep -oiE 'src=/quorb/images/[^ >]+' <<<"$home" | head -n 1 | cut -d= -f2)"
[ -n "$image" ] || fail "the home page shows no image"
[ "$(status "$base$image")" = 200 ] || fail "image $image not served"
help="$(grep -oiE 'HREF="?/quorb/help/[^" >]*' <<<"$home" | head -n 1 | sed 's/^[^=]*="\?//')"
[ -n "$help" ] && [ "$(status "$base$help")" = 200 ] || fail "help ${help:-link} not served"
[ "$(status "$base/quorb/java/StatPlot.js")" = 200 ] || fail "plot script not served"

# A project of its own, then a sheet created and shown through the server.
cfg="$root/srv/quorb/config"
printf 'DOCS:D:admin:admin\n' >>"$cfg/project.cfg"
printf 'Core:C\n' >"$cfg/DOCS_subproject.cfg"
printf 'prog1\n' >"$cfg/DOCS_program.cfg"
printf '1.0\n' >"$cfg/DOCS_version.cfg"
created="$(page -L -d "CMD=new&title=Deployed&project=DOCS&group=Core&prog=prog1&sev=2" \
  -d "impact=a&phase=a&version=1.0&submitter=admin" "$base/cgi-bin/quorb.cgi")"
sheet="$(grep -oE 'D[A-Za-z0-9]*\.[0-9]{5}' <<<"$created" | head -n 1)"
[ -n "$sheet" ] || { echo "$created" | head -n 30 >&2; fail "no sheet created"; }
shown="$(page "$base/cgi-bin/quorb.cgi?Num=$sheet")"
expect "$shown" "Deployed"
echo "deploy_docs ($server): site from the docs answers; sheet $sheet created and shown"
