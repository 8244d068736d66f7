#!/bin/sh
# The Debian package under a real systemd: boots systemd with systemd-nspawn
# over a copy-on-write view of this machine's root (an overlay whose upper layer
# is a tmpfs), with a network of its own that has only the loopback; a unit in
# there runs package_checks.sh, which installs the package and checks the
# service. Everything the container writes lands in the tmpfs, and every mount
# lives in a mount namespace of the test's own. Skipped (77) where such a
# container cannot be booted.
# Usage: package_systemd_test.sh PACKAGE_DIR SOURCE_DIR
set -eu
deb=$1
source=$2
. "$source/tests/e2e/private_dev.sh"
skip() {
  echo "skipped: $*"
  exit 77
}

# The directories of the cgroups this process is in that systemd uses: the
# named systemd hierarchy of a hybrid host and the unified one.
cgroups_of_mine() {
  sed -n 's/^[0-9]*:\(name=systemd\)\{0,1\}:\(\/.*\)$/\1 \2/p' /proc/self/cgroup |
    while read -r hierarchy path; do
      if [ -z "$path" ]; then
        path=$hierarchy
        hierarchy=unified/
        [ "$(stat -f -c %T /sys/fs/cgroup/unified 2> /dev/null)" = cgroup2fs ] || hierarchy=
      else
        hierarchy=systemd/
      fi
      echo "/sys/fs/cgroup/$hierarchy${path#/}"
    done
}
own_cgroups() {
  cgroups_of_mine > "$work/cgroups"
  while read -r dir; do
    mkdir "$dir/brantwick-test.$$"
    echo $$ > "$dir/brantwick-test.$$/cgroup.procs"
  done < "$work/cgroups"
}
drop_cgroups() {
  while read -r dir; do
    echo $$ > "$dir/cgroup.procs"
    find "$dir/brantwick-test.$$" -depth -type d -exec rmdir {} \;
  done < "$work/cgroups"
}

if [ "${3-}" = --in-namespace ]; then
  # In the private mount namespace: build the root, boot it, keep the results.
  work=$4
  layer=$work/layer
  root=$work/root
  mount -t tmpfs -o mode=755 brantwick-upper "$layer"
  mkdir "$layer/upper" "$layer/work"
  mount -t overlay -o "lowerdir=/,upperdir=$layer/upper,workdir=$layer/work" \
    brantwick-root "$root"
  # systemd-nspawn keeps state of its own under /run; here it stays private.
  mount -t tmpfs -o mode=755 brantwick-run /run
  touch "$work/mounted"

  mkdir -p "$root/root/brantwick-test"
  cp "$deb" "$root/root/brantwick-test/brantwick.deb"
  cp "$source/tests/e2e/package_checks.sh" "$root/root/brantwick-test/checks.sh"
  # No timer of the host's (apt, logrotate, man-db) runs amid the checks.
  ln -sf /dev/null "$root/etc/systemd/system/timers.target"
  cat > "$root/etc/systemd/system/brantwick-test.target" <<'UNIT'
[Unit]
Description=The package checks and nothing else
Requires=basic.target brantwick-test.service
After=basic.target
AllowIsolate=yes
UNIT
  cat > "$root/etc/systemd/system/brantwick-test.service" <<'UNIT'
[Unit]
Description=The package checks
After=basic.target
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'exec sh /root/brantwick-test/checks.sh /root/brantwick-test/brantwick.deb > /root/brantwick-test/said 2>&1'
UNIT
  # systemd-nspawn makes its cgroups below the one it runs in, and leaves them:
  # it runs in cgroups of the test's own, removed after.
  own_cgroups
  status=0
  timeout -k 10 100 systemd-nspawn --quiet --directory="$root" --boot --register=no \
    --keep-unit --private-network --link-journal=no --machine=brantwick-test \
    systemd.firstboot=off systemd.unit=brantwick-test.target \
    < /dev/null > "$work/console" 2>&1 || status=$?
  echo "$status" > "$work/status"
  drop_cgroups
  cp "$root/root/brantwick-test/said" "$work/said" 2> /dev/null || :
  exit 0
fi

[ "$(id -u)" = 0 ] || skip "booting a container needs root"
command -v systemd-nspawn > /dev/null || skip "systemd-nspawn is not installed (systemd-container)"
[ -x /lib/systemd/systemd ] || skip "systemd is not installed"
grep -qw overlay /proc/filesystems || modprobe overlay 2> /dev/null ||
  skip "the kernel has no overlayfs"
for deb in "$1"/brantwick_*.deb; do :; done
[ -f "$deb" ] || fail "no package in $1"

work=$(mktemp -d "${TMPDIR:-/tmp}/brantwick-container.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/layer" "$work/root"
status=0
unshare --mount --propagation private sh "$0" "$deb" "$source" --in-namespace "$work" \
  > "$work/setup" 2>&1 || status=$?
if [ ! -e "$work/mounted" ]; then
  cat "$work/setup"
  skip "no overlay of the root over a tmpfs can be mounted here"
fi
[ "$status" = 0 ] || fail "setting up the container: $(cat "$work/setup")"
if [ ! -s "$work/said" ]; then
  tail -n 30 "$work/console"
  # systemd-nspawn gave up before systemd ran: no container boots here.
  grep -q 'running in system mode' "$work/console" ||
    skip "systemd-nspawn cannot boot a container here (status $(cat "$work/status"))"
  fail "systemd booted but the checks did not run (status $(cat "$work/status"))"
fi
cat "$work/said"
if grep -q '^FAIL' "$work/said" || [ "$(tail -n 1 "$work/said")" != "checks done" ]; then
  tail -n 30 "$work/console"
  fail "the package failed under systemd"
fi
echo "the package works under systemd"
