#!/usr/bin/env bash
# Throughput of corvid1-cli against the SSH-1 clients of Debian, in one go: the same output of
# the project's test server (default 100 MiB) goes through
#   corvid1-cli --raw      (3DES and Blowfish)
#   plink -1               (putty-tools; same ciphers, chosen through a saved session)
#   ssh1                   (openssh-client-ssh1; 3DES only, its Blowfish crashes in Debian)
# each into /dev/null, without and with compression (-C, zlib level 6 for all three). The output
# is a remote command, `cat` of a file of that size without a pty, as scripts run it
# (--source command, the default), or the server's scripted bulk output (--source bulk). For
# every cipher and compression it prints the median wall time and client CPU time (user +
# system of the client process and its children) of each client and the ratios
#   wall(peer) / wall(corvid1-cli)   and   cpu(peer) / cpu(corvid1-cli)
# so a ratio above 1 means corvid1-cli was faster or used less CPU.
#
#   bench/cli_throughput.sh [--build DIR] [--bytes N] [--runs N] [--ciphers "3des blowfish"]
#                           [--source command|bulk] [--compression "off on"]
#
# DIR is a build folder holding cli/corvid1-cli and tools/ssh1_test_server/corvid1-test-server
# (default: build). The server runs on loopback; nothing leaves the machine.
set -euo pipefail

build=build
bytes=$((100 * 1024 * 1024))
runs=3
ciphers="3des blowfish"
source=command
compressions="off on"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --bytes) bytes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --ciphers) ciphers=$2; shift 2 ;;
    --source) source=$2; shift 2 ;;
    --compression) compressions=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--bytes N] [--runs N] [--ciphers LIST] [--source command|bulk] [--compression LIST]" >&2; exit 2 ;;
  esac
done

cd "$(dirname "$0")/.."
cli=$(realpath "$build/cli/corvid1-cli")
server=$(realpath "$build/tools/ssh1_test_server/corvid1-test-server")
for tool in "$cli" "$server"; do
  [ -x "$tool" ] || { echo "missing $tool (build the targets corvid1-cli and corvid1-test-server)" >&2; exit 1; }
done
for tool in plink ssh1 sshpass; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/corvid1-cli-bench-XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# One server for every run: each connection is served by a child of its own. The file the
# command reads holds the server's bulk pattern, which compresses about as well as binary data
# in the wild does.
command=ignored
if [ "$source" = command ]; then
  perl -e 'my $n = shift; my $b = ""; $b .= chr(($_ ^ ($_ >> 8)) & 255) for 0..65535;
           while ($n > 0) { my $k = $n < 65536 ? $n : 65536; print substr($b, 0, $k); $n -= $k }' \
    "$bytes" >"$work/payload"
  command="cat $work/payload"
  "$server" --bind 127.0.0.1 --mode shell >"$work/port" 2>"$work/server.log" &
else
  "$server" --bind 127.0.0.1 --scenario bulk --bulk "$bytes" --exit-status 0 \
    >"$work/port" 2>"$work/server.log" &
fi
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(awk '/^PORT /{print $2}' "$work/port")
[ -n "$port" ] || { echo "the test server did not start" >&2; exit 1; }

# plink: the host key by fingerprint, the cipher through a saved session of our own.
fingerprint=$("$server" --print-fingerprint)
export PUTTYDIR="$work/putty"
mkdir -p "$PUTTYDIR/sessions"
for cipher in 3des blowfish; do
  printf 'SshProt=0\nCipher=%s,WARN,aes,chacha20,aesgcm,3des,blowfish,des,arcfour\n' "$cipher" \
    >"$PUTTYDIR/sessions/bench-$cipher"
done

# ssh1 and corvid1-cli: the host key in a known-hosts file; ssh1's triple DES from OpenSSL 3's
# legacy provider.
echo "[127.0.0.1]:$port $("$server" --print-known-hosts-line)" >"$work/known_hosts"
openssl_cnf="$PWD/tools/tests/openssl-legacy.cnf"  # the script runs from the repository root

run_client() {  # client cipher compression
  local z=()
  [ "$3" = on ] && z=(-C)
  case "$1" in
    corvid1-cli)
      CORVID1_PASSWORD=secret XDG_DATA_HOME="$work/data" \
        "$cli" --raw "${z[@]}" -c "$2" --known-hosts "$work/known_hosts" -p "$port" \
        test@127.0.0.1 "$command" ;;
    plink)
      plink -1 -batch "${z[@]}" -load "bench-$2" -P "$port" -l test -pw secret \
        -hostkey "$fingerprint" 127.0.0.1 "$command" ;;
    ssh1)
      OPENSSL_CONF="$openssl_cnf" sshpass -p secret ssh1 -1 "${z[@]}" -F /dev/null -c "$2" \
        -p "$port" -o UserKnownHostsFile="$work/known_hosts" -o StrictHostKeyChecking=yes \
        -o RSAAuthentication=no -o RhostsRSAAuthentication=no \
        -o ChallengeResponseAuthentication=no -o PasswordAuthentication=yes \
        -o NumberOfPasswordPrompts=1 -l test 127.0.0.1 "$command" ;;
  esac
}

# Prints "wall cpu" in seconds for one run; fails if the client did not finish cleanly.
measure() {  # client cipher compression
  local times status
  TIMEFORMAT='%3R %3U %3S'
  { time run_client "$1" "$2" "$3" </dev/null >"$work/client.out" 2>"$work/client.err"; } 2>"$work/time" \
    && status=0 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$1 ($2) failed with exit code $status:" >&2
    cat "$work/client.err" >&2
    return 1
  fi
  local got
  got=$(stat -c %s "$work/client.out")
  if [ "$got" -ne "$bytes" ]; then
    echo "$1 ($2) wrote $got bytes, not $bytes" >&2
    return 1
  fi
  read -r wall user sys <"$work/time"
  awk -v w="$wall" -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f %.3f\n", w, u + s }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs every client of a cipher `runs` times, interleaved so that load from elsewhere on the
# machine falls on all of them alike; prints "client wall cpu" medians.
bench_cipher() {  # cipher compression clients...
  local cipher=$1 compression=$2; shift 2
  local client r
  for client in "$@"; do : >"$work/$client.times"; done
  for r in $(seq "$runs"); do
    for client in "$@"; do measure "$client" "$cipher" "$compression" >>"$work/$client.times"; done
  done
  for client in "$@"; do
    echo "$client $(cut -d' ' -f1 "$work/$client.times" | median) $(cut -d' ' -f2 "$work/$client.times" | median)"
  done
}

mib=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }')
echo "$source output: $bytes bytes ($mib MiB), median of $runs runs, loopback, to a file"
for cipher in $ciphers; do
  case "$cipher" in 3des|blowfish) ;; *) echo "unknown cipher $cipher" >&2; exit 2 ;; esac
  for compression in $compressions; do
  clients=(corvid1-cli plink)
  [ "$cipher" = 3des ] && clients+=(ssh1)
  bench_cipher "$cipher" "$compression" "${clients[@]}" >"$work/results"
  echo
  echo "cipher $cipher, compression $compression"
  awk -v mib="$mib" '
    NR == 1 { ow = $2; oc = $3 }
    { printf "  %-12s wall %7.3f s (%6.1f MiB/s)  cpu %7.3f s\n", $1, $2, mib / $2, $3 }
    NR > 1 { ratios = ratios sprintf("  %-12s wall ratio %5.2f   cpu ratio %5.2f   (%s / corvid1-cli)\n", $1, $2 / ow, $3 / oc, $1) }
    END { printf "%s", ratios }' "$work/results"
  done
done
