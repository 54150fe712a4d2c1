#!/usr/bin/env bash
# Builds the registry's endpoint programs and serves them through lighttpd on
# 127.0.0.1 until Ctrl-C.
#
# Settings, from the environment:
#   REGISTRY_PORT          TCP port (default 5000)
#   REGISTRY_STORAGE_ROOT  storage root (default ./registry_storage, under
#                          the directory this is run from)
#   REGISTRY_RUN_DIR       where the generated configuration, the cgi-bin
#                          directory and the request spool go (default ./run)
#
# The configuration is rendered from scripts/lighttpd.conf.in; every program
# the build puts in build/endpoints/ is linked into the cgi-bin directory.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
here=$(pwd)
port=${REGISTRY_PORT:-5000}
storage=${REGISTRY_STORAGE_ROOT:-$here/registry_storage}
run_dir=${REGISTRY_RUN_DIR:-$here/run}
build=$src/build

die() {
  echo "run: $*" >&2
  exit 1
}

case "$port" in
  '' | *[!0-9]*) die "REGISTRY_PORT must be a number, not '$port'" ;;
esac
[ "$port" -ge 1 ] && [ "$port" -le 65535 ] || die "REGISTRY_PORT out of range: $port"

# The programs run with the spool or the cgi-bin directory as working
# directory, so every path handed to them must be absolute.
absolute() {
  case "$1" in
    /*) printf '%s' "$1" ;;
    *) printf '%s/%s' "$here" "$1" ;;
  esac
}
storage=$(absolute "$storage")
run_dir=$(absolute "$run_dir")
for v in "$storage" "$run_dir"; do
  case "$v" in
    *'"'* | *'\'* | *$'\n'*) die "path with a quote, backslash or line break: $v" ;;
  esac
done

bash "$src/scripts/setup.sh"

cmake -S "$src" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target endpoint_programs

mkdir -p "$storage" "$run_dir/htdocs" "$run_dir/spool"
rm -rf "$run_dir/cgi-bin"
mkdir -p "$run_dir/cgi-bin"
found=0
for prog in "$build"/endpoints/*; do
  if [ -f "$prog" ] && [ -x "$prog" ]; then
    ln -s "$prog" "$run_dir/cgi-bin/$(basename "$prog")"
    found=1
  fi
done
[ $found -eq 1 ] || die "no endpoint programs in $build/endpoints"

# Replacement text for sed: escape the delimiter, & and backslash.
sed_text() { printf '%s' "$1" | sed -e 's/[|&\\]/\\&/g'; }
sed -e "s|@PORT@|$port|g" \
    -e "s|@RUN_DIR@|$(sed_text "$run_dir")|g" \
    -e "s|@STORAGE_ROOT@|$(sed_text "$storage")|g" \
    "$src/scripts/lighttpd.conf.in" >"$run_dir/lighttpd.conf"

lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
"$lighttpd" -tt -f "$run_dir/lighttpd.conf" >/dev/null

echo "registry: http://127.0.0.1:$port/v2/"
echo "registry: storage in $storage, configuration in $run_dir (Ctrl-C stops)"
exec "$lighttpd" -D -f "$run_dir/lighttpd.conf"
