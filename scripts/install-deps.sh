#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, skipping those
# already present. Run as root (or with sudo available).
#   install-deps.sh          everything the tests need (both targets, CUPS test bed)
#   install-deps.sh serve    only what building and running the Linux server needs
set -euo pipefail

serve_packages=(
  build-essential cmake pkg-config
  libcups2-dev cups-client
  libgs-dev ghostscript libcairo2-dev libdeflate-dev libgxps-dev libstb-dev
  libcpp-httplib-dev libssl-dev libbrotli-dev zlib1g-dev
)
test_packages=(
  clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  cups-daemon cups-ipp-utils dbus-daemon libgxps-utils
  g++-mingw-w64-x86-64-posix wine wine64
  dpkg-dev curl patch xz-utils zlib1g-dev
  python3 procps systemd
  python3-prometheus-client openssl
)

case ${1:-test} in
  serve) packages=("${serve_packages[@]}") ;;
  test) packages=("${serve_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: $0 [serve|test]" >&2
    exit 2
    ;;
esac

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
