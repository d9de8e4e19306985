# shellcheck shell=bash
# Sourced by the scripts that build from Debian's source packages: the source suites of
# the machine's own Debian release in a private apt state under $apt_root (set before
# sourcing), so the machine's apt configuration and lists stay untouched. Sets
# apt_options for apt-get and apt-cache, and update_source_index refreshes the index.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
apt_options=(
  -o "Dir::Etc::SourceList=$apt_root/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$apt_root/lists" -o "Dir::Cache=$apt_root/cache"
  -o APT::Sandbox::User=root -qq
)

# Writes the private deb-src list and refreshes its index.
update_source_index() {
  mkdir -p "$apt_root/lists/partial" "$apt_root/cache/archives/partial"
  cat >"$apt_root/sources.list" <<LIST
deb-src http://deb.debian.org/debian $codename main
deb-src http://deb.debian.org/debian $codename-updates main
deb-src http://deb.debian.org/debian-security $codename-security main
LIST
  apt-get "${apt_options[@]}" update
}
