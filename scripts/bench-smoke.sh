#!/usr/bin/env bash
# `make bench-smoke`: every benchmark of bench/ run once at a tiny size, so that none breaks
# unnoticed. No timing is judged; a run passes when it exits with 0 (the benchmarks that
# drive the CGI check its answers and stop at the first wrong one) and its report holds the
# text its row names.
#   scripts/bench-smoke.sh BUILD_DIR
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
bench="$(cd "${1:-$repo/build}/bench" && pwd)"

# name | arguments | a text the report holds
runs=(
  "store_bench|50|N=50 (index"
  "request_bench|100|url-encoded"
  "history_bench|200|journal of 200 lines"
  "search_bench|30 100|result page of 30 sheets"
  "stats_bench|100 1 1|(1 of 1 due woken"
  "attach_bench|1|download (CGI)"
  "testbook_bench|2 2 2|whole book"
  "floor_bench|20 1|feed-304"
  "cgi_bench|20 2|store of 20 sheets"
  "sync_bench|2|file attached"
  "million_bench|300 1|store of 300 sheets"
)

failed=0
for name in "$repo"/bench/*_bench.cpp; do
  name="$(basename "$name" .cpp)"
  printf '%s\n' "${runs[@]}" | grep -q "^$name|" || { echo "bench-smoke: $name has no run here" >&2; failed=1; }
done
for row in "${runs[@]}"; do
  IFS='|' read -r name args expect <<<"$row"
  out="$(mktemp)"
  # shellcheck disable=SC2086
  if ! (cd "$bench" && timeout 300 "./$name" $args) >"$out" 2>&1; then
    echo "bench-smoke: $name $args failed:" >&2
    tail -n 20 "$out" >&2
    failed=1
  elif ! grep -qF -- "$expect" "$out"; then
    echo "bench-smoke: $name $args: the report lacks \"$expect\":" >&2
    tail -n 20 "$out" >&2
    failed=1
  else
    echo "bench-smoke: $name $args ok"
  fi
  rm -f "$out"
done
exit "$failed"
