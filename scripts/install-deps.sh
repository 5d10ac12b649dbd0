#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the machine lacks.
# Later needs (test peers and the like) are added to the list below.
#   scripts/install-deps.sh        everything `make test` and `make test-peers` need
#   scripts/install-deps.sh run    only what `make run` needs: the compiler, CMake, the
#                                  libraries the CGI links and lighttpd
set -euo pipefail

# The demo: build the CGI and serve it.
packages=(
  cmake g++ make pkg-config
  libfmt-dev
  libssl-dev                # libcrypto: the MAC of the identity token
  nlohmann-json3-dev        # the JSON of the machine interface (header-only)
  lighttpd                  # make run, and the browser tests' server
)
if [ "${1:-}" != run ]; then
packages+=(
  libgtest-dev googletest
  clang
  python3                   # the export test reads bugs.dat with Python's csv module
  strace                    # the path catalogue test watches every file the CGI opens
  dovecot-pop3d             # the POP3 server of the synchronisation test
  postfix                   # the relay of the mail spool test (an instance of its own)
  cups-daemon cups-client cups-core-drivers  # the printing test's own spooler, lp, gziptoany
  chromium chromium-driver  # the browser tests (driven by playwright-core from npm)
  apache2 curl              # the test that lays out a site from docs/deploy.md
  openssl                   # ... and makes the partners' secret as docs/sync.md does
  python3-feedparser        # the feed test reads the Atom feeds as a feed reader does
)
# The browser tests' driver runs on Node.js; machines that come with it keep theirs.
command -v node >/dev/null || packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  # Postfix is only run by the tests, from a configuration of their own.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
