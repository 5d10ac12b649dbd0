#!/usr/bin/env bash
# A site set up from docs/deploy.md alone, as ctest runs it:
#   tests/peers/deploy_docs.sh lighttpd|apache CGI
# Follows "A fresh site, step by step" and the web server's section word for word, with
# /opt/quorb and /srv/quorb moved into a fresh folder and the server on a free loopback port;
# then, over HTTP, runs the wizard's first page, checks the home page with its images and help,
# creates a sheet and shows it. As root, with a Postfix of its own as the relay, it sees the
# sheet's notification and its synchronisation message reach their mailboxes and the mail's
# link open the sheet. Then it runs the printing line, the backup, the cron line, the integrity
# check and the upgrade as the docs write them.
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
postfix_etc=""
cleanup() {
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null; sleep 0.3; }
  [ -z "$postfix_etc" ] || postfix -c "$postfix_etc" stop >/dev/null 2>&1 || true
  [ -n "${QUORB_KEEP_DEPLOY:-}" ] || rm -rf "$root"
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
  ' "$repo/docs/deploy.md" | sed -e "s|/opt/quorb|$root/opt/quorb|g" -e "s|/srv/quorb|$root/srv/quorb|g" \
    -e "s|/var/log/lighttpd|$root/run|g" -e "s|/etc/cron.d|$root/cron.d|g" -e "s|/backup/|$root/backup/|g"
}

# Runs the command lines of a block as an administrator would, but for the build (done by the
# test's caller).
run_block() {
  local line
  while IFS= read -r line; do
    line="${line%%#*}"
    [ -n "${line// /}" ] && [[ $line != make* ]] || continue
    line="${line//build\/quorb.cgi/$cgi}"
    line="${line//www-data/$user}"
    [ "$(id -u)" -eq 0 ] || line="${line//runuser -u $user --/}"
    (cd "$repo" && eval "$line") || fail "step failed: $line"
  done < <(doc_block "$1")
}

# The step-by-step commands, run as written.
user=www-data
[ "$(id -u)" -eq 0 ] || user="$(id -un)"
run="$root/run"
run_block "## A fresh site, step by step"

# A relay of the test's own (root only): Postfix on a free loopback port, delivering every mail
# for corp.test into one Maildir and refusing every other domain.
smtp=127.0.0.1:1
mailbox=""
if [ "$(id -u)" -eq 0 ] && command -v postfix >/dev/null && getent passwd postfix >/dev/null; then
  pf="$root/postfix"
  mkdir -p "$pf/etc" "$pf/queue" "$pf/data" "$pf/mail"
  chown postfix: "$pf/data" "$pf/mail"
  smtp_port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  smtp="127.0.0.1:$smtp_port"
  pf_uid="$(id -u postfix)"
  pf_gid="$(id -g postfix)"
  cat >"$pf/etc/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
meta_directory = /etc/postfix
shlib_directory = no
mail_owner = postfix
setgid_group = postdrop
myhostname = relay.corp.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = reject_unauth_destination
virtual_mailbox_domains = corp.test
virtual_mailbox_base = $pf/mail
virtual_mailbox_maps = static:inbox/
virtual_uid_maps = static:$pf_uid
virtual_gid_maps = static:$pf_gid
virtual_minimum_uid = 1
maillog_file = $pf/postfix.log
maillog_file_prefixes = $pf
alias_maps =
alias_database =
smtputf8_enable = no
biff = no
default_transport = error:no mail leaves the test
relay_transport = error:no mail leaves the test
EOF
  cat >"$pf/etc/master.cf" <<EOF
$smtp inet n - n - - smtpd
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
smtp unix - - n - - smtp
relay unix - - n - - smtp
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
showq unix n - n - - showq
EOF
  postfix -c "$pf/etc" start >/dev/null 2>&1 && postfix_etc="$pf/etc" && mailbox="$pf/mail/inbox/new"
fi

# The server's own files, in a folder its user may write.
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
expect "$home" "QUORB Setup Wizard"
step1="$(page -L --data-urlencode "data=$root/srv/quorb/data/" --data-urlencode "cfg=$root/srv/quorb/config/" \
  --data-urlencode "mel=$smtp" -d "CMD=setup&Edit=12&Wizzard=1&img=/quorb/images/&hst=site-a&lang=EN" \
  -d "PERSIST=0&pop=&popU=%23&popP=&dom=corp.test&www=quorb" \
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
printf 'DOCS:D:boss:admin:partner@corp.test\n' >>"$cfg/project.cfg"
# The partners' shared secret (docs/sync.md), readable by the server's account alone: without
# it the synchronisation messages wait on the site.
(umask 077 && printf 'deploy-test-shared-secret\n' >"$cfg/DOCS_sync.key")
[ "$(id -u)" -ne 0 ] || chown "$user" "$cfg/DOCS_sync.key"
# The manager hears of new sheets, and an address the relay refuses for good shows in the log.
printf 'boss:boss@corp.test\noutsider:outsider@elsewhere.test\n' >"$cfg/DOCS_users.cfg"
printf 'new M outsider\n' >"$cfg/sendmail.cfg"
printf 'Core:C\n' >"$cfg/DOCS_subproject.cfg"
printf 'prog1\n' >"$cfg/DOCS_program.cfg"
printf '1.0\n' >"$cfg/DOCS_version.cfg"
created="$(page -L -d "CMD=new&title=Deployed&project=DOCS&group=Core&prog=prog1&sev=2" \
  -d "impact=a&phase=a&version=1.0&submitter=admin" "$base/cgi-bin/quorb.cgi")"
