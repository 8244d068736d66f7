#!/bin/sh
# Run by a unit inside the container that package_systemd_test.sh boots: installs
# the package as an operator would and checks the service through systemd, the
# journal, rsyslogd and logrotate. Each check prints "ok: ..." or "FAIL: ...";
# the last line is "checks done".
# Usage: package_checks.sh DEB
set -u
deb=$1
spool=/var/spool/brantwick
watched=/var/log/network/devices.log
unit=brantwick.service
failed=0

ok() { echo "ok: $*"; }
bad() {
  echo "FAIL: $*"
  failed=1
}
# check DESCRIPTION COMMAND...
check() {
  what=$1
  shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}
# eventually SECONDS COMMAND...: whether COMMAND succeeds within SECONDS.
eventually() {
  limit=$(($1 * 10))
  shift
  tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ "$tries" -lt "$limit" ] || return 1
    sleep 0.1
  done
}
main_pid() { systemctl show -P MainPID "$unit"; }
active() { [ "$(systemctl is-active "$unit")" = active ]; }
# Whether a request for DEVICE whose detail holds TEXT is in the spool.
retrieved() { grep -qs -F "$2" "$spool/$1".*; }
in_journal() { journalctl -q -b -t brantfetch -o cat | grep -q -F "$1"; }
# The processes of the brantwick user, or whose command line names brantwick.
brantwick_processes() {
  uid=$1
  for process in /proc/[0-9]*; do
    owner=$(awk '/^Uid:/ { print $2 }' "$process/status" 2> /dev/null) || continue
    command=$(tr '\0' ' ' < "$process/cmdline" 2> /dev/null) || continue
    case $command in "brantwick"* | */brantwick\ *) ;; *) [ "$owner" = "$uid" ] || continue ;; esac
    [ -n "$command" ] && echo "${process#/proc/} $command"
  done
}
# The service's daemon: its title, its user and group, the pid file.
check_daemon() {
  pid=$(main_pid)
  check "$1: the service is active" active
  title=$(tr '\0' ' ' < "/proc/$pid/cmdline" 2> /dev/null)
  case $title in
    "brantwick: "*) ok "$1: MainPID $pid is the daemon ($title)" ;;
    *) bad "$1: MainPID $pid shows '$title'" ;;
  esac
  uid=$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status")
  gid=$(awk '/^Gid:/ { print $2 }' "/proc/$pid/status")
  if [ "$uid" = "$(id -u brantwick)" ] && [ "$gid" = "$(getent group adm | cut -d: -f3)" ]; then
    ok "$1: the daemon runs as brantwick:adm"
  else
    bad "$1: the daemon runs as uid $uid gid $gid"
  fi
  written=$(cat /run/brantwick/brantwick.pid 2> /dev/null)
  check "$1: the pid file holds MainPID ($written)" [ "$written" = "$pid" ]
}
notice() { echo "412: *Dec 11 12:00:00.123: %SYS-5-CONFIG_I: Configured from console by $1"; }

# Installed as the operator does: the user, the spool, the enabled and started
# service.
rm -f /usr/sbin/policy-rc.d
check "dpkg -i installs the package" dpkg -i "$deb"
check "the system user exists" getent passwd brantwick
check "the spool belongs to brantwick" [ "$(stat -c %U:%a "$spool")" = brantwick:750 ]
check "the service is enabled" [ "$(systemctl is-enabled "$unit")" = enabled ]
check "installing started the service" eventually 10 active

# The operator's part of the command line: a check every second.
sed -i 's/^BRANTWICK_ARGS="/BRANTWICK_ARGS="-t 1 /' /etc/default/brantwick
grep '^BRANTWICK_ARGS=' /etc/default/brantwick
mkdir -p /var/log/network
install -m 640 -o root -g adm /dev/null "$watched"
systemctl stop "$unit"
check "systemctl start" systemctl start "$unit"
check_daemon start
first=$(main_pid)

# A notice appended to the watched file reaches the packaged retriever.
echo "Dec 11 12:00:00 edge1 $(notice direct)" >> "$watched"
check "a notice in the watched file is retrieved" eventually 10 retrieved edge1 "$(notice direct)"
check "the journal holds the daemon's messages" \
  eventually 5 in_journal "Logfile '$watched' reveals config change on 'edge1'"

