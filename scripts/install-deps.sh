#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need.
# Quiet and idempotent: asks dpkg first and touches apt only when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-dev llvm make pkg-config valgrind
  libspdlog-dev libinih-dev liblz4-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libzmq3-dev gnuplot-nox python3 iproute2 util-linux
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
