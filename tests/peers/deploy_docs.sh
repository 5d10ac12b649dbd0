#!/usr/bin/env bash
# Sites set up from docs/deploy.md and docs/sync.md alone, as ctest runs it:
#   tests/peers/deploy_docs.sh lighttpd|apache CGI
# Follows "A fresh site, step by step" and the web server's section word for word, with
# /opt/quorb and /srv/quorb moved into a fresh folder and the server on a free loopback port;
# then, over HTTP, runs the wizard's first page and its project step, checks the home page with
# its images and help, creates a sheet and shows it. As root, with a Postfix of its own as the
# relay, it sees the sheet's notification and its synchronisation message reach their
# mailboxes and the mail's link open the sheet. Then it runs the printing line, the backup, the
# cron line, the integrity check and the upgrade as the docs write them. As root it also
# prints the sheet through a cupsd of its own after the documented `lpadmin -d` lines, and lays
# out a second site to run docs/sync.md's two sites step by step, with Dovecot serving their
# mailboxes: a sheet made on one site reaches the other by the cron line, a change made there
# comes back, the MAC is the documented one, and after a new secret is entered on both sites'
# synchronisation pages a sheet still travels and neither page lists an error.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
server="$1"
cgi="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
PATH="$PATH:/usr/sbin"
if ! command -v curl >/dev/null || { [ "$server" = apache ] && ! command -v apache2 >/dev/null; } ||
  { [ "$(id -u)" -eq 0 ] && ! { command -v postfix && command -v cupsd && command -v dovecot && command -v openssl; } >/dev/null; }; then
  bash "$repo/scripts/install-deps.sh"
fi

