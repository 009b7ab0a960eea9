#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need, from Debian's packages.
# Idempotent: when every package is present it only checks and returns.
# `--check` only checks: exit status 0 when everything is present, 1 (listing what is missing on
# stderr) when not; it never calls apt or sudo.
# `--windows` adds what the Windows build needs (make windows, windows-test, windows-package):
# the MinGW-w64 cross compiler (posix thread model), Wine, and the upstream sources of yyjson and
# of the benchmark library, which have no Windows package. Each is the orig tarball of a Debian
# source package (yyjson 0.10.0; benchmark 1.7.1, the version libbenchmark-dev installs on
# Debian 12), fetched through a private apt configuration (the machine's own sources are not
# touched), checked against the SHA-256 of the archive's signed Sources index and against the
# one written here, and unpacked into .deps/<name>-<version> of this checkout.
#
# yyjson 0.10 is packaged from Debian 13 on. On an older release the next release is added as
# an extra apt source whose pin admits only libyyjson0 and libyyjson-dev; everything else stays
# on the machine's own release. The mirror is taken from the machine's own apt sources.
set -euo pipefail

packages=(g++ clang libclang-rt-dev cmake ninja-build make pkg-config binutils
          libgtest-dev libgmock-dev libbenchmark-dev python3
          libcurl4-openssl-dev libcpp-httplib-dev libyyjson-dev
          # The players the end-to-end tests play streams with: ffmpeg brings ffprobe and ffplay.
          ffmpeg mpv
          # The TLS server (openssl s_server) that the end-to-end tests point the tool at.
          openssl)

check_only=0
windows=0
for arg in "$@"; do
  case $arg in
    --check) check_only=1 ;;
    --windows) windows=1 ;;
    *) echo "usage: $0 [--check] [--windows]" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
yyjson_tarball=yyjson_0.10.0+ds.orig.tar.xz
yyjson_sha256=ae6fde69a193e10afab426ef13f113d6903446405f9db9ee98bfb572bd6c961a
yyjson_dir=$root/.deps/yyjson-0.10.0
benchmark_tarball=benchmark_1.7.1.orig.tar.gz
benchmark_sha256=6430e4092653380d9dc4ccb45a1e2dc9259d581f4866dc0759713126056bc1d7
benchmark_dir=$root/.deps/benchmark-1.7.1
# The release whose benchmark is 1.7.1: Debian 12, whose libbenchmark-dev the Linux benchmarks
# link on the build machines.
benchmark_release=bookworm
if [ "$windows" = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 xz-utils)
fi

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

# An unpacked source (folder, SHA-256) carries the checksum it was verified with.
source_ok() {
  [ "$windows" = 0 ] || [ "$(cat "$1/.sha256" 2>/dev/null)" = "$2" ]
}
yyjson_source_ok() { source_ok "$yyjson_dir" "$yyjson_sha256"; }
benchmark_source_ok() { source_ok "$benchmark_dir" "$benchmark_sha256"; }

todo=$(missing)
if [ -z "$todo" ] && yyjson_ok && yyjson_source_ok && benchmark_source_ok; then
  exit 0
fi
if [ "$check_only" = 1 ]; then
  echo "install-deps: missing:" $todo "$(yyjson_ok || echo 'yyjson>=0.10')" \
       "$(yyjson_source_ok || echo 'the yyjson 0.10 source')" \
       "$(benchmark_source_ok || echo 'the benchmark 1.7.1 source')" >&2
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

# An upstream source for the Windows build: fetch_source PACKAGE RELEASE TARBALL SHA256 FOLDER
# takes TARBALL of the source package PACKAGE in RELEASE and unpacks it into FOLDER.
fetch_source() {
  local package=$1 release=$2 tarball=$3 sha256=$4 dir=$5 uri work sha
  uri=$(mirror_uri | head -n 1)
  if [ -z "$uri" ]; then
    echo "install-deps: no Debian mirror in the apt sources to fetch $package's source from" >&2
    exit 1
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/get"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $release main" \
    > "$work/sources.list"
  local apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=-
                  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
                  -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)")
  apt-get "${apt_opts[@]}" update -qq
  # The archive's signed index names the tarball's checksum.
  sha=$(apt-cache "${apt_opts[@]}" showsrc "$package" | awk -v f="$tarball" '
        /^Checksums-Sha256:/ { in_sums = 1; next }
        /^[^ ]/ { in_sums = 0 }
        in_sums && $3 == f { print $1; exit }')
  if [ "$sha" != "$sha256" ]; then
    echo "install-deps: the Sources index of $release gives '${sha:-nothing}' for $tarball," \
         "not $sha256" >&2
    exit 1
  fi
  # The source package's .dsc and Debian tarball may be gone from the mirror; only the upstream
  # tarball is needed, so apt's complaint about the others is not an error here.
  (cd "$work/get" && apt-get "${apt_opts[@]}" source --download-only -qq "$package" >/dev/null 2>&1) || true
  if ! echo "$sha256  $work/get/$tarball" | sha256sum -c --quiet - 2>/dev/null; then
    echo "install-deps: $tarball is missing or does not match its checksum" >&2
    exit 1
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  tar -xf "$work/get/$tarball" -C "$dir" --strip-components=1
  echo "$sha256" > "$dir/.sha256"
}

# yyjson's source, from the release whose yyjson is 0.10.
yyjson_release() {
  if [ -n "$(next_release "$codename")" ] && [ "$codename" != trixie ]; then
    next_release "$codename"
  else
    echo "$codename"
  fi
}

if ! yyjson_source_ok; then
  fetch_source yyjson "$(yyjson_release)" "$yyjson_tarball" "$yyjson_sha256" "$yyjson_dir"
fi
if ! benchmark_source_ok; then
  fetch_source benchmark "$benchmark_release" "$benchmark_tarball" "$benchmark_sha256" \
    "$benchmark_dir"
fi

if ! yyjson_ok; then
  echo "install-deps: yyjson >= 0.10 is still missing after installation" >&2
  exit 1
fi
