#!/usr/bin/env bash
# The Debian package as an administrator gets it: built with CPack from the build tree,
# its contents and dependencies, its unit verified by systemd-analyze, and its own
# binaries serving and printing from the extracted package.
#   package_test.sh BUILD_DIR
set -uo pipefail
readonly build_dir=$1
work=$(mktemp -d)
server_pid=
failures=0

cleanup() {
  [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

source "$(dirname "${BASH_SOURCE[0]}")/../free_port.sh"

echo "== building the package"
if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  exit 1
fi
deb=$(ls "$work"/out/quillmesh_*.deb 2>/dev/null | head -1)
[[ -f $deb ]] || { cat "$work/cpack.log" >&2; echo "FAIL: no .deb was made" >&2; exit 1; }

echo "== contents of $(basename "$deb")"
files=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort)
expected=$(sort <<'EOF'
./usr/bin/quillmesh
./usr/bin/quillmesh-peer
./usr/lib/systemd/system/quillmesh.service
./etc/default/quillmesh
./usr/share/doc/quillmesh/README.md
./usr/share/doc/quillmesh/THIRD-PARTY-NOTICES.md
EOF
)
[[ $files == "$expected" ]] || fail "the package holds:
$files
instead of:
$expected"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libgs10 libcups2 libcairo2 libgxps2 adduser; do
  grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done
dpkg-deb -e "$deb" "$work/control"
grep -qxF /etc/default/quillmesh "$work/control/conffiles" || fail "the settings file is no conffile"
for script in postinst prerm postrm; do
  sh -n "$work/control/$script" || fail "$script does not parse"
done

echo "== the unit, verified in the extracted tree"
root=$work/root
dpkg-deb -x "$deb" "$root"
# systemd-analyze resolves the unit's dependencies and ExecStart inside the root, so
# the system's own units go beside ours.
cp -rn /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
verify=$(systemd-analyze verify --root="$root" quillmesh.service 2>&1)
status=$?
[[ $status -eq 0 && -z $verify ]] || fail "systemd-analyze verify (exit $status): $verify"

echo "== the extracted server and peer"
port=$(free_port) || { fail "no free port"; exit 1; }
admin_port=$(free_port) || { fail "no free port"; exit 1; }
[[ $admin_port != "$port" ]] || admin_port=$((port + 1))
mkdir -p "$work/printers/Lab" "$work/state"
QUILLMESH_ADMIN=127.0.0.1:$admin_port QUILLMESH_PORT=$port QUILLMESH_SPOOLER="folder:$work/printers" \
  TEMP="$work/state" "$root/usr/bin/quillmesh" >"$work/server.log" 2>&1 &
server_pid=$!
listed=
for _ in $(seq 1 100); do
  listed=$("$root/usr/bin/quillmesh-peer" list --port "$port" 2>/dev/null) && break
  sleep 0.1
done
[[ $listed == Lab ]] || fail "the printer list from the extracted server was '$listed'"
printf 'printer data' >"$work/job.prn"
"$root/usr/bin/quillmesh-peer" print -d Lab --port "$port" "$work/job.prn" >/dev/null 2>&1 \
  || fail "the extracted peer could not print"
cmp -s "$work/job.prn" "$work/printers/Lab/1.prn" || fail "the job did not reach the printer"
# The window's pages, script and style are in the binary: nothing else is installed for them.
for page in / /admin.js /admin.css; do
  curl -sf --max-time 30 "http://127.0.0.1:$admin_port$page" >/dev/null \
    || fail "the extracted server does not serve $page on its window's port"
done

if ((failures)); then
  echo "package: $failures failure(s)" >&2
  exit 1
fi
echo "package: every check passed"
