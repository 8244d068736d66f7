#!/bin/sh
# The package built by Package.Builds: lintian finds no error and no warning;
# it holds exactly the files the service needs, /etc ones as conffiles; the
# program carries the hardening of dpkg-buildflags; and systemd-analyze rates
# the unit's exposure 3.0 at most.
# Usage: package_contents_test.sh PACKAGE_DIR SOURCE_DIR
set -eu
output=$1
source=$2
. "$source/tests/e2e/private_dev.sh"
set -- "$output"/brantwick_*.deb
[ -f "$1" ] || fail "no package in $output"
deb=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/brantwick-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

status=0
lintian --fail-on error,warning --display-info "$deb" > "$work/lintian" 2>&1 || status=$?
cat "$work/lintian"
[ "$status" = 0 ] || fail "lintian ($status)"

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort > "$work/files"
cat > "$work/expected" <<'LIST'
./etc/default/brantwick
./etc/logrotate.d/brantwick
./usr/lib/systemd/system/brantwick.service
./usr/lib/sysusers.d/brantwick.conf
./usr/lib/tmpfiles.d/brantwick.conf
./usr/libexec/brantwick/retrieve-config
./usr/sbin/brantwick
./usr/share/doc/brantwick/changelog.gz
./usr/share/doc/brantwick/copyright
./usr/share/doc/brantwick/examples/rsyslog/brantwick.conf
./usr/share/doc/brantwick/examples/sample/devices.log
./usr/share/man/man8/brantwick.8.gz
LIST
diff -u "$work/expected" "$work/files" || fail "the package holds other files"
dpkg-deb -x "$deb" "$work/tree"
dpkg-deb -e "$deb" "$work/control"
printf '/etc/default/brantwick\n/etc/logrotate.d/brantwick\n' | diff -u - "$work/control/conffiles" ||
  fail "other conffiles"
for piece in default/brantwick:etc/default/brantwick logrotate/brantwick:etc/logrotate.d/brantwick \
  systemd/brantwick.service:usr/lib/systemd/system/brantwick.service \
  sysusers/brantwick.conf:usr/lib/sysusers.d/brantwick.conf \
  tmpfiles/brantwick.conf:usr/lib/tmpfiles.d/brantwick.conf retrieve-config:usr/libexec/brantwick/retrieve-config \
  rsyslog/brantwick.conf:usr/share/doc/brantwick/examples/rsyslog/brantwick.conf; do
  cmp "$source/contrib/${piece%%:*}" "$work/tree/${piece#*:}" || fail "${piece#*:} is not contrib/${piece%%:*}"
done

# Relro, now, PIE, the stack protector and fortified calls.
program=$work/tree/usr/sbin/brantwick
readelf -W -l "$program" | grep -q GNU_RELRO || fail "no relro"
readelf -W -d "$program" | grep -q 'FLAGS.*BIND_NOW\|FLAGS_1.*NOW' || fail "no immediate binding (now)"
readelf -W -d "$program" | grep -q 'FLAGS_1.*PIE' || fail "not a PIE"
readelf -W --dyn-syms "$program" | grep -q '__stack_chk_fail' || fail "no stack protector"
readelf -W --dyn-syms "$program" | grep -q '__[a-z_]*_chk@' || fail "no fortified calls"

systemd-analyze security --offline=true --no-pager "$work/tree/usr/lib/systemd/system/brantwick.service" \
  > "$work/security" 2>&1 || :
exposure=$(sed -n 's/^.*Overall exposure level for brantwick.service: \([0-9.]*\).*/\1/p' "$work/security")
[ -n "$exposure" ] || fail "systemd-analyze security: $(cat "$work/security")"
grep '✗' "$work/security" || :
echo "exposure $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' || fail "the unit's exposure is $exposure"
echo "the package is complete, clean and hardened"
