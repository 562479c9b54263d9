#!/usr/bin/env bash
# Builds the Debian package of a built tree with cpack, unpacks it with
# dpkg-deb into a scratch root and runs the unpacked programs there on the
# bundled samples: vellumar posts the sample into each base format (one base
# by a "./" path, which means the installed program's own directory) and
# msgdump lists what it wrote; the crontab line of the examples runs as cron
# would run it (working directory "/", an empty environment) with its paths
# moved into the scratch root. Every program in the package must come with
# its manual page, and lintian, where it is installed, must report no error
# and no hardening note.
#
# Usage: package_test.sh <build directory>
# Exit status 77 (a skipped test) when cpack or dpkg-deb is missing.
set -euo pipefail
build=$1
for tool in cpack dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

# The program reads keywords out of its own path, so the scratch root's path
# holds no '-', '+' or '='.
scratch=$(mktemp -d /tmp/vellumarpkgXXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

cpack -G DEB -B "$scratch/out" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack could not build the package"; }
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = vellumar ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ $depends == *libc6* ]] || fail "dependencies not computed from the binaries: '$depends'"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
examples=$root/usr/share/doc/vellumar/examples
for name in vellumar msgdump; do
  [ -x "$bin/$name" ] || fail "usr/bin/$name missing"
done
for f in vellumar.cfg cron.cfg crontab head.tpl foot.tpl hello.txt; do
  [ -f "$examples/$f" ] || fail "example $f missing"
done
for program in "$bin"/*; do
  page=$root/usr/share/man/man1/$(basename "$program").1.gz
  [ -f "$page" ] || fail "no manual page for $(basename "$program")"
  gzip -t "$page" || fail "$page is not a whole gzip file"
done

# The sample posting, run where the samples were unpacked.
cd "$examples"
expected=$(printf '%s\n' "Vellumar/LNX v0.1beta Tamberlane" "" "Message was succefully generated! :-)")
for base in "F$scratch/msg" "S$scratch/squish" "J$scratch/jam" "J./local"; do
  got=$("$bin/vellumar" -cvellumar.cfg "-e$base" -Fhello.txt) ||
    fail "vellumar into $base ended with status $?: $got"
  [ "$got" = "$expected" ] || fail "vellumar into $base printed: $got"
done
[ -n "$(ls "$bin"/local.* 2>/dev/null)" ] || fail "'./' did not mean the installed program's directory"
for base in "F$scratch/msg" "S$scratch/squish" "J$scratch/jam" "J$bin/local"; do
  listing=$("$bin/msgdump" "$base") || fail "msgdump $base ended with status $?: $listing"
  grep -q "Subject:    Sample posting" <<<"$listing" || fail "msgdump $base: no sample message in: $listing"
done
echo "the unpacked programs posted and listed the samples in every format"

# The crontab line, with the paths of the examples moved into the scratch
# root: /etc/vellumar/ holds the configuration and the templates,
# /srv/outgoing/ the file, /var/spool/ftn/msg/ the area.
etc=$scratch/etc
mkdir -p "$etc" "$scratch/srv"
cp head.tpl foot.tpl "$etc/"
cp hello.txt "$scratch/srv/report.zip"
moved() {
  sed -e "s|/etc/vellumar/|$etc/|g" -e "s|/srv/outgoing/|$scratch/srv/|g" \
    -e "s|/var/spool/ftn/|$scratch/ftn/|g" -e "s|/usr/bin/|$bin/|g"
}
moved <cron.cfg >"$etc/vellumar.cfg"
command=$(grep -v -e '^#' -e '^$' crontab | moved | cut -d' ' -f6-)
got=$(cd / && env -i sh -c "$command") || fail "the crontab line ended with status $?: $got"
[ "$got" = "$expected" ] || fail "the crontab line printed: $got"
"$bin/msgdump" "J$scratch/ftn/msg/FILES" | grep -q "Subject:    Nightly files" ||
  fail "the crontab line posted nothing into the area of cron.cfg"
echo "the crontab line of the examples posted from / with an empty environment"

if command -v lintian >/dev/null; then
  # Informational tags too: the hardening notes are among them.
  report=$(lintian --display-info "$deb" 2>&1 || true)
  [ -z "$report" ] || echo "$report"
  if grep -q '^E:' <<<"$report"; then fail "lintian reports errors"; fi
  if grep -q 'hardening-' <<<"$report"; then fail "lintian reports missing hardening"; fi
  echo "lintian: no errors, no hardening notes"
else
  echo "lintian is not installed: not checked"
fi
