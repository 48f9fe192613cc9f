#!/usr/bin/env bash
# The options qelscaled-start gives the service: the main file's QELSCALED_ARGS, then every
# drop-in's in byte order of the names, read as systemd reads an EnvironmentFile= and never
# run; nothing at all keeps the unit from starting, and a file the service cannot read stops
# it with a message instead of starting it half configured.
#   conf_d_test.sh QELSCALED_START
# ok never fails, so "test && ok || fail" is an if-then-else here.
# shellcheck disable=SC2015
set -uo pipefail
start=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
ok() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
conf=$work/qelscaled.conf
run() { QELSCALED_CONF=$conf "$start" "$@"; }

# --- as shipped: nothing set, the unit's condition keeps it inactive ----------------------
printf '# comments only\n#QELSCALED_ARGS="--port /dev/ttyUSB0"\n' >"$conf"
run --check && fail "--check passes with every QELSCALED_ARGS commented out" ||
  ok "as shipped: --check says there is nothing to start"
mkdir "$conf.d"
run --check && fail "--check passes with an empty drop-in folder" || ok "empty folder: nothing"
rm -rf "$conf.d"
printf 'QELSCALED_ARGS=""\n' >"$conf"
run --check && fail "--check passes with QELSCALED_ARGS=\"\"" || ok "QELSCALED_ARGS=\"\": nothing"

# --- order, override and additions ------------------------------------------------------
mkdir "$conf.d"
printf 'QELSCALED_ARGS="--listen localhost:8778"\n' >"$conf"
# Written out of order; byte order puts upper case before lower case and digits first.
printf 'QELSCALED_ARGS=--port /dev/ttyUSB1 --listen 0.0.0.0:8778\n' >"$conf.d/b-net.conf"
printf '  QELSCALED_ARGS="--stream /dev/ttyUSB0?protocol=cas&baud=9600 --allow-host a"  \n' \
  >"$conf.d/10-port.conf"
printf "QELSCALED_ARGS='--allow-host B'\n" >"$conf.d/Z-host.conf"
# The last assignment in a file counts; other variables and comments are skipped.
printf 'QELSCALED_ARGS="--stable-ms 1"\nOTHER=1\n# QELSCALED_ARGS="--x"\nQELSCALED_ARGS="--stable-ms 2 *"' \
  >"$conf.d/c-last.conf"
# Not drop-ins: left by dpkg, another suffix, a folder, a hidden file.
echo 'QELSCALED_ARGS="--old"' >"$conf.d/b-net.conf.dpkg-old"
echo 'QELSCALED_ARGS="--txt"' >"$conf.d/notes.txt"
mkdir "$conf.d/dir.conf"
echo 'QELSCALED_ARGS="--hidden"' >"$conf.d/.hidden.conf"
# A file that runs a command when a shell reads it: only read here.
# shellcheck disable=SC2016  # the file's own text
printf 'QELSCALED_ARGS="--port $(touch %s/ran)"\n' "$work" >"$conf.d/d-code.conf"
# shellcheck disable=SC2016  # the file's text, as it comes out
expected='--listen
localhost:8778
--stream
/dev/ttyUSB0?protocol=cas&baud=9600
--allow-host
a
--allow-host
B
--port
/dev/ttyUSB1
--listen
0.0.0.0:8778
--stable-ms
2
*
--port
$(touch
'"$work"'/ran)'
got=$(run --print)
[[ $got == "$expected" ]] && ok "main file, then the drop-ins in byte order, each appended" || {
  fail "--print:"
  diff <(echo "$expected") <(echo "$got")
}
[[ ! -e $work/ran ]] && ok "nothing in a file is run" || fail "a drop-in's \$(...) was run"
run --check && ok "configured: --check passes" || fail "--check fails with options set"

# --- a drop-in the service's user cannot read stops the start, said in the log ----------
# As root, through an unprivileged user (the service runs as one of its own).
as_user=()
if [[ $(id -u) -eq 0 ]] && command -v setpriv >/dev/null; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 755 "$work" "$conf.d"
fi
if [[ $(id -u) -ne 0 || ${#as_user[@]} -gt 0 ]]; then
  chmod 000 "$conf.d/10-port.conf"
  out=$(QELSCALED_CONF=$conf "${as_user[@]}" "$start" --print 2>&1)
  status=$?
  [[ $status -eq 2 && $out == *"cannot read $conf.d/10-port.conf"* ]] &&
    ok "unreadable drop-in: exit 2, named in the message" ||
    fail "unreadable drop-in: exit $status, '$out'"
  chmod 644 "$conf.d/10-port.conf"
else
  echo "note: root without setpriv reads any file: the unreadable drop-in is not tried"
fi
run --bogus 2>/dev/null && fail "an unknown mode is accepted" || ok "an unknown mode is refused"

if [[ $failures -ne 0 ]]; then
  echo "conf.d: $failures failure(s)"
  exit 1
fi
echo "conf.d: passed"
