#!/usr/bin/env bash
# Installs, idempotently and quietly, the Debian packages the builds and tests need.
# Runs as root (as on the build machines and CI); does nothing when all is present.
set -euo pipefail

pkgs=(
  make cmake ninja-build python3
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-multilib
  wine wine32:i386 wine64
  openjdk-17-jdk-headless:i386
  googletest
  junit5
  clang lld llvm libclang-rt-14-dev
)

missing=()
for p in "${pkgs[@]}"; do
  name=${p%%:*}; arch=${p#*:}; [ "$arch" = "$p" ] && arch=
  q=$name${arch:+:$arch}
  status=$(dpkg-query -W -f='${Status}' "$q" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
