#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again: apt skips what is already there.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
  libz-mingw-w64-dev nasm
  zlib1g-dev libzstd-dev liblzma-dev liblzo2-dev libjpeg62-turbo-dev libisal-dev
  libomnithread4-dev libomniorb4-dev
  googletest libgtest-dev libbenchmark-dev
  wine wine64 xvfb xdotool x11-apps x11-utils x11-xserver-utils imagemagick xclip
  xserver-xorg-core xserver-xorg-video-dummy
  tigervnc-standalone-server x11vnc libvncserver-dev libx11-dev openssl zip unzip 7zip
  python3 python3-pytest python3-zstandard python3-lzo python3-pil
  python3-cryptography python3-pycryptodome python3-numpy
  dpkg-dev file procps psmisc
)

need=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done

# Source packages for the cross-built libraries need a deb-src entry of our own.
SRC=/etc/apt/sources.list.d/kebviewer-src.sources
if [ ! -f "$SRC" ]; then
  cat > "$SRC" <<'SRCEOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRCEOF
  need_update=1
fi

if [ ${#need[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#need[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${need[@]}"
  fi
fi
