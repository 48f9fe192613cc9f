#!/usr/bin/env bash
# lintian on the Debian package: no error and no warning beyond the overrides the package
# ships (packaging/debian/lintian-overrides.in, each with its reason; --show-overrides would
# make lintian fail on those too).
set -uo pipefail
deb=$1
if ! command -v lintian >/dev/null; then
  echo "SKIP: no lintian (scripts/setup installs it)"
  exit 77
fi
if [[ ! -f $deb ]]; then
  echo "FAIL: no package $deb"
  exit 1
fi
lintian --fail-on error,warning --info "$deb" 2>&1 |
  grep -v 'running with root privileges'
status=${PIPESTATUS[0]}
if [[ $status -ne 0 ]]; then
  echo "FAIL: lintian found errors or warnings in $(basename "$deb") (exit $status)"
  exit 1
fi
echo "lintian: no error or warning in $(basename "$deb")"
