#!/usr/bin/env bash
# Lays out a ready installation in ROOT and writes ROOT/lighttpd.conf to serve it on PORT:
#   scripts/lay-out-demo.sh ROOT PORT CGI
# A fresh ROOT is installed by the program's own setup wizard: the language files are copied
# to ROOT/config, then the wizard's steps are posted to the CGI as a browser would post them
# (directories and default files, then the projects TEST and DEMO with their sub-projects,
# programs, versions, deadlines and members). ROOT/temp is the CGI's TEMP; ROOT/java is the
# applet folder, holding the plot script (share/applet). An installation that exists already
# is reused with its data; only the language files, the plot script and the server
# configuration are written again. The demo collects no mailbox and has no partner site. What
# the program says on its standard error goes to ROOT/lighttpd.log, as when lighttpd runs it.
# With QUORB_DEMO_USER set (by root), the CGI runs as that account and ROOT is given to it.
set -euo pipefail

if (($# != 3)); then
  echo "usage: $0 ROOT PORT CGI" >&2
  exit 2
fi
repo="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$1"
root="$(cd "$1" && pwd)"
port="$2"
cgi="$(cd "$(dirname "$3")" && pwd)/$(basename "$3")"

mkdir -p "$root"/config "$root"/temp "$root"/java "$root"/www
cp "$repo"/share/config/langue.* "$root/config/"
cp "$repo"/share/applet/* "$root/java/"

# The account the CGI runs as: the caller's, or an unprivileged one for root.
as_user=()
server_user="${QUORB_DEMO_USER:-}"
user_conf=""
if [ -n "$server_user" ]; then
  user_conf="server.username = \"$server_user\"
server.groupname = \"$(id -gn "$server_user")\""
  chown -R "$server_user:" "$root/config" "$root/temp" "$root/java" "$root/www"
  [ ! -e "$root/data" ] || chown -R "$server_user:" "$root/data"
  chown "$server_user:" "$root"
  as_user=(runuser -u "$server_user" --)
fi
log="$root/lighttpd.log"
touch "$log"
[ -z "$server_user" ] || chown "$server_user:" "$log"

# One request to the CGI as the web server makes it: GET with a query, or POST with a body.
cgi_request() {
  local method="$1" data="$2"
  if [ "$method" = GET ]; then
    "${as_user[@]}" env -i PATH="$PATH" PWD="$root" TEMP="$root/temp" SCRIPT_NAME=/cgi-bin/quorb.cgi \
      HTTP_HOST="127.0.0.1:$port" REQUEST_METHOD=GET QUERY_STRING="$data" "$cgi" 2>>"$log"
  else
    printf '%s' "$data" | "${as_user[@]}" env -i PATH="$PATH" PWD="$root" TEMP="$root/temp" \
      SCRIPT_NAME=/cgi-bin/quorb.cgi HTTP_HOST="127.0.0.1:$port" REQUEST_METHOD=POST QUERY_STRING= \
      CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH="${#data}" "$cgi" 2>>"$log"
  fi
}

# Posts wizard step N with the fields that follow; fails when the page does not show EXPECT.
wizard_step() {
  local step="$1" expect="$2"
  shift 2
  local body="CMD=setup&Edit=12&Wizzard=$step" field out
  for field in "$@"; do body+="&$field"; done
  out="$(cgi_request POST "$body")"
  # A stored step answers with a redirection to its page; follow it as a browser does.
  if [[ "$out" == "Status: 303"* ]]; then
    out="$(cgi_request GET "$(sed -n 's/^Location: [^?]*?//p' <<<"$out" | head -n 1)")"
  fi
  if ! grep -qF -- "$expect" <<<"$out"; then
    echo "setup wizard step $step failed:" >&2
    echo "$out" >&2
    exit 1
  fi
}

# The members of a project: login, e-mail, password, then the seven rights.
members() {
  local row=0 login
  for login in kolvar tessin; do
    printf 'V0_%d=%s&V1_%d=%s%%40localhost&V2_%d=%s' $row $login $row $login $row $login
    for col in 3 4 5 6 7 8 9; do printf '&V%d_%d=YES' $col $row; done
    printf '&'
    row=$((row + 1))
  done
  printf 'LINES=3&text=xxx'
}

# QUORB_LAYOUT_BARE=1 leaves the wizard to a browser (the browser test of the wizard).
if [ ! -e "$root/config/quorb.cfg" ] && [ "${QUORB_LAYOUT_BARE:-}" != 1 ]; then
  # The home page of an empty installation is the wizard.
  # grep reads the whole page: stopping at the match would kill the CGI with SIGPIPE.
  cgi_request GET "" | grep -F "QUORB Setup Wizard" >/dev/null || {
    echo "the home page of a fresh installation is not the setup wizard" >&2
    exit 1
  }
  wizard_step 1 "Default Setup Completed" "data=$root/data/" "cfg=$root/config/" \
    "img=/quorb/images/" "prt=iconv+-f+ISO-8859-1+-t+UTF-8+%25s+%7C+lp+-o+cpi%3D12+-o+lpi%3D7" "mel=localhost" "hst=localhost" "lang=EN" \
    "PERSIST=0" "pop=" "popU=%23" "popP=" "dom=localhost" "www=www"
  wizard_step 3 "DEMO subproject.cfg Setup" "text=xxx" "LINES=3" \
    "V0_0=TEST" "V1_0=T" "V2_0=kolvar" "V3_0=tessin" \
    "V0_1=DEMO" "V1_1=D" "V2_1=kolvar" "V3_1=tessin"
  wizard_step 4 "DEMO program.cfg Setup" "project=DEMO" "text=xxx" "LINES=3" \
    "V0_0=client" "V1_0=20" "V0_1=server" "V1_1=30"
  wizard_step 5 "phase.cfg Setup" "project=DEMO" "text=web%0Abatch%0A"
  wizard_step 7 "DEMO deadline.cfg Setup" "project=DEMO" "text=1.0%0A1.1%0A"
  wizard_step 8 "impacts.cfg Setup" "project=DEMO" "text=1.0%0A1.1%0A2.0%0A"
  wizard_step 10 "sendmail.cfg Setup" "project=TEST" "$(members)"
  wizard_step 10 "sendmail.cfg Setup" "project=DEMO" "$(members)"
fi
# Folders of a newer version are added by the home page itself.
[ -e "$root/config/quorb.cfg" ] && cgi_request GET "" >/dev/null

# lighttpd strings are double-quoted; the paths come from the repository and mktemp.
cat >"$root/lighttpd.conf" <<EOF
# Written by scripts/lay-out-demo.sh on every run.
server.modules = ("mod_alias", "mod_rewrite", "mod_setenv", "mod_cgi")
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$root/www"
server.errorlog = "$root/lighttpd.log"
server.breakagelog = "$root/lighttpd.log"
$user_conf
index-file.names = ("index.html")
mimetype.assign = (".gif" => "image/gif", ".png" => "image/png", ".html" => "text/html",
                   ".css" => "text/css", ".js" => "text/javascript",
                   ".class" => "application/java-vm",
                   ".jar" => "application/java-archive")

# The CGI and the folders its pages name: IMGDIR /quorb/images/, the help folder beside it,
# and the applet folder /quorb/java/.
alias.url = ("/cgi-bin/quorb.cgi" => "$cgi",
             "/quorb/images/" => "$repo/share/images/",
             "/quorb/help/" => "$repo/share/help/",
             "/quorb/java/" => "$root/java/")
cgi.assign = ("quorb.cgi" => "")
# The forms are Latin-1: lighttpd's URL normalization answers 400 to the bytes 0xF5-0xFF that
# UTF-8 never holds (u and y with diaeresis or acute, thorn, in a GET query). The CGI checks what it gets itself.
server.http-parseopts = ("url-normalize" => "disable")
# The home page at the site's root; the pages then link to SCRIPT_NAME /cgi-bin/quorb.cgi.
url.rewrite-once = ("^/(\\?.*)?\$" => "/cgi-bin/quorb.cgi\$1")
# PWD is the folder whose config/ holds quorb.cfg.
setenv.add-environment = ("PWD" => "$root", "TEMP" => "$root/temp")
EOF
