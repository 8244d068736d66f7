#!/bin/sh
# scripts/package builds brantwick_VERSION_ARCH.deb into the directory given,
# prints its path as its last line and writes nothing into the checkout or
# beside it. The package tests after it take the .deb from there.
# Usage: package_build_test.sh OUTPUT_DIR SOURCE_DIR (OUTPUT_DIR lies in the
# build directory)
set -eu
output=$1
source=$2
. "$source/tests/e2e/private_dev.sh"
rm -rf "$output"
mkdir -p "$output"
build=$(dirname "$output")
# The names of the files in the checkout, but in build directories, and beside
# it.
files() {
  find "$source" -path "$source/.git" -prune -o -path "$build" -prune \
    -o -path "$source/build*" -prune -o -print | sort
  find "$source/.." -maxdepth 1 -name 'brantwick_*'
}
files > "$output/before"
status=0
"$source/scripts/package" "$output" > "$output/said" 2>&1 || status=$?
[ "$status" = 0 ] || fail "scripts/package ($status): $(tail -n 30 "$output/said")"
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
deb=$output/brantwick_${version}_$(dpkg-architecture -q DEB_HOST_ARCH).deb
[ "$(tail -n 1 "$output/said")" = "$deb" ] ||
  fail "the last line is '$(tail -n 1 "$output/said")', not $deb"
[ -f "$deb" ] || fail "no $deb"
[ "$(dpkg-deb -f "$deb" Package)" = brantwick ] || fail "$deb holds another package"
files | diff -u "$output/before" - || fail "the build wrote into the checkout or beside it"
echo "built $deb"