root="$(mktemp -d /tmp/quorb-deploy-XXXXXX)"
chmod 755 "$root"
pids=()
postfix_etc=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ ${#pids[@]} -eq 0 ] || sleep 0.3
  [ -z "$postfix_etc" ] || postfix -c "$postfix_etc" stop >/dev/null 2>&1 || true
  [ -n "${QUORB_KEEP_DEPLOY:-}" ] || rm -rf "$root"
}
trap cleanup EXIT
fail() {
  echo "deploy_docs ($server): $*" >&2
  for log in "$run"/*.log "$root"/b/run/*.log "$root"/peers/*.log; do
    [ -e "$log" ] && tail -n 20 "$log" >&2
  done
  exit 1
}

# The site the documented lines act on: site A in $root, site B (docs/sync.md) in $root/b.
site="$root"
peer_site="$root/b"
queue=""
smtp=127.0.0.1:1
pop3=127.0.0.1:1

# The documented lines as run on this machine: the folders of the docs moved into the site's
# folder, the servers they name replaced by the test's own, the copy to site B a local one.
localise() {
  sed -e "s|^scp |cp |" -e "s|root@b\.example\.org:/srv/quorb|@PEER@|g" \
    -e "s|/opt/quorb|$site/opt/quorb|g" -e "s|/srv/quorb|$site/srv/quorb|g" -e "s|@PEER@|$peer_site/srv/quorb|g" \
    -e "s|/var/log/lighttpd|$site/run|g" -e "s|/etc/cron.d|$site/cron.d|g" -e "s|/backup/|$root/backup/|g" \
    -e "s|mail\.example\.org|$smtp|g" -e "s|pop\.example\.org|$pop3|g" -e "s|QUEUE|$queue|g"
}

# The indented block number $2 (the first by default) of the section whose heading starts
# with $1 in docs/deploy.md.
doc_block() {
  awk -v head="$1" -v want="${2:-1}" '
    index($0, head) == 1 { found = 1; next }
    !found { next }
    /^#/ { exit }
    /^    / { if (!inside) n++; inside = 1; if (n == want) print substr($0, 5); next }
    /^$/ { if (inside && n == want) print ""; next }
    n >= want { exit }
    { inside = 0 }
  ' "$repo/docs/deploy.md" | localise
}

# Every indented block of the section headed $1 in docs/$2, each after a line "@ " holding the
# first line of the paragraph before it.
section_blocks() {
  awk -v head="$1" '
    index($0, head) == 1 { found = 1; next }
    !found { next }
    /^#/ { exit }
    /^    / { if (lead != "") print "@ " lead; lead = ""; print substr($0, 5); after = 1; next }
    /^$/ { after = 1; next }
    after { lead = $0; after = 0 }
  ' "$repo/docs/$2"
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
  done < <(doc_block "$1" "${2:-1}")
}

# The step-by-step commands, run as written.
user=www-data
[ "$(id -u)" -eq 0 ] || user="$(id -un)"
run="$root/run"
run_block "## A fresh site, step by step"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
accepts() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# A relay of the test's own (root only): Postfix on a free loopback port, delivering the mail
# of the two sites' synchronisation mailboxes into a Maildir each, every other mail for
# corp.test into one Maildir, and refusing every other domain.
mailbox=""
if [ "$(id -u)" -eq 0 ] && command -v postfix >/dev/null && getent passwd postfix >/dev/null; then
  pf="$root/postfix"
  mkdir -p "$pf/etc" "$pf/queue" "$pf/data" "$pf/mail"
  chown postfix: "$pf/data" "$pf/mail"
  smtp_port="$(free_port)"
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
virtual_mailbox_domains = corp.test a.example.org b.example.org
virtual_mailbox_base = $pf/mail
virtual_mailbox_maps = inline:{ quorb-sync@a.example.org=quorb-sync-a/, quorb-sync@b.example.org=quorb-sync-b/ }, static:inbox/
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
  postfix -c "$pf/etc" start >"$pf/start.log" 2>&1 || fail "postfix did not start: $(cat "$pf/start.log")"
  postfix_etc="$pf/etc"
  mailbox="$pf/mail/inbox/new"
elif [ "$(id -u)" -ne 0 ]; then
  echo "deploy_docs ($server): not run as root: no relay, POP3 server or spooler of its own," \
    "so mail, printing and the second site are not tried" >&2
fi

# The POP3 server of the synchronisation mailboxes (docs/sync.md): Dovecot serving the
# Maildirs Postfix writes, under the logins and passwords the docs give the sites.
if [ -n "$mailbox" ] && [ -x /usr/sbin/dovecot ] && getent passwd dovenull >/dev/null; then
  peers="$root/peers"
  mkdir -p "$peers/run/state"
  pop3_port="$(free_port)"
  printf 'quorb-sync-a:{PLAIN}pop-password-of-a\nquorb-sync-b:{PLAIN}pop-password-of-b\n' >"$peers/passwd"
  cat >"$peers/dovecot.conf" <<EOF
base_dir = $peers/run
state_dir = $peers/run/state
log_path = $peers/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = 1
mail_location = maildir:$pf/mail/%u
passdb {
  driver = passwd-file
  args = $peers/passwd
}
userdb {
  driver = static
  args = uid=$pf_uid gid=$pf_gid home=$pf/mail/%u
}
service pop3-login {
  chroot =
  inet_listener pop3 {
    address = 127.0.0.1
    port = $pop3_port
  }
  inet_listener pop3s {
    port = 0
  }
}
service anvil {
  chroot =
}
service imap-login {
  chroot =
}
EOF
  env -i PATH=/usr/sbin:/usr/bin:/bin /usr/sbin/dovecot -F -c "$peers/dovecot.conf" >"$peers/dovecot.out" 2>&1 &
  pids+=($!)
  accepts "$pop3_port" || fail "dovecot did not start: $(cat "$peers/dovecot.out" "$peers/dovecot.log" 2>/dev/null)"
  pop3="127.0.0.1:$pop3_port"
fi

# A print spooler of the test's own (root only): cupsd on a free loopback port with a queue
# whose device is a file; the documented lines and the web server's program reach it through
# CUPS_SERVER.
cups_server=""
if [ "$(id -u)" -eq 0 ] && command -v cupsd >/dev/null && command -v lpadmin >/dev/null; then
  cups="$root/cups"
  mkdir -p "$cups"/{etc,spool,cache,state,tmp,log,out}
  chmod 1777 "$cups/tmp"
  cups_port="$(free_port)"
  cat >"$cups/etc/cupsd.conf" <<EOF
Listen 127.0.0.1:$cups_port
LogLevel info
WebInterface No
Browsing No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
  cat >"$cups/etc/cups-files.conf" <<EOF
FileDevice Yes
ServerRoot $cups/etc
RequestRoot $cups/spool
CacheDir $cups/cache
StateDir $cups/state
TempDir $cups/tmp
AccessLog $cups/log/access_log
ErrorLog $cups/log/error_log
PageLog $cups/log/page_log
ServerBin /usr/lib/cups
DataDir /usr/share/cups
SystemGroup root
EOF
  # A queue that hands text unchanged to its file, as a text printer's would.
  cat >"$cups/listing.ppd" <<'EOF'
*PPD-Adobe: "4.3"
*FormatVersion: "4.3"
*FileVersion: "1.0"
*LanguageVersion: English
*LanguageEncoding: ISOLatin1
*PCFileName: "QUORB.PPD"
*Manufacturer: "QUORB"
*Product: "(Listing)"
*ModelName: "Listing file"
*ShortNickName: "Listing file"
*NickName: "Listing file"
*PSVersion: "(3010.000) 0"
*LanguageLevel: "3"
*ColorDevice: False
*DefaultColorSpace: Gray
*FileSystem: False
*Throughput: "1"
*TTRasterizer: Type42
*cupsVersion: 2.4
*cupsFilter: "text/plain 0 gziptoany"
*OpenUI *PageSize: PickOne
*DefaultPageSize: A4
*PageSize A4: ""
*CloseUI: *PageSize
*DefaultImageableArea: A4
*ImageableArea A4: "0 0 595 842"
*DefaultPaperDimension: A4
*PaperDimension A4: "595 842"
EOF
  cupsd -f -c "$cups/etc/cupsd.conf" -s "$cups/etc/cups-files.conf" >"$cups/log/cupsd.out" 2>&1 &
  pids+=($!)
  accepts "$cups_port" || fail "cupsd did not start: $(cat "$cups/log/cupsd.out" "$cups/log/error_log" 2>/dev/null)"
  cups_server="127.0.0.1:$cups_port"
  export CUPS_SERVER="$cups_server"
  queue=listing
  lpadmin -p "$queue" -E -v "file://$cups/out/listing.txt" -P "$cups/listing.ppd" 2>/dev/null ||
    fail "no queue: $(tail -n 5 "$cups/log/error_log")"
fi

# Serves the site in $site on port $1 as the docs configure the server, with the test's own
# lines around the documented ones (address, logs, the spooler of the test).
serve() {
  run="$site/run"
  install -d -o "$user" "$run"
  case "$server" in
    lighttpd)
      {
        echo "server.bind = \"127.0.0.1\""
        echo "server.port = $1"
        echo "server.document-root = \"$site\""
        echo "server.errorlog = \"$run/server.log\""
        [ "$(id -u)" -eq 0 ] && echo "server.username = \"$user\"" && echo "server.groupname = \"$user\""
        echo 'mimetype.assign = (".gif" => "image/gif", ".html" => "text/html", ".js" => "text/javascript")'
        doc_block "## lighttpd"
        [ -z "$cups_server" ] || echo "setenv.add-environment += (\"CUPS_SERVER\" => \"$cups_server\")"
      } >"$site/server.conf"
      lighttpd -D -f "$site/server.conf" >"$run/stdout.log" 2>&1 &
      pids+=($!)
      ;;
    apache)
      local modules=/usr/lib/apache2/modules m
      {
        echo "ServerRoot $site"
        echo "Listen 127.0.0.1:$1"
        echo "ServerName localhost"
        echo "PidFile $run/apache.pid"
        echo "ErrorLog $run/server.log"
        echo "ScriptSock $run/cgid.sock"
        [ "$(id -u)" -eq 0 ] && echo "User $user" && echo "Group $user"
        for m in mpm_event authz_core alias env mime dir cgid; do
          echo "LoadModule ${m}_module $modules/mod_$m.so"
        done
        echo "TypesConfig /etc/mime.types"
        echo "DocumentRoot $site"
        doc_block "## Apache 2.4"
        [ -z "$cups_server" ] || echo "SetEnv CUPS_SERVER $cups_server"
      } >"$site/server.conf"
      apache2 -X -f "$site/server.conf" >"$run/stdout.log" 2>&1 &
      pids+=($!)
      ;;
    *) fail "unknown server" ;;
  esac
  for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$1/" && break
    sleep 0.1
  done
  # Apache's CGI daemon binds its socket (ScriptSock and its pid) as root, mode 0700, and only
  # then hands it to the server's user: a request in between is refused ("unable to connect to
  # cgi daemon"), as a busy machine showed.
  if [ "$server" = apache ]; then
    local sock
    for _ in $(seq 50); do
      sock="$(find "$run" -maxdepth 1 -name 'cgid.sock*' -type s -user "$user" -print -quit)"
      [ -n "$sock" ] && break
      sleep 0.1
    done
  fi
}

page() { curl -s --max-time 20 "$@" || fail "no answer: $*"; }
expect() {
  grep -qF -- "$2" <<<"$1" || { head -n 40 <<<"$1" >&2; fail "page lacks: $2"; }
}
status() { curl -s -o /dev/null -w '%{http_code}' --max-time 20 "$1"; }

# The wizard's first pages for the site in $site, served at $1, named $2.
wizard() {
  local home step1
  home="$(page "$1/cgi-bin/quorb.cgi")"
  expect "$home" "QUORB Setup Wizard"
  step1="$(page -L --data-urlencode "data=$site/srv/quorb/data/" --data-urlencode "cfg=$site/srv/quorb/config/" \
    --data-urlencode "mel=$smtp" -d "CMD=setup&Edit=12&Wizzard=1&img=/quorb/images/&hst=$2&lang=EN" \
    -d "PERSIST=0&pop=&popU=%23&popP=&dom=corp.test&www=quorb" \
    --data-urlencode "prt=iconv -f ISO-8859-1 -t UTF-8 %s | lp -o cpi=12 -o lpi=7" \
    "$1/cgi-bin/quorb.cgi")"
  expect "$step1" "Default Setup Completed"
  expect "$step1" "Copying Language File : langue.EN"
  # Its project step, as the wizard offers it: TEST takes the lists the wizard wrote.
  expect "$(page -L -d "CMD=setup&Edit=12&Wizzard=3&text=xxx&LINES=1&V0_0=TEST&V1_0=T&V2_0=kolvar&V3_0=tessin" \
    "$1/cgi-bin/quorb.cgi")" "TEST subproject.cfg Setup"
}

port="$(free_port)"
serve "$port"
base="http://127.0.0.1:$port"
wizard "$base" site-a

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
sheet="$(grep -oE 'D[A-Za-z0-9]*\.[0-9]{5}' <<<"$created" | head -n 1 || true)"
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
# The documented lines that make the spooler's queue the default, then a print from the sheet's
# page: the job reaches the queue's file, in UTF-8.
if [ -n "$cups_server" ]; then
  # Before, as the docs say, the page shows lp's complaint.
  unset_default="$(page "$base/cgi-bin/quorb.cgi?CMD=Print&Num=$sheet")"
  expect "$unset_default" "The print command failed: lp: Error - No default destination"
  grep -qs "quorb: print command failed:" "$run"/*.log || fail "the failed print is in no log"
  run_block "## Printing through CUPS" 2
  [ "$(runuser -u "$user" -- lpstat -d)" = "system default destination: $queue" ] ||
    fail "the web server's user has another default destination: $(runuser -u "$user" -- lpstat -d)"
  printed="$(page "$base/cgi-bin/quorb.cgi?CMD=Print&Num=$sheet")"
  expect "$printed" "request id is $queue-"
  for _ in $(seq 100); do
    grep -qs "Title : Deployed" "$cups/out/listing.txt" && lpstat -W completed -o "$queue" | grep -q "^$queue-" && break
    sleep 0.1
  done
  grep -qs "Title : Deployed" "$cups/out/listing.txt" || fail "the printed sheet did not reach the queue"
  lpstat -W completed -o "$queue" | grep -q "^$queue-" || fail "the print job did not complete"
fi
# The backup, readable by its owner alone.
mkdir -p "$root/backup"
run_block "## Backups"
[ "$(stat -c %a "$root"/backup/quorb-*.tgz)" = 600 ] || fail "the backup is readable by others"
# The cron line, installed and then run as cron runs it.
mkdir -p "$root/cron.d"
run_block "## A quiet site: the cron line"
# Runs the site's cron line as cron would; on a sound site it prints nothing (cron would mail
# it to root), else what it prints must hold $1.
run_cron() {
  local cron_user cron_command said
  IFS=' ' read -r _ _ _ _ _ cron_user cron_command <"$site/cron.d/quorb"
  [ "$cron_user" = "$user" ] || fail "the cron line runs as $cron_user"
  if [ "$(id -u)" -eq 0 ]; then
    said="$(runuser -u "$cron_user" -- env -i PATH=/usr/bin:/bin sh -c "$cron_command" 2>&1)" ||
      fail "the cron command failed: $said"
  else
    said="$(env -i PATH=/usr/bin:/bin sh -c "$cron_command" 2>&1)" || fail "the cron command failed: $said"
  fi
  # (Without a relay of the test's own the spool's mail has nowhere to go, and it says so.)
  if [ -n "${1:-}" ]; then
    grep -qF -- "$1" <<<"$said" || fail "the cron command did not say $1: $said"
  else
    [ -z "$said" ] || [ -z "$mailbox" ] || fail "the cron command said: $said"
  fi
}
run_cron
run_block "## Integrity check"
# The upgrade, while the site serves: the site answers as before and the store is sound.
run_block "## Upgrading"
expect "$(page "$base/cgi-bin/quorb.cgi?Num=$sheet")" "Deployed"

# docs/sync.md's two sites: site B laid out and served as site A was, then every block of
# "Two sites, step by step" run on the site its paragraph names, and the cron line on both.
shared=""
if [ "$pop3" != 127.0.0.1:1 ]; then
  site="$peer_site"
  run_block "## A fresh site, step by step"
  peer_port="$(free_port)"
  serve "$peer_port"
  peer_base="http://127.0.0.1:$peer_port"
  wizard "$peer_base" site-b
  block="" block_site=""
  run_sync_block() {
    [ -n "$block" ] || return 0
    local target
    for target in $block_site; do
      site="$target"
      (cd "$repo" && bash -euo pipefail -c "$(localise <<<"${block//www-data/$user}")") ||
        fail "step failed on $target: $block"
    done
  }
  while IFS= read -r line; do
    if [[ $line == "@ "* ]]; then
      run_sync_block
      block=""
      case "$line" in
        "@ On site A"*) block_site="$root" ;;
        "@ On site B"*) block_site="$peer_site" ;;
        "@ On each site"*) block_site="$root $peer_site" ;;
        *) fail "a block of docs/sync.md names no site: $line" ;;
      esac
    else
      block+="$line"$'\n'
    fi
  done < <(section_blocks "## Two sites, step by step" sync.md)
  run_sync_block
  site="$peer_site"
  mkdir -p "$site/cron.d"
  run_block "## A quiet site: the cron line"

  # Waits until both sites have handed every mail to the relay (what is left in their spools
  # was refused for good) and the relay has delivered them all.
  settle() {
    local busy env queue
    for _ in $(seq 150); do
      busy=""
      for env in "$root"/srv/quorb/data/Mail/*.env "$peer_site"/srv/quorb/data/Mail/*.env; do
        [ ! -e "$env" ] || [ "$(sed -n 3p "$env")" = refused ] || busy=1
      done
      for queue in maildrop incoming active; do
        [ -z "$(ls -A "$pf/queue/$queue" 2>/dev/null)" ] || busy=1
      done
      [ -n "$busy" ] || return 0
      sleep 0.2
    done
    fail "mail still on its way ($(tail -n 5 "$pf/postfix.log"))"
  }
  # Once the mail has settled, a synchronisation message of TEST in the mailbox $1; prints its
  # file.
  sync_mail() {
    local found
    settle
    found="$(grep -ls "^Subject: Quorb-Synchro TEST " "$pf/mail/$1/new/"* 2>/dev/null | head -n 1 || true)"
    [ -n "$found" ] || fail "no synchronisation message reached $1 ($(tail -n 5 "$pf/postfix.log"))"
    echo "$found"
  }
  # A collection due: the cron line of the site in $1, the last pass taken as long past.
  collect() {
    site="$1"
    [ ! -e "$site/srv/quorb/data/Synchro/pass.stamp" ] || touch -d '-1 hour' "$site/srv/quorb/data/Synchro/pass.stamp"
    run_cron "${2:-}"
  }

  created="$(page -L -d "CMD=new&title=Shared+from+A&project=TEST&group=phase+1&prog=general&sev=2" \
    -d "impact=a&phase=a&version=v1&submitter=kolvar" "$base/cgi-bin/quorb.cgi")"
  shared="$(grep -oE 'T[A-Za-z0-9]*\.[0-9]{5}' <<<"$created" | head -n 1 || true)"
  [ -n "$shared" ] || { echo "$created" | head -n 30 >&2; fail "no sheet of TEST created on site A"; }
  message="$(sync_mail quorb-sync-b)"
  # The MAC as docs/sync.md computes it, with the secret both sites hold.
  python3 - "$message" "$root/srv/quorb/config/TEST_sync.key" <<'EOF' || fail "the message's MAC is not the documented one"
import hashlib, hmac, re, sys
mail = open(sys.argv[1], "rb").read().decode("latin-1")
secret = open(sys.argv[2], "rb").read().decode("latin-1").split("\n")[0].rstrip("\r \t")
subject = re.search(r"^Subject: Quorb-Synchro (.*?)\r?$", mail, re.M).group(1)
mac = re.search(r"^X-Quorb-MAC: ([0-9a-f]{64})\r?$", mail, re.M).group(1)
lines = [l[:-1] if l.endswith("\r") else l for l in mail.split("\n")]
start = next(i for i, l in enumerate(lines) if l.startswith("filetype:"))
end = max(i for i, l in enumerate(lines) if l)
text = subject + "\n" + "\n".join(lines[start:end + 1])
sys.exit(hmac.new(secret.encode("latin-1"), text.encode("latin-1"), hashlib.sha256).hexdigest() != mac)
EOF
  # Kept to be sent again with a wrong MAC below.
  sed 's/^X-Quorb-MAC: .*/X-Quorb-MAC: '"$(printf '0%.0s' $(seq 64))"'/' "$message" >"$root/forged.eml"
  collect "$peer_site"
  expect "$(page "$peer_base/cgi-bin/quorb.cgi?Num=$shared")" "Shared from A"
  ls "$peer_site"/srv/quorb/data/Synchro/in/TEST/a.example.org/s*.dat >/dev/null 2>&1 ||
    fail "site B keeps no applied message where docs/sync.md says"

  page -L "$peer_base/cgi-bin/quorb.cgi?CMD=Analyse&Num=$shared&User=tessin&title=FromB&text=Seen+on+B" >/dev/null
  sync_mail quorb-sync-a >/dev/null
  collect "$root"
  expect "$(page "$base/cgi-bin/quorb.cgi?Num=$shared")" "Seen on B"
  [ -s "$root/srv/quorb/data/Synchro/out/TEST/sent.txt" ] || fail "site A keeps no message counter"

  # "Moving an existing partnership over": a new secret, at a quiet time (each site collected),
  # chosen as the docs say and entered on each site's synchronisation page; a sheet made on B
  # then reaches A, and neither status page lists an error.
  settle
  collect "$peer_site"
  secret="$(openssl rand -hex 32)"
  for target in "$base" "$peer_base"; do
    page -L -d "CMD=setup&Edit=11&project=TEST&secret=$secret" "$target/cgi-bin/quorb.cgi" >/dev/null
  done
  for target in "$root" "$peer_site"; do
    [ "$(cat "$target/srv/quorb/config/TEST_sync.key")" = "$secret" ] || fail "the page did not set the secret"
    [ "$(stat -c '%a %U' "$target/srv/quorb/config/TEST_sync.key")" = "600 $user" ] ||
      fail "the secret is readable by others"
  done
  created="$(page -L -d "CMD=new&title=Shared+from+B&project=TEST&group=phase+1&prog=general&sev=2" \
    -d "impact=a&phase=a&version=v1&submitter=kolvar" "$peer_base/cgi-bin/quorb.cgi")"
  back="$(grep -oE 'T[A-Za-z0-9]*\.[0-9]{5}' <<<"$created" | head -n 1 || true)"
  [ -n "$back" ] || { echo "$created" | head -n 30 >&2; fail "no sheet of TEST created on site B"; }
  sync_mail quorb-sync-a >/dev/null
  collect "$root"
  expect "$(page "$base/cgi-bin/quorb.cgi?Num=$back")" "Shared from B"
  settle
  collect "$peer_site"
  for target in "$base" "$peer_base"; do
    state="$(page "$target/cgi-bin/quorb.cgi?CMD=setup&Edit=11")"
    expect "$state" "<TR><TD>Shared secret</TD><TD>set</TD></TR>"
    expect "$state" "<TR><TD>Folders</TD><TD>in place</TD></TR>"
    expect "$(grep -A1 -F "<H2>Errors of the last passes</H2>" <<<"$state")" "<P>None."
  done

  # A message whose MAC is wrong (site A's first, its MAC replaced) is refused as the docs say:
  # gone from the mailbox, in the error log and on the status page.
  forged="$pf/mail/quorb-sync-b/new/forged.eml"
  install -o postfix -g postfix -m 600 "$root/forged.eml" "$forged"
  collect "$peer_site" "quorb synchronisation: TEST: "
  [ ! -e "$forged" ] || fail "the refused message stays in the mailbox"
  state="$(page "$peer_base/cgi-bin/quorb.cgi?CMD=setup&Edit=11")"
  errors="$(sed -n '/<H2>Errors of the last passes<\/H2>/,/<H2>/p' <<<"$state")"
  [ "$(grep -c "refused: its MAC is wrong" <<<"$errors")" = 1 ] ||
    fail "the status page does not list the refused message alone: $errors"
fi
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
echo "deploy_docs ($server): site from the docs answers; sheet $sheet created, shown${mailbox:+ and mailed}${cups_server:+, printed}${shared:+; $shared shared between two sites}"
