#!/usr/bin/env bash
# Installs the Debian 12 packages that building, serving and testing need, skipping
# those already present. Run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  libcups2-dev cups-daemon cups-client cups-ipp-utils dbus-daemon
  libgs-dev ghostscript libcairo2-dev libdeflate-dev libgxps-dev libgxps-utils libstb-dev
  g++-mingw-w64-x86-64-posix wine wine64
  python3 procps systemd
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: every package is present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
