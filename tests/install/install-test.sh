#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and builds a host program
# against the install alone, once with pkg-config and once with CMake's
# find_package, then runs both. The installed collector reads the installed
# example configuration's virtual meter, and the service unit and the manual
# page must be there.
#
# usage: install-test.sh CMAKE BUILD_DIR VERSION SOVERSION [PROGRAM...]
#   PROGRAM: programs the install must put into bin/
set -euo pipefail

cmake=$1
build=$2
version=$3
soversion=$4
shift 4
programs=("$@")
here=$(cd "$(dirname "$0")" && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() {
  echo "install-test: FAILED: $*" >&2
  exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log" >&2
  fail "cmake --install"
}

# What the install must hold.
lib=$prefix/lib
for f in "$lib/libpublicQ31.so" "$lib/libpublicQ31.so.$soversion" "$lib/libpublicQ31.so.$version" \
  "$prefix/include/publicQ31.h" "$lib/pkgconfig/publicQ31.pc" \
  "$lib/cmake/publicQ31/publicQ31Config.cmake" "$lib/cmake/publicQ31/publicQ31ConfigVersion.cmake" \
  "$lib/cmake/publicQ31/publicQ31Targets.cmake"; do
  [ -e "$f" ] || fail "missing ${f#$prefix/}"
done
for p in "${programs[@]}"; do
  [ -x "$prefix/bin/$p" ] || fail "missing program bin/$p"
done
# The installed operator program finds the installed plug-in (in ../lib).
if [ -x "$prefix/bin/q31" ]; then
  # It is a client of the plug-in alone: no virtual meter (it starts q31-sim)
  # and no second copy of the engine inside it. The symbols are taken whole
  # first: with pipefail, `nm | grep -q` fails when grep stops reading early.
  symbols=$(nm -C "$prefix/bin/q31") || fail "nm cannot read the installed q31"
  [ -n "$symbols" ] || fail "the installed q31 has no symbol table to check"
  inside=$(grep -E 'q31::sim::|q31::TPublicNetKs|q31::TPublicDevCom' <<<"$symbols" || true)
  [ -z "$inside" ] || fail "the installed q31 holds $(wc -l <<<"$inside") simulator or engine symbols, e.g. $(head -1 <<<"$inside")"
  "$prefix/bin/q31" --format json id >"$tmp/id.json" 2>"$tmp/id.err" || fail "installed q31 id: $(cat "$tmp/id.err")"
  grep -q '"device_type": 5120' "$tmp/id.json" || fail "installed q31 id gave no identification"
  # The collector finds the same plug-in: one pass over a virtual meter.
  printf '[[meter]]\nname = "m"\nport = "sim:9"\nserial = 310001\nseries = ["e_day"]\nlogs = false\n' >"$tmp/fleet.toml"
  "$prefix/bin/q31" collect --config "$tmp/fleet.toml" --once --db "$tmp/q31.sqlite" >"$tmp/collect.out" 2>"$tmp/collect.err" ||
    fail "installed q31 collect --once: $(cat "$tmp/collect.err")"
  grep -q "1 meter" "$tmp/collect.out" || fail "installed q31 collect read no meter: $(cat "$tmp/collect.out")"

  # The service around the collector: its unit, the example configuration
  # (which must load and read its virtual meter) and the manual page.
  unit=$prefix/lib/systemd/system/q31-collect.service
  example=$prefix/share/q31/collect.example.toml
  [ -f "$unit" ] || fail "missing lib/systemd/system/q31-collect.service"
  [ -f "$example" ] || fail "missing share/q31/collect.example.toml"
  # The unit is written for the prefix the install went to.
  grep -qx "ExecStart=$prefix/bin/q31 collect --config /etc/q31/collect.toml" "$unit" ||
    fail "the unit's ExecStart does not name $prefix/bin/q31: $(grep ExecStart= "$unit")"
  grep -qx "Type=notify" "$unit" || fail "the unit is not Type=notify"
  "$prefix/bin/q31" collect --config "$example" --once --db "$tmp/example.sqlite" >"$tmp/example.out" \
    2>"$tmp/example.err" || fail "installed q31 collect --once with the example configuration: $(cat "$tmp/example.err")"
  grep -q "^collect: 1 meter read, 0 failed" "$tmp/example.out" ||
    fail "the example configuration read no meter: $(cat "$tmp/example.out")"
  # Grafana's provisioning names the installed dashboards, each with its fixed uid.
  grafana=$prefix/share/q31/grafana
  [ -f "$grafana/q31-dashboards.yaml" ] || fail "missing share/q31/grafana/q31-dashboards.yaml"
  grep -qx "      path: $grafana/dashboards" "$grafana/q31-dashboards.yaml" ||
    fail "the Grafana provider does not name $grafana/dashboards: $(grep path: "$grafana/q31-dashboards.yaml")"
  for board in q31-fleet-health q31-consumption; do
    grep -q "\"uid\": \"$board\"" "$grafana/dashboards/$board.json" 2>/dev/null ||
      fail "missing dashboard share/q31/grafana/dashboards/$board.json"
  done
  if [ "${Q31_INSTALL_MAN_PAGE:-0}" = 1 ]; then
    man=$prefix/share/man/man1/q31.1
    [ -f "$man" ] || fail "missing share/man/man1/q31.1"
    grep -q '^\.SH EXIT STATUS' "$man" || fail "the manual page has no EXIT STATUS section"
  fi
  # systemd's own check of the unit (the program's path, every directive and
  # value). It needs no running systemd; without systemd-analyze it is left
  # out. A directive it does not know is only a warning, so any word about
  # this unit counts; what it says about the system's other units does not.
  if command -v systemd-analyze >/dev/null; then
    SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$unit" >"$tmp/verify.log" 2>&1 || {
      cat "$tmp/verify.log" >&2
      fail "systemd-analyze verify q31-collect.service"
    }
    ! grep -q "q31-collect" "$tmp/verify.log" || fail "systemd-analyze verify: $(cat "$tmp/verify.log")"
  fi
