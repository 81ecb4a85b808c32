#!/usr/bin/env bash
# The Debian packages on this machine: built with cpack, their contents listed, dblinkd
# installed, its unit verified, the installed service started as the unit starts it, then
# removed and purged. Whatever happens, the trap leaves the machine as it was.
# usage: test_package.sh BUILD_DIR SOURCE_DIR WIN32_BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd) win32=$3
unit=/lib/systemd/system/dblinkd.service
wants=/etc/systemd/system/multi-user.target.wants/dblinkd.service

fail() { echo "FAIL: $*" >&2; exit 1; }
check() { local what=$1; shift; "$@" || fail "$what"; echo "ok: $what"; }

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installs packages and adds a system user; run as root"
    exit 77
fi
# One run at a time on this machine, also from other build trees: a lock on dpkg's
# directory, which leaves nothing behind (dpkg itself locks files inside it another way).
exec 9</var/lib/dpkg
flock -w 300 9 || fail "another package test holds the machine"
for tool in cpack dpkg dpkg-deb systemd-analyze setpriv adduser; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done
# Never touch what this machine has of its own.
for p in dblinkd plx-agent-files; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qv 'not-installed'; then
        fail "package $p is on this machine already; not replacing it"
    fi
done
getent passwd dblinkd >/dev/null && fail "a user dblinkd exists already"
getent group dblinkd >/dev/null && fail "a group dblinkd exists already"
for p in /etc/dblinkd /var/lib/dblinkd /usr/share/plx-agent "$unit" "$wants"; do
    [ -e "$p" ] && fail "$p exists already"
done

tmp=$(mktemp -d /tmp/plx-package.XXXXXX)
pid=
cleanup() {
    local rc=$?
    set +e  # every step, even after one fails
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    for p in dblinkd plx-agent-files; do
        dpkg-query -W "$p" >/dev/null 2>&1 && dpkg --purge "$p" >/dev/null 2>&1
    done
    getent passwd dblinkd >/dev/null && userdel dblinkd
    getent group dblinkd >/dev/null && groupdel dblinkd
    rm -rf /etc/dblinkd /var/lib/dblinkd /usr/share/plx-agent "$wants" "$tmp"
    exit $rc
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

# --- Build. Without the Win32 tree the build must refuse, naming what is missing.
if (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
    agent=yes
else
    [ -e "$win32/bin/PLXWIN32.EXE" ] && { cat "$tmp/cpack.log"; fail "cpack failed"; }
    check "packaging without a Win32 build names what is missing" \
        grep -q "the Win32 build is missing:.*$win32/bin/PLXWIN32.EXE" <(tr '\n' ' ' <"$tmp/cpack.log")
    echo "note: no Win32 build in $win32: plx-agent-files is not built here"
    agent=no
    (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" -D CPACK_COMPONENTS_ALL=dblinkd) \
        >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack failed"; }
fi
deb=$(ls "$tmp"/out/dblinkd_*.deb)

files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' '; }
check "dblinkd holds its programs, unit and config file" \
    test "$(files "$deb")" = "./etc/dblinkd/dblinkd.conf ./lib/systemd/system/dblinkd.service ./usr/bin/dblinkd ./usr/bin/pkgadmin "
depends=$(dpkg-deb -f "$deb" Depends)
for d in adduser libsqlite3 libcpp-httplib libssl libc6; do
    check "dblinkd depends on $d" grep -q "$d" <<<"$depends"
done
check "the config file is a conffile" test "$(dpkg-deb -I "$deb" conffiles)" = "/etc/dblinkd/dblinkd.conf"
if [ "$agent" = yes ]; then
    adeb=$(ls "$tmp"/out/plx-agent-files_*.deb)
    share=./usr/share/plx-agent
    check "plx-agent-files holds the agent and its DLLs" test "$(files "$adeb")" = \
        "$share/CORVNET.dll $share/CVFSET32.dll $share/Dblinkr32.dll $share/PLXWIN32.EXE $share/plx2tly.dll "
    check "plx-agent-files is for every architecture" test "$(dpkg-deb -f "$adeb" Architecture)" = all
    dpkg -i "$adeb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg -i plx-agent-files"; }
    check "the agent is installed for copying" cmp -s "$win32/bin/PLXWIN32.EXE" /usr/share/plx-agent/PLXWIN32.EXE
    dpkg --purge plx-agent-files >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg --purge plx-agent-files"; }
    check "plx-agent-files leaves nothing" test ! -e /usr/share/plx-agent
