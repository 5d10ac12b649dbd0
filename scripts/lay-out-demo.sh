#!/usr/bin/env bash
# Lays out a ready installation in ROOT and writes ROOT/lighttpd.conf to serve it on PORT:
#   scripts/lay-out-demo.sh ROOT PORT CGI
# ROOT/config holds quorb.cfg, the default project files (share/defaults) and the language
# files (share/config); ROOT/data holds the sheets with tmp, Stats, Tests, Synchro/in and
# Synchro/out; ROOT/temp is the CGI's TEMP; ROOT/java is the applet folder. Files that exist
# already are kept, so a second run reuses the installation and its data; only the language
# files and the server configuration are written again.
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

mkdir -p "$root"/config "$root"/temp "$root"/java "$root"/www \
  "$root"/data/{tmp,Stats,Tests,Synchro/in,Synchro/out}

if [ ! -e "$root/config/quorb.cfg" ]; then
  cat >"$root/config/quorb.cfg" <<EOF
#
# Fichier de Configuration Principal de Quorb
#
# $root/config/quorb.cfg
#
DATADIR $root/data/
CONFIGDIR $root/config/
IMGDIR /quorb/images/
PRINT lp -o2 %s
MAILSERV localhost
HOSTNAME localhost
DOMAIN localhost
SECURITY NO
LANGUAGE EN
PERSIST 0
POP3 localhost
POP3USER #
POP3PASS *
WWW www
EOF
fi

for f in "$repo"/share/defaults/*.cfg; do
  [ -e "$root/config/$(basename "$f")" ] || cp "$f" "$root/config/"
done
cp "$repo"/share/config/langue.* "$root/config/"

# lighttpd strings are double-quoted; the paths come from the repository and mktemp.
cat >"$root/lighttpd.conf" <<EOF
# Written by scripts/lay-out-demo.sh on every run.
server.modules = ("mod_alias", "mod_rewrite", "mod_setenv", "mod_cgi")
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$root/www"
server.errorlog = "$root/lighttpd.log"
index-file.names = ("index.html")
mimetype.assign = (".gif" => "image/gif", ".png" => "image/png", ".html" => "text/html",
                   ".css" => "text/css", ".class" => "application/java-vm",
                   ".jar" => "application/java-archive")

# The CGI and the folders its pages name: IMGDIR /quorb/images/, the help folder beside it,
# and the applet folder /quorb/java/.
alias.url = ("/cgi-bin/quorb.cgi" => "$cgi",
             "/quorb/images/" => "$repo/share/images/",
             "/quorb/help/" => "$repo/share/help/",
             "/quorb/java/" => "$root/java/")
cgi.assign = ("quorb.cgi" => "")
# The home page at the site's root; the pages then link to SCRIPT_NAME /cgi-bin/quorb.cgi.
url.rewrite-once = ("^/(\\?.*)?\$" => "/cgi-bin/quorb.cgi\$1")
# PWD is the folder whose config/ holds quorb.cfg.
setenv.add-environment = ("PWD" => "$root", "TEMP" => "$root/temp")
EOF
