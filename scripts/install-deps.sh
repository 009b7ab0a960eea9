#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need, from Debian's packages.
# Idempotent: when every package is present it only checks and returns.
# `--check` only checks: exit status 0 when everything is present, 1 (listing what is missing on
# stderr) when not; it never calls apt or sudo.
#
# yyjson 0.10 is packaged from Debian 13 on. On an older release the next release is added as
# an extra apt source whose pin admits only libyyjson0 and libyyjson-dev; everything else stays
# on the machine's own release. The mirror is taken from the machine's own apt sources.
set -euo pipefail

packages=(g++ clang libclang-rt-dev cmake ninja-build make pkg-config binutils
          libgtest-dev libgmock-dev libbenchmark-dev python3
          libcurl4-openssl-dev libcpp-httplib-dev libyyjson-dev
          # The players the end-to-end tests play streams with: ffmpeg brings ffprobe and ffplay.
          ffmpeg mpv)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
as_root() { "${sudo_cmd[@]}" "$@"; }

yyjson_ok() {
  pkg-config --exists 'yyjson >= 0.10' 2>/dev/null
}

missing() {
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

todo=$(missing)
if [ -z "$todo" ] && yyjson_ok; then
  exit 0
fi
if [ "${1:-}" = "--check" ]; then
  echo "install-deps: missing:" $todo "$(yyjson_ok || echo 'yyjson>=0.10')" >&2
  exit 1
fi

. /etc/os-release
codename=${VERSION_CODENAME:-}

next_release() {
  case "$1" in
    bullseye) echo bookworm ;;
    bookworm) echo trixie ;;
    *) echo "" ;;
  esac
}

# The URI of the first apt source that serves the machine's own release (not its security suite).
mirror_uri() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v rel="$codename" '
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == rel) found = 1 }
      /^$/ { if (found && uri != "") { print uri; exit } ; uri = ""; found = 0 }
      END { if (found && uri != "") print uri }' "$f" | head -n 1
  done
  if [ -f /etc/apt/sources.list ]; then
    awk -v rel="$codename" '$1 == "deb" && $3 == rel { print $2; exit }' /etc/apt/sources.list
  fi
}

as_root apt-get update -qq

candidate=$(apt-cache policy libyyjson-dev 2>/dev/null | awk '/Candidate:/ { print $2 }')
if [ -z "$candidate" ] || [ "$candidate" = "(none)" ] \
   || dpkg --compare-versions "$candidate" lt 0.10; then
  next=$(next_release "$codename")
  uri=$(mirror_uri | head -n 1)
  if [ -z "$next" ] || [ -z "$uri" ]; then
    echo "install-deps: no yyjson 0.10 for release '$codename' and no way to add one" >&2
    exit 1
  fi
  as_root tee /etc/apt/sources.list.d/kojelly-yyjson.sources >/dev/null <<SRC
Types: deb
URIs: $uri
Suites: $next
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  # The specific record comes first: only the two yyjson packages may come from $next.
  as_root tee /etc/apt/preferences.d/kojelly-yyjson >/dev/null <<PIN
Package: libyyjson0 libyyjson-dev
Pin: release n=$next
Pin-Priority: 500

Package: *
Pin: release n=$next
Pin-Priority: -1
PIN
  as_root apt-get update -qq
fi

DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null

if ! yyjson_ok; then
  echo "install-deps: yyjson >= 0.10 is still missing after installation" >&2
  exit 1
fi