# Through rsyslogd with the packaged example: a datagram on the loopback.
cp /usr/share/doc/brantwick/examples/rsyslog/brantwick.conf /etc/rsyslog.d/brantwick.conf
echo 'global(net.enableDNS="off")' > /etc/rsyslog.d/00-no-name-lookups.conf
rm -f "$watched"
check "rsyslogd starts with the example" systemctl restart rsyslog.service
host=$(hostname)
send() { logger --udp --server 127.0.0.1 --port 514 --rfc3164 -t router -- "$(notice "$1")"; }
send rsyslog
check "a datagram to rsyslogd is retrieved" eventually 10 retrieved "$host" "$(notice rsyslog)"
check "rsyslogd made the watched file root:adm 0640" \
  [ "$(stat -c %U:%G:%a "$watched")" = root:adm:640 ]

# The retrievers' confinement leaves them the network and name resolution: a
# retriever that resolves a name and sends a datagram to rsyslogd by it.
mkdir -p /usr/local/libexec
cat > /usr/local/libexec/brantwick-probe <<'PROBE'
#!/bin/sh
{
  getent ahosts localhost > /dev/null && echo "resolved"
  logger --udp --server localhost --port 514 -t probe -- "sent by the retriever for $1" &&
    echo "sent"
} > "/var/spool/brantwick/probe-$1.$$" 2>&1
PROBE
chmod 755 /usr/local/libexec/brantwick-probe
cp /etc/default/brantwick /root/brantwick-test/default
sed -i 's#-r [^ ]*#-r /usr/local/libexec/brantwick-probe#' /etc/default/brantwick
systemctl restart "$unit"
echo "Dec 11 12:00:00 core1 $(notice probe)" >> "$watched"
probe_said() { grep -qsx "$1" "$spool"/probe-core1.*; }
check "a retriever resolves a name" eventually 10 probe_said resolved
check "a retriever sends to the network" eventually 10 probe_said sent
check "its datagram reached rsyslogd" \
  eventually 10 grep -q 'sent by the retriever for core1' "$watched"
cat "$spool"/probe-core1.*
cp /root/brantwick-test/default /etc/default/brantwick
systemctl restart "$unit"

# logrotate with the packaged snippet; the next notice is still retrieved.
check "logrotate rotates the watched file" logrotate -f /etc/logrotate.d/brantwick
check "the old file lies beside the new one" [ -s "$watched.1" ]
send rotated
check "a notice after the rotation is retrieved" eventually 10 retrieved "$host" "$(notice rotated)"
check "the daemon saw the rotation" \
  eventually 5 in_journal "Log file '$watched' has rotated"

# Restart, stop and removal.
check "systemctl restart" systemctl restart "$unit"
check_daemon restart
check "the restart gave a new MainPID" [ "$(main_pid)" != "$first" ]
check "systemctl stop" systemctl stop "$unit"
left=$(brantwick_processes "$(id -u brantwick)")
check "nothing of brantwick runs after stop${left:+: $left}" [ -z "$left" ]
# This many starts in a few seconds reach systemd's start limit; reset it.
systemctl reset-failed "$unit"
systemctl start "$unit"
running=$(main_pid)
check "the service runs again before the removal" [ "$running" -gt 0 ]
check "dpkg -r removes the package" dpkg -r brantwick
check "the removal stopped the daemon" [ ! -e "/proc/$running" ]
check "the service is gone" [ "$(systemctl is-active "$unit")" != active ]
left=$(brantwick_processes "$(id -u brantwick)")
check "nothing of brantwick runs after removal${left:+: $left}" [ -z "$left" ]
for file in /usr/sbin/brantwick /usr/lib/systemd/system/brantwick.service \
  /usr/libexec/brantwick/retrieve-config /usr/lib/sysusers.d/brantwick.conf \
  /usr/share/man/man8/brantwick.8.gz; do
  check "dpkg -r removed $file" [ ! -e "$file" ]
done
echo "checks done"
exit "$failed"
