#!/usr/bin/env bash
# lintian on each Debian package: no error and no warning beyond the overrides the package
# ships (packaging/debian/lintian-overrides.in, each with its reason; --show-overrides would
# make lintian fail on those too).
#   lintian_check.sh PACKAGE.deb...
set -uo pipefail
if ! command -v lintian >/dev/null; then
  echo "SKIP: no lintian (scripts/setup installs it)"
  exit 77
fi
[[ $# -gt 0 ]] || { echo "usage: $0 PACKAGE.deb..." >&2; exit 2; }
failed=0
for deb in "$@"; do
  if [[ ! -f $deb ]]; then
    echo "FAIL: no package $deb"
    failed=1
    continue
  fi
  lintian --fail-on error,warning --info "$deb" 2>&1 |
    grep -v 'running with root privileges'
  status=${PIPESTATUS[0]}
  if [[ $status -ne 0 ]]; then
    echo "FAIL: lintian found errors or warnings in $(basename "$deb") (exit $status)"
    failed=1
  else
    echo "lintian: no error or warning in $(basename "$deb")"
  fi
done
exit $failed
