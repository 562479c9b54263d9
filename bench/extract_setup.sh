# Sourced by the msgextract benchmarks, from the source tree's root with the
# build directory as $1 (default: build): checks that vellumar and msgextract
# are built, and leaves the caller in a new work directory (removed at exit)
# holding copies of both, a header and a footer template and an empty out/.
build=${1:-build}
vellumar=$build/app/vellumar
msgextract=$build/tools/msgextract/msgextract
for p in "$vellumar" "$msgextract"; do
  [ -x "$p" ] || { echo "no program at $p; build vellumar and msgextract first" >&2; exit 1; }
done
# vellumar reads keywords out of its own path too: a path without '-', '+', '='.
work=$(mktemp -d /tmp/extractbenchXXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$vellumar" "$msgextract" "$work/"
cd "$work"
printf 'Hello @TName,\n' >head.tpl
printf 'Bye\n' >foot.tpl
mkdir out
