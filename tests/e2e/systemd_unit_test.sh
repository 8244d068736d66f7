#!/bin/sh
# The example unit, installed and pointed at the installed program, passes
# systemd-analyze verify without a word; skipped (77) where it is not installed.
# Usage: systemd_unit_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
. "$source/tests/e2e/private_dev.sh"
if ! command -v systemd-analyze > /dev/null; then
  echo "systemd-analyze is not installed: skipped"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/brantwick-unit.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > /dev/null
unit=$prefix/share/doc/brantwick/examples/systemd/brantwick.service
grep -qx 'Type=forking' "$unit" || fail "the unit is not Type=forking"
pidfile=$(sed -n 's/^PIDFile=//p' "$unit")
grep -q "^ExecStart=.* -p $pidfile " "$unit" || fail "ExecStart does not write $pidfile"
# The unit names /usr/local, the default prefix; here the pieces are elsewhere.
mkdir "$work/units"
sed "s#/usr/local/#$prefix/#g" "$unit" > "$work/units/brantwick.service"
status=0
MANPATH="$prefix/share/man" systemd-analyze verify "$work/units/brantwick.service" \
  > "$work/said" 2>&1 || status=$?
if [ "$status" != 0 ] || [ -s "$work/said" ]; then
  fail "systemd-analyze verify ($status): $(cat "$work/said")"
fi
echo "the unit verifies"
