# Sourced by the scripts here. Programs run through in_private_dev see a /dev of
# the test's own, without a log socket, so nothing they log reaches the host's
# system log.

# Creates DIR with the null, zero, random and urandom devices.
make_private_dev() {
  mkdir "$1"
  mknod -m 666 "$1/null" c 1 3
  mknod -m 666 "$1/zero" c 1 5
  mknod -m 666 "$1/random" c 1 8
  mknod -m 666 "$1/urandom" c 1 9
}

# in_private_dev DIR COMMAND [ARGUMENT...]
in_private_dev() {
  unshare --mount --propagation private /bin/sh -c \
    'mount --bind "$1" /dev && shift && exec "$@"' sh "$@"
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
