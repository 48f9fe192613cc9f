#!/usr/bin/env bash
# Installs qel-weigher_<version>_<arch>.deb on this machine as an administrator would, uses
# what it installed, and purges it: afterwards the machine's file list must be what it was.
#   deb_test.sh PACKAGE.deb VIRTUAL_SCALE CONSUMER_SOURCE_DIR HAS_SERVICE
# HAS_SERVICE (ON or OFF) is the build's word on whether the package holds qelscaled: a part
# the build put in and the package lacks fails, it is never left out.
# Needs root (dpkg); skips (exit 77) otherwise. The package is purged on every way out.
# ok never fails, so "test && ok || fail" is an if-then-else here.
# shellcheck disable=SC2015
set -uo pipefail
deb=$1
scale=$2
consumer=$3
has_service=${4:?HAS_SERVICE (ON or OFF) missing}
package=qel-weigher

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIP: installing a .deb on the machine needs root"
  exit 77
fi
for tool in dpkg dpkg-query cc pkg-config systemd-analyze; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: no $tool"
    exit 77
  fi
done
if [[ ! -f $deb ]]; then
  echo "FAIL: no package $deb (cmake --build BUILD --target deb)"
  exit 1
fi

work=$(mktemp -d)
failures=0
scale_pid=
ok() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
installed() { [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == "install ok installed" ]]; }
purge() { dpkg --purge "$package" >"$work/purge.log" 2>&1; }
cleanup() {
  [[ -n $scale_pid ]] && kill "$scale_pid" 2>/dev/null
  # Leave the machine as it was, whatever happened.
  if dpkg-query -W "$package" >/dev/null 2>&1; then
    echo "cleanup: purging $package"
    purge || cat "$work/purge.log"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# What the package may touch, without what changes on its own (logs, caches, compiled Python)
# or belongs to dpkg's bookkeeping of the moment.
snapshot() {
  local roots=()
  for dir in /usr /etc /opt /srv /var/lib /bin /sbin /lib /lib32 /lib64 /libx32; do
    [[ -d $dir && ! -L $dir ]] && roots+=("$dir")
  done
  find "${roots[@]}" -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
    -o -name __pycache__ -o -path /etc/ld.so.cache \) -prune -o -print 2>/dev/null | LC_ALL=C sort
}

if dpkg-query -W "$package" >/dev/null 2>&1; then
  echo "note: $package was left installed by an earlier run: purging it first"
  purge || { cat "$work/purge.log"; exit 1; }
fi
snapshot >"$work/before"

# --- install ------------------------------------------------------------------------------
if dpkg -i "$deb" >"$work/install.log" 2>&1 && installed; then
  ok "dpkg -i $(basename "$deb")"
else
  cat "$work/install.log"
  fail "dpkg -i (its dependencies come from scripts/setup: apt-get -f install)"
  exit 1
fi

soname=$(objdump -p /usr/lib/libqel_weigher.so.4 2>/dev/null | awk '$1 == "SONAME" {print $2}')
[[ $soname == libqel_weigher.so.4 ]] && ok "library installed with SONAME $soname" ||
  fail "library SONAME '$soname'"
for file in /usr/include/qel_weigher/qel_weigher.h /usr/lib/pkgconfig/qel_weigher.pc \
    /usr/lib/cmake/QelWeigher/QelWeigherConfig.cmake /usr/bin/weightbench \
    /usr/share/doc/$package/copyright; do
  [[ -e $file ]] && ok "$file installed" || fail "$file missing"
done

# --- qelscale from PATH reads the virtual scale ------------------------------------------
coproc SCALE { exec "$scale" --weight 2.345; }
# shellcheck disable=SC2153  # set by coproc
scale_pid=$SCALE_PID
pty=
read -r -t 10 pty <&"${SCALE[0]}"
if [[ $(command -v qelscale) != /usr/bin/qelscale ]]; then
  fail "qelscale on PATH is '$(command -v qelscale)', not /usr/bin/qelscale"