fi

# --- Install.
dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg -i dblinkd"; }
check "the user dblinkd is a system user" test "$(id -u dblinkd)" -lt 1000
check "its group is dblinkd" test "$(id -gn dblinkd)" = dblinkd
check "the token file is 0600 and the service's" test "$(stat -c '%a %U' /etc/dblinkd/admin.token)" = "600 dblinkd"
check "the token is 32 random bytes in hex" grep -Eqx '[0-9a-f]{64}' /etc/dblinkd/admin.token
check "the config file is the packaged one" cmp -s "$src/packaging/dblinkd.conf" /etc/dblinkd/dblinkd.conf
check "the unit is enabled" test -L "$wants"
systemd-analyze verify "$unit" >"$tmp/verify.log" 2>&1 || { cat "$tmp/verify.log"; fail "systemd-analyze verify"; }
check "systemd-analyze verify has nothing to say of the unit" test -z "$(grep dblinkd "$tmp/verify.log" || true)"

# --- Start the installed service as its unit would: its user, its state directory, its
# ExecStart. Only the ports are moved to free ones, so that no other service is in the way.
user=$(sed -n 's/^User=//p' "$unit")
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
state=/var/lib/$(sed -n 's/^StateDirectory=//p' "$unit")
install -d -o "$user" -g "$user" -m "$(sed -n 's/^StateDirectoryMode=//p' "$unit")" "$state"
read -r -a cmd <<<"$exec_start"
(cd "$state" && exec setpriv --reuid="$user" --regid="$user" --init-groups --no-new-privs \
    "${cmd[@]}" --listen 127.0.0.1:0 --admin-listen 127.0.0.1:0 --port-file "$state/ports") \
    2>"$tmp/dblinkd.log" &
pid=$!
for _ in $(seq 150); do
    grep -q '^admin=[1-9]' "$state/ports" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || { cat "$tmp/dblinkd.log"; fail "the installed dblinkd did not start"; }
    sleep 0.1
done
requester=$(sed -n 's/^requester=//p' "$state/ports")
admin=$(sed -n 's/^admin=//p' "$state/ports")
[ -n "$admin" ] || { cat "$tmp/dblinkd.log"; fail "no port file"; }
check "it runs as dblinkd" test "$(ps -o user= -p "$pid")" = dblinkd
check "the requester port accepts" bash -c "exec 3<>/dev/tcp/127.0.0.1/$requester"
pkgadmin=(/usr/bin/pkgadmin --url "http://127.0.0.1:$admin" --token-file /etc/dblinkd/admin.token)
"${pkgadmin[@]}" import "$src/tests/host/seed.json" >"$tmp/import.log" 2>&1 || { cat "$tmp/import.log"; fail "import"; }
check "the admin port takes a document" grep -q "imported" "$tmp/import.log"
check "and lists it back" grep -q "Office 97" <("${pkgadmin[@]}" list packages)
check "the database is the service's, in its state directory" test "$(stat -c %U "$state/plx.db")" = dblinkd
kill -TERM "$pid"
wait "$pid" && status=0 || status=$?
pid=
check "SIGTERM stops it cleanly" test "$status" = 0
check "its messages went to stderr (the journal)" grep -q "stopped after" "$tmp/dblinkd.log"

# --- Remove, then purge.
listed=$(dpkg -L dblinkd | while read -r p; do [ -f "$p" ] && echo "$p"; done)
dpkg -r dblinkd >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg -r"; }
for p in /usr/bin/dblinkd /usr/bin/pkgadmin "$unit" "$wants"; do
    check "dpkg -r removes $p" test ! -e "$p"
done
check "dpkg -r keeps the config file" test -f /etc/dblinkd/dblinkd.conf
dpkg --purge dblinkd >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg --purge"; }
for p in $listed /etc/dblinkd "$state"; do
    check "purge leaves no $p" test ! -e "$p"
done
check "purge removes the user" bash -c '! getent passwd dblinkd >/dev/null'
check "and its group" bash -c '! getent group dblinkd >/dev/null'
check "dpkg knows nothing of dblinkd" bash -c "! dpkg-query -W dblinkd >/dev/null 2>&1"
echo "PASS"
