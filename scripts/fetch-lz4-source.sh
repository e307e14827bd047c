#!/usr/bin/env bash
# Unpacks Debian's LZ4 source into DEST (for Codec.dll), through a private source list: the
# system's apt configuration is left as it is. Does nothing when DEST already holds it.
# Usage: fetch-lz4-source.sh DEST
set -euo pipefail
dest=$1
[ -f "$dest/lib/lz4.c" ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mirror=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' |
  grep -v security | head -n1)
mirror=${mirror:-http://deb.debian.org/debian}
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main" \
  >"$work/sources.list"
mkdir -p "$work/lists/partial"
apt_private=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=-
  -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root -qq)
apt-get "${apt_private[@]}" update >/dev/null
(cd "$work" && apt-get "${apt_private[@]}" source --download-only lz4 >/dev/null)
orig=$(ls "$work"/lz4_*.orig.tar.* | head -n1)
mkdir -p "$dest"
tar -xf "$orig" -C "$dest" --strip-components=1
