#!/bin/sh
# The README's demo, on the build under test: it prints what the retriever
# received for the sample log and for the appended line, runs to its end, and
# leaves no process and no file behind.
# Usage: demo_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
. "$source/tests/e2e/private_dev.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/brantwick-demo-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
make_private_dev "$work/dev"
mkdir "$work/tmp"

status=0
BRANTWICK_DEMO_BUILD=$build TMPDIR=$work/tmp \
  in_private_dev "$work/dev" "$source/scripts/demo" < /dev/null > "$work/out" 2>&1 || status=$?
cat "$work/out"
[ "$status" = 0 ] || fail "the demo ended with status $status"

# The requests, in the order the demo shows them: the first check's, sorted by
# device, then the appended line's.
grep -E '^    (device|detail):' "$work/out" > "$work/requests"
cat > "$work/expected" <<'LIST'
    device: core1
    detail: 389: *Mar  3 10:16:40.511: %SYS-5-CONFIG_I: Configured from console by netops on vty1 (192.0.2.7)
    device: edge1
    detail: 412: *Mar  3 10:15:02.123: %SYS-5-CONFIG_I: Configured from console by admin on vty0 (192.0.2.1)
    device: edge2
    detail: 79: *Mar  3 10:20:01.250: %SYS-5-CONFIG_I: Configured from console by ops on vty2 (192.0.2.9)
LIST
diff -u "$work/expected" "$work/requests" || fail "the retriever received other requests"
tail -n 1 "$work/out" | grep -q '^== stopping the daemon' || fail "the demo did not run to its end"

# Nothing started from the demo's scratch directory is still running: neither
# the daemon (its program lies there, whatever title it shows) nor a retriever.
daemon=$(sed -n 's/^   the daemon runs with pid \([0-9]*\)$/\1/p' "$work/out")
[ -n "$daemon" ] || fail "the demo named no daemon"
if [ -e "/proc/$daemon" ] && ! sed 's/.*) //' "/proc/$daemon/stat" | grep -q '^Z'; then
  fail "the daemon $daemon still runs"
fi
for process in /proc/[0-9]*; do
  program=$(readlink "$process/exe" 2> /dev/null) || continue
  command=$({ tr '\0' ' ' < "$process/cmdline"; } 2> /dev/null) || continue
  state=$(sed 's/.*) //' "$process/stat" 2> /dev/null) || continue
  case $state in Z*) continue ;; esac
  case "$program $command" in
    *"$work/tmp"*) fail "still running: ${process#/proc/} $command" ;;
  esac
done
[ -z "$(ls -A "$work/tmp")" ] || fail "the demo left $(ls -A "$work/tmp")"
echo "the demo ran to its end"