fi
soname=$(readelf -d "$lib/libpublicQ31.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
[ "$soname" = "libpublicQ31.so.$soversion" ] || fail "SONAME is '$soname', not libpublicQ31.so.$soversion"

# pkg-config: the file must name this prefix, whatever the build was configured with.
export PKG_CONFIG_PATH=$lib/pkgconfig
pc_prefix=$(pkg-config --variable=prefix publicQ31)
[ "$pc_prefix" = "$prefix" ] || fail "pkg-config prefix is '$pc_prefix', not '$prefix'"
[ "$(pkg-config --modversion publicQ31)" = "$version" ] || fail "pkg-config version is not $version"
# shellcheck disable=SC2046 # the flags are meant to split
cc -Wall -Wextra -Werror -o "$tmp/consumer-pc" "$here/consumer/consumer.c" \
  $(pkg-config --cflags --libs publicQ31) -Wl,-rpath,"$(pkg-config --variable=libdir publicQ31)" ||
  fail "building the consumer with pkg-config"
needed=$(readelf -d "$tmp/consumer-pc" | sed -n 's/.*(NEEDED).*\[\(libpublicQ31[^]]*\)\].*/\1/p')
[ "$needed" = "libpublicQ31.so.$soversion" ] || fail "consumer needs '$needed', not libpublicQ31.so.$soversion"
# The library must come from the install, not from the build tree.
# ldd's output is taken whole first: with pipefail, `ldd | grep -q` fails
# whenever grep stops reading before ldd has finished writing.
loaded=$(ldd "$tmp/consumer-pc")
grep -q "libpublicQ31.so.$soversion => $lib/" <<<"$loaded" || fail "consumer does not load the installed library"
"$tmp/consumer-pc" || fail "the pkg-config consumer exited with $?"

# CMake: find_package(publicQ31) with the prefix on CMAKE_PREFIX_PATH.
unset PKG_CONFIG_PATH
"$cmake" -S "$here/consumer" -B "$tmp/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$tmp/consumer-config.log" 2>&1 || {
  cat "$tmp/consumer-config.log" >&2
  fail "configuring the consumer with find_package"
}
"$cmake" --build "$tmp/consumer-build" >"$tmp/consumer-build.log" 2>&1 || {
  cat "$tmp/consumer-build.log" >&2
  fail "building the consumer with find_package"
}
loaded=$(ldd "$tmp/consumer-build/consumer")
grep -q "libpublicQ31.so.$soversion => $lib/" <<<"$loaded" ||
  fail "the CMake consumer does not load the installed library"
"$tmp/consumer-build/consumer" || fail "the CMake consumer exited with $?"

echo "install-test: ok (pkg-config and find_package consumers ran against $prefix)"
