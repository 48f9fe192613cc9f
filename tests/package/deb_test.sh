#!/usr/bin/env bash
# Installs qel-weigher_<version>_<arch>.deb on this machine as an administrator of a headless
# till would, uses what it installed (the virtual scale through its control socket, qelscale,
# a client of the library, the service started through its drop-in folder), then adds
# qel-weigher-bench and purges both: afterwards the machine's file list must be what it was.
#   deb_test.sh MAIN.deb BENCH.deb|- CONSUMER_SOURCE_DIR HAS_SERVICE
# "-" for a build without the Qt bench. HAS_SERVICE (ON or OFF) is the build's word on whether
# the package holds qelscaled: a part the build put in and the package lacks fails, it is
# never left out. The main package must depend on no GUI library.
# Needs root (dpkg); skips (exit 77) otherwise. The packages are purged on every way out.
# ok never fails, so "test && ok || fail" is an if-then-else here.
# shellcheck disable=SC2015
set -uo pipefail
deb=$1
bench_deb=$2
consumer=$3
has_service=${4:?HAS_SERVICE (ON or OFF) missing}
package=qel-weigher
bench=qel-weigher-bench
start=/usr/lib/qel-weigher/qelscaled-start
dropin_dir=/etc/qel-weigher/qelscaled.conf.d

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
for file in "$deb" "$bench_deb"; do
  if [[ $file != - && ! -f $file ]]; then
    echo "FAIL: no package $file (cmake --build BUILD --target deb)"
    exit 1
  fi
done

