#!/bin/sh
# cmake --install puts the program in sbin, the manual page in man8, the example
# retriever in libexec/brantwick and the rest of contrib/ among the examples,
# and nothing else; the installed pieces work from there.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
. "$source/tests/e2e/private_dev.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/brantwick-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log" ||
  fail "cmake --install: $(cat "$work/install.log")"

(cd "$prefix" && find . -type f | sort) > "$work/installed"
cat > "$work/expected" <<'LIST'
./libexec/brantwick/retrieve-config
./sbin/brantwick
./share/doc/brantwick/examples/default/brantwick
./share/doc/brantwick/examples/logrotate/brantwick
./share/doc/brantwick/examples/rsyslog/brantwick.conf
./share/doc/brantwick/examples/sample/devices.log
./share/doc/brantwick/examples/systemd/brantwick.service
./share/doc/brantwick/examples/sysusers/brantwick.conf
./share/doc/brantwick/examples/tmpfiles/brantwick.conf
./share/man/man8/brantwick.8
LIST
diff -u "$work/expected" "$work/installed" || fail "the installed files differ"

[ -x "$prefix/sbin/brantwick" ] || fail "sbin/brantwick is not executable"
[ -x "$prefix/libexec/brantwick/retrieve-config" ] || fail "the retriever is not executable"
cmp "$source/docs/brantwick.8" "$prefix/share/man/man8/brantwick.8"
cmp "$source/contrib/retrieve-config" "$prefix/libexec/brantwick/retrieve-config"
for piece in systemd/brantwick.service sysusers/brantwick.conf tmpfiles/brantwick.conf \
  default/brantwick rsyslog/brantwick.conf logrotate/brantwick sample/devices.log; do
  cmp "$source/contrib/$piece" "$prefix/share/doc/brantwick/examples/$piece"
done

# The installed program is the one built: it refuses a bad option with its
# usage line and status 1.
make_private_dev "$work/dev"
status=0
in_private_dev "$work/dev" "$prefix/sbin/brantwick" -x 2> "$work/usage" || status=$?
[ "$status" = 1 ] || fail "brantwick -x ended with status $status"
grep -qx 'Syntax: brantwick \[-s facility\] \[-p pidfile\] \[-u user\] \[-g group\] \[-t seconds\] \[-r retriever\] logfilename\.\.\.' \
  "$work/usage" || fail "no usage line: $(cat "$work/usage")"

# man finds the page under the prefix.
found=$(MANPATH="$prefix/share/man" man -w brantwick)
[ "$found" = "$prefix/share/man/man8/brantwick.8" ] || fail "man -w found '$found'"
MANPATH="$prefix/share/man" MANWIDTH=80 LC_ALL=C man -P cat brantwick > "$work/page" 2> "$work/errors"
[ ! -s "$work/errors" ] || fail "man: $(cat "$work/errors")"
grep -q '^SYNOPSIS' "$work/page" || fail "the installed page did not render"
echo "installed tree is complete"
