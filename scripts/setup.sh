#!/usr/bin/env bash
# Installs what building, running and testing the registry needs, on Debian 12.
# Idempotent: packages already present are left alone, the extra apt source is
# written once. Run as root or through sudo.
#
# yyjson 0.12 is not in bookworm; it comes from the forky suite, added as an
# extra source pinned below the default priority so nothing else is upgraded
# from it. The mirror is taken from this machine's own Debian source entry.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

need_pkgs=(cmake ninja-build g++ pkg-config libgtest-dev googletest libssl-dev
           lighttpd curl skopeo python3 time)

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
yy_ok=0
if dpkg-query -W -f='${Status} ${Version}' libyyjson-dev 2>/dev/null | grep -q 'install ok installed 0\.12'; then
  yy_ok=1
fi
if [ ${#missing[@]} -eq 0 ] && [ $yy_ok -eq 1 ]; then
  exit 0
fi

# Find the mirror URI of the machine's main Debian source (not the security one).
debian_uri() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '/^URIs:/ {for (i = 2; i <= NF; i++) print $i}' "$f" | grep -v -- '-security' | head -n 1)
    if [ -n "$uri" ]; then echo "$uri"; return; fi
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' "$f" \
          | grep -v -- '-security' | head -n 1)
    if [ -n "$uri" ]; then echo "$uri"; return; fi
  done
}

if [ $yy_ok -eq 0 ] && [ ! -f /etc/apt/sources.list.d/registry-forky.sources ]; then
  uri=$(debian_uri)
  if [ -z "$uri" ]; then
    echo "setup: no Debian source entry found in the apt configuration" >&2
    exit 1
  fi
  $SUDO tee /etc/apt/sources.list.d/registry-forky.sources >/dev/null <<SRC
Types: deb
URIs: $uri
Suites: forky
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  $SUDO tee /etc/apt/preferences.d/registry-forky.pref >/dev/null <<PREF
Package: *
Pin: release n=forky
Pin-Priority: 100
PREF
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ $yy_ok -eq 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends libyyjson-dev/forky libyyjson0/forky 2>/dev/null \
    || $SUDO apt-get install -y -qq --no-install-recommends libyyjson-dev/forky
fi
