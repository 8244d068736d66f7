#!/bin/sh
# The manual page renders without a warning from groff or man, has the sections
# an operator looks for, and documents every option the program's usage line
# shows and every message the program logs, under the severity it logs it at.
# Usage: manual_test.sh BRANTWICK_BINARY SOURCE_DIR
set -eu
binary=$1
source=$2
page=$source/docs/brantwick.8
. "$source/tests/e2e/private_dev.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/brantwick-manual.XXXXXX")
trap 'rm -rf "$work"' EXIT

groff -man -ww -z "$page" 2> "$work/groff" || fail "groff failed: $(cat "$work/groff")"
[ ! -s "$work/groff" ] || fail "groff: $(cat "$work/groff")"
for width in 80 200; do
  MANWIDTH=$width LC_ALL=C man --warnings -P cat -l "$page" > "$work/page.$width" 2> "$work/man" ||
    fail "man -l failed: $(cat "$work/man")"
  [ ! -s "$work/man" ] || fail "man -l: $(cat "$work/man")"
done
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OPERANDS 'THE WATCHED FILE' \
  'THE RETRIEVER' DIAGNOSTICS 'EXIT STATUS' SIGNALS EXAMPLES 'SEE ALSO'; do
  grep -qx "$section" "$work/page.80" || fail "no section $section"
done

# Every option of the usage line has an entry of its own among the options.
make_private_dev "$work/dev"
in_private_dev "$work/dev" "$binary" -x 2> "$work/usage" > /dev/null || :
grep -q '^Syntax: ' "$work/usage" || fail "no usage line: $(cat "$work/usage")"
options=$(grep '^Syntax: ' "$work/usage" | grep -o '\[-[a-z] [a-z]*\]' | tr -d '[]' | tr ' ' ':')
[ -n "$options" ] || fail "no options in the usage line"
sed -n '/^OPTIONS$/,/^[A-Z]/p' "$work/page.200" > "$work/options"
for option in $options; do
  flag=${option%%:*}
  argument=${option#*:}
  grep -qx "       $flag $argument" "$work/options" ||
    fail "option $flag $argument has no entry"
done

# Every message the program logs, found under its severity: each literal run of
# its format, between the conversions, lies in one line of that subsection. A
# message is a severity constant followed by its format literal, however the
# call is broken over lines and whatever its record is called; comments go
# first, and adjacent literals are joined as the compiler joins them.
find "$source/src" -name '*.cc' -exec cat {} + | sed 's|^\([^"]*\)//.*$|\1|' |
  tr '\n\t' '  ' | sed 's/" *"//g' > "$work/source"
grep -o 'sev_[a-z]*, *"[^"]*"' "$work/source" |
  sed 's/^sev_\([a-z]*\), *"\(.*\)"$/\1	\2/' > "$work/found"
# Each call must show its message so: one with a format of another shape would
# go unchecked.
calls=$(grep -o 'log_event *(' "$work/source" | wc -l)
defined=$(grep -o 'void  *log_event *(' "$work/source" | wc -l)
# A refusal is logged by the program entry as it was made, and its message is
# found where it was made (`refused(sev_..., "..."`).
forwarded=$(grep -o 'log_event *([^,]*, *[a-z_]*->severity' "$work/source" | wc -l)
refusals=$(grep -o 'refused[a-z_]* *( *sev_' "$work/source" | wc -l)
calls=$((calls - forwarded + refusals))
[ "$((calls - defined))" = "$(wc -l < "$work/found")" ] ||
  fail "$((calls - defined)) calls of log_event and refusals, but $(wc -l < "$work/found") with a severity constant and a format literal"
sort -u "$work/found" > "$work/messages"
[ "$(wc -l < "$work/messages")" -ge 20 ] || fail "found only $(wc -l < "$work/messages") messages"
sed -n '/^DIAGNOSTICS$/,/^EXIT STATUS$/p' "$work/page.200" | tr -s ' ' > "$work/diagnostics"
awk -F '	' -v page="$work/diagnostics" '
  BEGIN {
    while ((getline line < page) > 0) {
      if (line ~ /^ (critical|error|warning|info|debug)$/) { section = substr(line, 2); continue }
      lines[section] = lines[section] "\n" line
    }
  }
  {
    severity = $1
    n = split($2, parts, /%[a-z]|\[[0-9]+d?\]/)
    found = 0
    count = split(lines[severity], text, "\n")
    for (i = 1; i <= count && !found; ++i) {
      at = 1; ok = 1
      for (p = 1; p <= n; ++p) {
        if (parts[p] == "" || parts[p] == " ") continue
        where = index(substr(text[i], at), parts[p])
        if (where == 0) { ok = 0; break }
        at += where + length(parts[p]) - 1
      }
      found = ok
    }
    if (!found) { print "not documented under " severity ": " $2; missing = 1 }
  }
  END { exit missing }
' "$work/messages" || fail "messages missing from DIAGNOSTICS"
echo "the manual page renders cleanly and documents $(echo "$options" | wc -w) options and $(wc -l < "$work/messages") messages"
