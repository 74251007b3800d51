#!/usr/bin/env bash
# corvid1-cli in the place of `ssh -1`: one expect script, the command line tools pass to ssh1,
# run first with OpenSSH's ssh1 (which proves the script) and then with corvid1-cli.
#   drop_in.sh SERVER_BINARY CLI_BINARY
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
server_bin=$1 cli_bin=$2
work=$(mktemp -d /tmp/corvid1-drop-in.XXXXXX)
server_pid=
trap '[ -n "$server_pid" ] && kill $server_pid 2>/dev/null; rm -rf "$work"' EXIT

"$server_bin" --mode shell --timeout 20 >"$work/port" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do grep -q '^PORT ' "$work/port" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^PORT /{print $2}' "$work/port")
[ -n "$port" ] || { echo "FAIL: no server"; exit 1; }
echo "[127.0.0.1]:$port $("$server_bin" --print-known-hosts-line)" >"$work/known_hosts"

flags=(-1 -c 3des -x -a -e none -q -F /dev/null -p "$port" -l test
       -o UserKnownHostsFile="$work/known_hosts" -o StrictHostKeyChecking=yes)
status=0
if command -v ssh1 >/dev/null; then
    OPENSSL_CONF="$here/../../tools/tests/openssl-legacy.cnf" HOME=$work \
        expect "$here/drop_in.exp" ssh1 "${flags[@]}" -o GlobalKnownHostsFile=/dev/null \
        -o RSAAuthentication=no -o ChallengeResponseAuthentication=no 127.0.0.1 ||
        { echo "FAIL: the script does not drive ssh1"; status=1; }
fi
HOME=$work expect "$here/drop_in.exp" "$cli_bin" "${flags[@]}" 127.0.0.1 ||
    { echo "FAIL: corvid1-cli in the place of ssh1"; status=1; }
exit $status