elif [[ $pty != /* ]]; then
  fail "the virtual scale printed no pty"
else
  weight=$(env -u LD_LIBRARY_PATH LC_ALL=C.UTF-8 qelscale weigh "$pty" 2>"$work/qelscale.err")
  [[ $weight == 2.345 ]] && ok "qelscale weigh $pty: $weight" ||
    fail "qelscale weigh read '$weight': $(cat "$work/qelscale.err")"
fi
if [[ -n ${SCALE[1]:-} ]]; then
  { echo quit >&"${SCALE[1]}"; } 2>/dev/null
fi
wait "$scale_pid" 2>/dev/null
scale_pid=

# --- a client built against the installed files -----------------------------------------
# shellcheck disable=SC2046
if env -u PKG_CONFIG_PATH cc -o "$work/pc-consumer" "$consumer/consumer.c" \
    $(env -u PKG_CONFIG_PATH pkg-config --cflags --libs qel_weigher) 2>"$work/cc.log"; then
  if out=$(env -u LD_LIBRARY_PATH "$work/pc-consumer"); then
    ok "pkg-config client runs: $out"
  else
    fail "pkg-config client: $out"
  fi
  linked=$(ldd "$work/pc-consumer" | awk '$1 == "libqel_weigher.so.4" {print $3}')
  [[ -n $linked && $(realpath "$linked") == $(realpath /usr/lib/libqel_weigher.so.4) ]] &&
    ok "pkg-config client uses the installed library ($linked)" ||
    fail "pkg-config client links '$linked'"
else
  cat "$work/cc.log"
  fail "pkg-config client does not build"
fi
if command -v cmake >/dev/null; then
  if cmake -S "$consumer" -B "$work/cmake" >"$work/cmake.log" 2>&1 &&
      cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 &&
      env -u LD_LIBRARY_PATH "$work/cmake/consumer" >/dev/null; then
    ok "CMake find_package(QelWeigher) client runs"
  else
    cat "$work/cmake.log"
    fail "CMake client"
  fi
fi

# --- the service --------------------------------------------------------------------------
unit=/lib/systemd/system/qelscaled.service
if [[ $has_service != ON ]]; then
  [[ ! -e /usr/bin/qelscaled && ! -e $unit ]] && ok "built without the service: none installed" ||
    fail "built without the service, yet the package installs qelscaled or its unit"
elif [[ ! -e /usr/bin/qelscaled ]]; then
  fail "/usr/bin/qelscaled missing from a package built with the service"
else
  [[ -e $unit ]] && ok "$unit installed" || fail "$unit missing"
  if systemd-analyze verify "$unit" >"$work/verify.log" 2>&1; then
    ok "systemd-analyze verify accepts the unit"
  else
    cat "$work/verify.log"
    fail "systemd-analyze verify"
  fi
  # The exposure systemd scores the unit at, 0 to 10: 1.9 before the bounds below came.
  if systemd-analyze security --offline=true --threshold=19 "$unit" >"$work/security.log" 2>&1
  then
    ok "systemd-analyze security: $(grep -o 'exposure level.*' "$work/security.log")"
  else
    tail -3 "$work/security.log"
    fail "systemd-analyze security scores the unit above 1.9"
  fi
  for setting in DynamicUser=yes SupplementaryGroups=dialout ProtectSystem=strict \
      NoNewPrivileges=yes PrivateTmp=yes DevicePolicy=closed "DeviceAllow=char-ttyUSB rw" \
      EnvironmentFile=/etc/qel-weigher/qelscaled.conf "SystemCallFilter=~@privileged @resources" \
      ProcSubset=pid LimitNOFILE=4096 MemoryMax=256M TasksMax=64; do
    grep -qx "$setting" "$unit" && ok "unit: $setting" || fail "unit lacks $setting"
  done
  if compgen -G "/etc/systemd/system/*.wants/qelscaled.service" >/dev/null; then
    fail "the service is enabled by the package"
  else
    ok "the service is installed disabled"
  fi
  # Not configured: the condition the unit checks before starting fails.
  # shellcheck disable=SC2016  # expanded by that shell
  args=$(env -i sh -c '. /etc/qel-weigher/qelscaled.conf; printf %s "$QELSCALED_ARGS"')
  [[ -z $args ]] && ok "unconfigured: QELSCALED_ARGS is empty, the service does not start" ||
    fail "QELSCALED_ARGS is set out of the box: '$args'"
  qelscaled --help >/dev/null && ok "qelscaled --help from PATH" || fail "qelscaled --help"
  # --tls-cert needs OpenSSL's libssl at run time: the package must say so.
  dpkg-query -W -f='${Depends}\n' "$package" | grep -q 'libssl' &&
    ok "the package depends on libssl" || fail "no libssl in the package's Depends"
  dpkg-query -W -f='${Conffiles}\n' "$package" | grep -q /etc/qel-weigher/qelscaled.conf &&
    ok "qelscaled.conf is a conffile" || fail "qelscaled.conf is not a conffile"
fi

# --- purge --------------------------------------------------------------------------------
if purge && ! dpkg-query -W "$package" >/dev/null 2>&1; then
  ok "dpkg --purge"
else
  cat "$work/purge.log"
  fail "dpkg --purge"
fi
snapshot >"$work/after"
if diff "$work/before" "$work/after" >"$work/diff"; then
  ok "after the purge the file list is what it was ($(wc -l <"$work/before") paths)"
else
  fail "the purge left the file list changed:"
  cat "$work/diff"
fi

if [[ $failures -ne 0 ]]; then
  echo "deb: $failures failure(s)"
  exit 1
fi
echo "deb: passed"