sheet="$(grep -oE 'D[A-Za-z0-9]*\.[0-9]{5}' <<<"$created" | head -n 1)"
[ -n "$sheet" ] || { echo "$created" | head -n 30 >&2; fail "no sheet created"; }
shown="$(page "$base/cgi-bin/quorb.cgi?Num=$sheet")"
expect "$shown" "Deployed"

# The sheet's mails leave whatever the server does to the program once its page is out.
if [ -n "$mailbox" ]; then
  for _ in $(seq 100); do
    [ "$(ls "$mailbox" 2>/dev/null | wc -l)" -ge 2 ] && break
    sleep 0.2
  done
  notice="$(grep -l "^Subject: Bug $sheet New" "$mailbox"/* 2>/dev/null | head -n 1)"
  [ -n "$notice" ] || fail "no notification reached the mailbox ($(tail -n 5 "$pf/postfix.log"))"
  grep -lq "^Subject: Quorb-Synchro DOCS " "$mailbox"/* || fail "no synchronisation message reached the partner"
  # The mail's link leads back to the site the wizard was opened at.
  link="$(grep -oE "HREF=http://127\.0\.0\.1:$port/cgi-bin/quorb\.cgi\?CMD=Edit&Num=$sheet&Edit=0" "$notice" | head -n 1)"
  [ -n "$link" ] || fail "the mail has no link to the site: $(grep -m 3 HREF "$notice")"
  expect "$(page "${link#HREF=}")" "Deployed"
  log="$run/breakage.log"
  [ "$server" = apache ] && log="$run/server.log $root/srv/quorb/data/Mail/delivery.log"
  # shellcheck disable=SC2086
  grep -qsh "quorb: mail .* outsider@elsewhere.test" $log || fail "the refused recipient is in no log"
  [ "$(stat -c %a "$root"/srv/quorb/data/Mail/*.env | sort -u)" = 600 ] || fail "spool entries readable by others"
fi

# The printing line is the one the wizard wrote.
grep -qxF "PRINT $(doc_block "## Printing through CUPS" | sed -n 's/^PRINT //p')" "$cfg/quorb.cfg" ||
  fail "the wizard writes another print command than the docs"
# The backup, readable by its owner alone.
mkdir -p "$root/backup"
run_block "## Backups"
[ "$(stat -c %a "$root"/backup/quorb-*.tgz)" = 600 ] || fail "the backup is readable by others"
# The cron line, installed and then run as cron runs it.
mkdir -p "$root/cron.d"
run_block "## A quiet site: the cron line"
IFS=' ' read -r _ _ _ _ _ cron_user cron_command <"$root/cron.d/quorb"
[ "$cron_user" = "$user" ] || fail "the cron line runs as $cron_user"
if [ "$(id -u)" -eq 0 ]; then
  runuser -u "$cron_user" -- env -i PATH=/usr/bin:/bin sh -c "$cron_command" || fail "the cron command failed"
else
  env -i PATH=/usr/bin:/bin sh -c "$cron_command" || fail "the cron command failed"
fi
run_block "## Integrity check"
# The upgrade, while the site serves: the site answers as before and the store is sound.
run_block "## Upgrading"
expect "$(page "$base/cgi-bin/quorb.cgi?Num=$sheet")" "Deployed"
# A script's key reaches the program through the server as docs/api.md says (Apache drops
# the Authorization header without CGIPassAuth): a right key is answered, a wrong one refused.
echo "API YES" >>"$cfg/quorb.cfg"
key="qka0000beef_$(printf '%032d' 7)"
printf '0000beef a %s kolvar DOCS 0 0 deploy\n' "$(printf %s "$key" | sha256sum | cut -d' ' -f1)" \
  >"$cfg/apikeys.dat"
chown "$user" "$cfg/apikeys.dat" 2>/dev/null || true
chmod 600 "$cfg/apikeys.dat"
api="$base/cgi-bin/quorb.cgi?CMD=api&v=1&call=projects"
[ "$(curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $key" "$api")" = 200 ] ||
  fail "a script's key is refused: $(curl -s -H "Authorization: Bearer $key" "$api")"
[ "$(curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer ${key%7}8" "$api")" = 401 ] ||
  fail "the Authorization header does not reach the program"
echo "deploy_docs ($server): site from the docs answers; sheet $sheet created, shown${mailbox:+ and mailed}"
