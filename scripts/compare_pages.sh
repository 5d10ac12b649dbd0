#!/bin/sh
# Compares the pages two builds of quorb.cgi write on the benchmark's store, byte for byte:
#   scripts/compare_pages.sh OLD_CGI NEW_CGI [BUILD_DIR]
# Each build answers every page once in a fresh store generated the same way; the dates of
# the sheet the creation POST makes and the process numbers in the names of mail files are
# masked, as they differ from run to run.
set -eu
old=$(realpath "$1")
new=$(realpath "$2")
build=${3:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QUORB_BENCH_CGI=$old "$build/bench/floor_bench" --dump "$work/old" 2000
QUORB_BENCH_CGI=$new "$build/bench/floor_bench" --dump "$work/new" 2000
for dir in "$work/old" "$work/new"; do
  sed -i -E 's#[0-9]{4}/[0-9]{2}/[0-9]{2}:[0-9]{2}\.[0-9]{2}\.[0-9]{2}#DATE#g' "$dir/new.html"
  sed -i -E 's#(bugmail|synch)\.[0-9]+#\1.PID#g' "$dir"/*.html
done
status=0
for page in "$work"/old/*.html; do
  name=$(basename "$page")
  if cmp -s "$page" "$work/new/$name"; then
    echo "same      $name"
  else
    echo "DIFFERENT $name"
    diff "$page" "$work/new/$name" | head -20
    status=1
  fi
done
exit $status