work=$(mktemp -d)
chmod 755 "$work"  # the virtual scale's symlink is read by the service's user too
failures=0
scale_pid=
service_pid=
ok() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
installed() { [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]; }
known() { dpkg-query -W "$1" >/dev/null 2>&1; }
# Both at once: dpkg removes the bench before the package it depends on.
purge() { dpkg --purge "$bench" "$package" >"$work/purge.log" 2>&1; }
cleanup() {
  [[ -n $service_pid ]] && kill "$service_pid" 2>/dev/null
  [[ -n $scale_pid ]] && kill "$scale_pid" 2>/dev/null
  rm -f "$dropin_dir"/50-deb-test.conf "$dropin_dir"/60-deb-test.conf
  # Leave the machine as it was, whatever happened.
  if known "$package" || known "$bench"; then
    echo "cleanup: purging $package and $bench"
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

if known "$package" || known "$bench"; then
  echo "note: $package was left installed by an earlier run: purging it first"
  purge || { cat "$work/purge.log"; exit 1; }
fi
snapshot >"$work/before"

# --- a headless till: no GUI library -----------------------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
gui='libqt|qt[0-9]|libx11|libxcb|libxkb|libgl|libegl|libwayland|libgtk|libfontconfig|libfreetype'
if grep -Eiq "$gui" <<<"$depends"; then
  fail "the main package depends on a GUI library: $depends"
else
  ok "main package Depends, no GUI library: $depends"
fi

# --- install the main package alone -----------------------------------------------------
if dpkg -i "$deb" >"$work/install.log" 2>&1 && installed "$package"; then
  ok "dpkg -i $(basename "$deb")"
else
  cat "$work/install.log"
  fail "dpkg -i (its dependencies come from scripts/setup: apt-get -f install)"
  exit 1
fi
[[ ! -e /usr/bin/weightbench ]] && ok "no weightbench without $bench" ||
  fail "/usr/bin/weightbench comes with the main package"

soname=$(objdump -p /usr/lib/libqel_weigher.so.4 2>/dev/null | awk '$1 == "SONAME" {print $2}')
[[ $soname == libqel_weigher.so.4 ]] && ok "library installed with SONAME $soname" ||
  fail "library SONAME '$soname'"
for file in /usr/include/qel_weigher/qel_weigher.h /usr/lib/pkgconfig/qel_weigher.pc \
    /usr/lib/cmake/QelWeigher/QelWeigherConfig.cmake /usr/bin/qel-virtual-scale \
    /usr/share/man/man1/qel-virtual-scale.1.gz /usr/share/doc/$package/copyright; do
  [[ -e $file ]] && ok "$file installed" || fail "$file missing"
done

# --- qelscale from PATH reads qel-virtual-scale, driven through its control socket --------
# In the background with no stdin, as the README runs it.
link=$work/scale
control=$work/scale.ctl
qel-virtual-scale --protocol cas --weight 2.345 --symlink "$link" --control "$control" \
  </dev/null >"$work/scale.out" 2>&1 &
scale_pid=$!
for _ in $(seq 50); do
  [[ -S $control && -L $link ]] && break
  sleep 0.1
done
weigh() { env -u LD_LIBRARY_PATH LC_ALL=C.UTF-8 qelscale weigh "$link?protocol=cas" 2>"$work/qelscale.err"; }
if [[ $(command -v qelscale) != /usr/bin/qelscale || $(command -v qel-virtual-scale) != /usr/bin/qel-virtual-scale ]]; then
  fail "qelscale and qel-virtual-scale on PATH: '$(command -v qelscale)' '$(command -v qel-virtual-scale)'"
elif [[ ! -S $control ]]; then
  fail "qel-virtual-scale made no control socket: $(cat "$work/scale.out")"
else
  weight=$(weigh)
  [[ $weight == 2.345 ]] && ok "qelscale weigh $link?protocol=cas: $weight" ||
    fail "qelscale weigh read '$weight': $(cat "$work/qelscale.err")"
  answer=$(qel-virtual-scale --send "$control" weight 3.5)
  weight=$(weigh)
  [[ $answer == ok && $weight == 3.500 ]] && ok "after --send weight 3.5: $weight" ||
    fail "after --send weight 3.5 ('$answer') qelscale read '$weight'"
fi

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

# Two drop-ins as a fleet tool would write them, the service started as its unit starts it
# (without systemd: the unit's command, as root), and a reading through HTTP.
service_through_dropins() {
  echo "QELSCALED_ARGS=\"--stream $link?protocol=cas --listen 127.0.0.1:8778\"" \
    >"$dropin_dir/50-deb-test.conf"
  echo 'QELSCALED_ARGS="--listen 127.0.0.1:0"' >"$dropin_dir/60-deb-test.conf"
  "$start" --check && ok "two drop-ins: the unit's condition passes" ||
    fail "the unit's condition fails with drop-ins set"
  "$start" >"$work/service.log" 2>&1 &
  service_pid=$!
  local address=
  for _ in $(seq 100); do
    address=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$work/service.log" | head -1)
    [[ -n $address ]] && break
    sleep 0.1
  done
  local reading=
  for _ in $(seq 50); do
    [[ -n $address ]] || break
    reading=$(curl -s --max-time 10 "${address}v1/weight?port=$link")
    [[ $reading == *'"ok":true'* ]] && break
    sleep 0.1
  done
  # The later drop-in's --listen overrode the earlier one's 8778.
  if [[ $address != http://127.0.0.1:8778/ && $reading == *'"port":"'"$link"'"'* &&
      $reading == *'"value":3.5'* ]]; then
    ok "qelscaled from the drop-ins at $address: $reading"
  else
    fail "qelscaled from the drop-ins: address '$address', reading '$reading': $(cat "$work/service.log")"
  fi
  kill "$service_pid" 2>/dev/null
  wait "$service_pid" 2>/dev/null
  service_pid=
  # The drop-ins stay: the purge must take them (the file list below).
}

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
      "ExecCondition=$start --check" "ExecStart=$start" "SystemCallFilter=~@privileged @resources" \
      ProcSubset=pid LimitNOFILE=4096 MemoryMax=256M TasksMax=64; do
    grep -qx "$setting" "$unit" && ok "unit: $setting" || fail "unit lacks $setting"
  done
  if compgen -G "/etc/systemd/system/*.wants/qelscaled.service" >/dev/null; then
    fail "the service is enabled by the package"
  else
    ok "the service is installed disabled"
  fi
  # Not configured: the condition the unit checks before starting fails.
  if "$start" --check; then
    fail "options are set out of the box: $("$start" --print | tr '\n' ' ')"
  else
    ok "unconfigured: no QELSCALED_ARGS, the service does not start"
  fi
  [[ -d $dropin_dir ]] && ok "$dropin_dir installed" || fail "$dropin_dir missing"
  service_through_dropins
  qelscaled --help >/dev/null && ok "qelscaled --help from PATH" || fail "qelscaled --help"
  # --tls-cert needs OpenSSL's libssl at run time: the package must say so.
  dpkg-query -W -f='${Depends}\n' "$package" | grep -q 'libssl' &&
    ok "the package depends on libssl" || fail "no libssl in the package's Depends"
  dpkg-query -W -f='${Conffiles}\n' "$package" | grep -q /etc/qel-weigher/qelscaled.conf &&
    ok "qelscaled.conf is a conffile" || fail "qelscaled.conf is not a conffile"
fi

if [[ -n $scale_pid ]]; then
  qel-virtual-scale --send "$control" quit >/dev/null
  wait "$scale_pid" 2>/dev/null
  scale_pid=
fi

# --- the bench, its own package ---------------------------------------------------------
if [[ $bench_deb == - ]]; then
  echo "note: this build has no Qt bench"
elif dpkg -i "$bench_deb" >"$work/install-bench.log" 2>&1 && installed "$bench"; then
  ok "dpkg -i $(basename "$bench_deb")"
  for file in /usr/bin/weightbench /usr/share/man/man1/weightbench.1.gz \
      /usr/share/doc/$bench/copyright; do
    [[ -e $file ]] && ok "$file installed" || fail "$file missing"
  done
  bench_depends=$(dpkg-query -W -f='${Depends}' "$bench")
  version=$(dpkg-query -W -f='${Version}' "$package")
  [[ $bench_depends == *"$package (= $version)"* && $bench_depends == *libqt6widgets6* ]] &&
    ok "$bench depends on Qt and on $package $version" ||
    fail "$bench Depends: $bench_depends"
else
  cat "$work/install-bench.log"
  fail "dpkg -i $(basename "$bench_deb")"
fi

# --- purge --------------------------------------------------------------------------------
if purge && ! known "$package" && ! known "$bench"; then
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
