#!/bin/sh
# The example unit, installed and pointed at the installed program, passes
# systemd-analyze verify without a word, and takes the operator's part of the
# command line from /etc/default/brantwick, last; skipped (77) where
# systemd-analyze is not installed.
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
grep -qx 'EnvironmentFile=-/etc/default/brantwick' "$unit" || fail "no optional /etc/default/brantwick"
grep -q '^ExecStart=.* \$BRANTWICK_ARGS$' "$unit" || fail "ExecStart does not end with \$BRANTWICK_ARGS"
# The unit names the package's paths under /usr; here the pieces are elsewhere.
mkdir "$work/units"
sed -e "s#/usr/sbin/#$prefix/sbin/#g" -e "s#/usr/libexec/#$prefix/libexec/#g" "$unit" \
  > "$work/units/brantwick.service"
status=0
MANPATH="$prefix/share/man" systemd-analyze verify "$work/units/brantwick.service" \
  > "$work/said" 2>&1 || status=$?
if [ "$status" != 0 ] || [ -s "$work/said" ]; then
  fail "systemd-analyze verify ($status): $(cat "$work/said")"
fi
echo "the unit verifies"
