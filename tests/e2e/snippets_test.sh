#!/bin/sh
# The rsyslog and logrotate snippets of contrib/ pass the checks of the programs
# that read them: rsyslogd -N1 and logrotate -d, which change nothing.
# Usage: snippets_test.sh SOURCE_DIR
set -eu
source=$1
. "$source/tests/e2e/private_dev.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/brantwick-snippets.XXXXXX")
trap 'rm -rf "$work"' EXIT

make_private_dev "$work/dev"
status=0
in_private_dev "$work/dev" rsyslogd -N1 -f "$source/contrib/rsyslog/brantwick.conf" \
  > "$work/rsyslogd" 2>&1 || status=$?
[ "$status" = 0 ] || fail "rsyslogd -N1 ($status): $(cat "$work/rsyslogd")"
! grep -qiE 'error|warning' "$work/rsyslogd" || fail "rsyslogd -N1: $(cat "$work/rsyslogd")"
grep -q 'template="RSYSLOG_TraditionalFileFormat"' "$source/contrib/rsyslog/brantwick.conf" ||
  fail "the devices' file is not in the traditional format"

# logrotate insists on a configuration only its owner may write.
cp "$source/contrib/logrotate/brantwick" "$work/brantwick"
chmod 644 "$work/brantwick"
status=0
logrotate -d -s "$work/state" "$work/brantwick" > "$work/logrotate" 2>&1 || status=$?
[ "$status" = 0 ] || fail "logrotate -d ($status): $(cat "$work/logrotate")"
! grep -q 'error' "$work/logrotate" || fail "logrotate -d: $(cat "$work/logrotate")"
watched=$(sed -n 's/^\(\/[^ ]*\) {$/\1/p' "$work/brantwick")
grep -q "file=\"$watched\"" "$source/contrib/rsyslog/brantwick.conf" ||
  fail "logrotate rotates '$watched', which rsyslog does not write"
grep -q "^BRANTWICK_ARGS=\".* $watched\"\$" "$source/contrib/default/brantwick" ||
  fail "/etc/default/brantwick does not watch '$watched'"
echo "the snippets pass their readers' checks"
