#!/usr/bin/env bash
# Throughput of a local port forward: corvid1-cli -L against plink -1 -L and ssh1 -L, in one go.
# A client of this script sends N bytes (default 100 MiB) through the forward to an echoing
# target on the server's side and reads them back at the same time, so N bytes cross the
# tunnel each way. Each SSH client runs `sleep` on the project's test server meanwhile. For every
# cipher it prints the median wall time of the transfer and the median CPU time (user + system)
# the SSH client used during it (its children included: sshpass's ssh1), and the ratio
#   cpu(corvid1-cli) / min(cpu(plink), cpu(ssh1))
# which is to stay at or below 0.8. ssh1 joins for 3DES only: Debian's ssh1 crashes with Blowfish.
#
#   bench/forward_throughput.sh [--build DIR] [--bytes N] [--runs N] [--ciphers "3des blowfish"]
set -euo pipefail

build=build
bytes=$((100 * 1024 * 1024))
runs=3
ciphers="3des blowfish"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --bytes) bytes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --ciphers) ciphers=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--bytes N] [--runs N] [--ciphers LIST]" >&2; exit 2 ;;
  esac
done

cd "$(dirname "$0")/.."
cli=$(realpath "$build/cli/corvid1-cli")
server=$(realpath "$build/tools/ssh1_test_server/corvid1-test-server")
for tool in "$cli" "$server"; do
  [ -x "$tool" ] || { echo "missing $tool (build corvid1-cli and corvid1-test-server)" >&2; exit 1; }
done
for tool in plink ssh1 sshpass perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/corvid1-forward-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$server" --bind 127.0.0.1 --mode shell --timeout 600 >"$work/port" 2>"$work/server.log" &
pids+=($!)
# The echoing target, a process per connection.
perl -MIO::Socket::INET -e '
  my $l = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 8,
                                ReuseAddr => 1) or die;
  open(my $f, ">", $ARGV[0]); print $f $l->sockport, "\n"; close $f;
  $SIG{CHLD} = "IGNORE";
  while (my $c = $l->accept) {
    next if fork;
    my $b; while (my $n = sysread($c, $b, 262144)) { my $o = 0; while ($o < $n) { $o += syswrite($c, $b, $n - $o, $o) } }
    exit 0;
  }' "$work/target" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && [ -s "$work/target" ] && break; sleep 0.05; done
port=$(awk '/^PORT /{print $2}' "$work/port")
target=$(cat "$work/target")
[ -n "$port" ] && [ -n "$target" ] || { echo "the test server or the target did not start" >&2; exit 1; }
listen=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1)->sockport')

fingerprint=$("$server" --print-fingerprint)
export PUTTYDIR="$work/putty"
mkdir -p "$PUTTYDIR/sessions"
for cipher in 3des blowfish; do
  printf 'SshProt=0\nCipher=%s,WARN,aes,chacha20,aesgcm,3des,blowfish,des,arcfour\n' "$cipher" \
    >"$PUTTYDIR/sessions/bench-$cipher"
done
echo "[127.0.0.1]:$port $("$server" --print-known-hosts-line)" >"$work/known_hosts"
openssl_cnf="$PWD/tools/tests/openssl-legacy.cnf"
forward="$listen:127.0.0.1:$target"

start_client() {  # client cipher
  case "$1" in
    corvid1-cli)
      CORVID1_PASSWORD=secret XDG_DATA_HOME="$work/data" exec "$cli" --raw -c "$2" \
        --known-hosts "$work/known_hosts" -p "$port" -L "$forward" test@127.0.0.1 'sleep 600' ;;
    plink)
      exec plink -1 -batch -load "bench-$2" -P "$port" -l test -pw secret -hostkey "$fingerprint" \
        -L "$forward" 127.0.0.1 'sleep 600' ;;
    ssh1)
      OPENSSL_CONF="$openssl_cnf" exec sshpass -p secret ssh1 -1 -F /dev/null -c "$2" -p "$port" \
        -o UserKnownHostsFile="$work/known_hosts" -o StrictHostKeyChecking=yes \
        -o RSAAuthentication=no -o RhostsRSAAuthentication=no \
        -o ChallengeResponseAuthentication=no -o PasswordAuthentication=yes \
        -o NumberOfPasswordPrompts=1 -L "$forward" -l test 127.0.0.1 'sleep 600' ;;
  esac
}

# A process and all its descendants.
tree() {
  local all=($1) i=0
  while [ $i -lt ${#all[@]} ]; do
    all+=($(ps -o pid= --ppid "${all[$i]}" 2>/dev/null || true))
    i=$((i + 1))
  done
  echo "${all[@]}"
}

# CPU seconds (user + system) of a process and all its descendants.
tree_cpu() {
  local all=($(tree "$1"))
  local ticks=0 p
  for p in "${all[@]}"; do
    [ -r "/proc/$p/stat" ] || continue
    ticks=$((ticks + $(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$p/stat")))
  done
  awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", t / hz }'
}

# Sends `bytes` through the forward while reading them back; prints the wall seconds, or fails
# when fewer came back.
transfer() {
  perl -MIO::Socket::INET -MTime::HiRes=time -e '
    my ($port, $n) = @ARGV;
    my $s;
    for (1..200) { $s = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $port) and last; select(undef, undef, undef, 0.05) }
    $s or die "no forward\n";
    my $start = time;
    my $chunk = join "", map { chr($_ % 256) } 0..262143;
    if (!fork) { my $left = $n; while ($left > 0) { my $k = $left < 262144 ? $left : 262144; my $o = 0; while ($o < $k) { $o += syswrite($s, $chunk, $k - $o, $o) or exit 1 } $left -= $k } shutdown($s, 1); exit 0 }
    my ($got, $b) = (0, "");
    while ($got < $n) { my $r = sysread($s, $b, 262144) or last; $got += $r }
    wait;
    die "only $got of $n bytes came back\n" if $got != $n;
    printf "%.3f\n", time - $start;' "$listen" "$bytes"
}

measure() {  # client cipher: prints "wall cpu"
  start_client "$1" "$2" </dev/null >"$work/client.out" 2>"$work/client.err" &
  local pid=$!
  # The forward listens once the login is through; a probe connection is not counted.
  for _ in $(seq 200); do
    perl -MIO::Socket::INET -e 'exit !IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $ARGV[0])' "$listen" && break
    sleep 0.05
  done
  sleep 0.3
  local before after wall
  before=$(tree_cpu "$pid")
  wall=$(transfer) || { echo "$1 ($2) failed:" >&2; cat "$work/client.err" >&2; kill "$pid"; return 1; }
  after=$(tree_cpu "$pid")
  kill $(tree "$pid") 2>/dev/null; wait "$pid" 2>/dev/null || true
  # The next client needs the port: wait until nobody listens on it.
  for _ in $(seq 100); do
    perl -MIO::Socket::INET -e 'exit !!IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $ARGV[0])' "$listen" && break
    sleep 0.05
  done
  awk -v w="$wall" -v a="$after" -v b="$before" 'BEGIN { printf "%.3f %.3f\n", w, a - b }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

mib=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }')
echo "local forward: $bytes bytes ($mib MiB) each way, median of $runs runs, loopback"
for cipher in $ciphers; do
  clients=(corvid1-cli plink)
  [ "$cipher" = 3des ] && clients+=(ssh1)
  for c in "${clients[@]}"; do : >"$work/$c.times"; done
  for r in $(seq "$runs"); do
    for c in "${clients[@]}"; do measure "$c" "$cipher" >>"$work/$c.times"; done
  done
  best=
  for c in "${clients[@]}"; do
    wall=$(cut -d' ' -f1 "$work/$c.times" | median)
    cpu=$(cut -d' ' -f2 "$work/$c.times" | median)
    printf '  %-9s %-12s wall %8.3f s  cpu %8.3f s\n' "$cipher" "$c" "$wall" "$cpu"
    [ "$c" = corvid1-cli ] && ours=$cpu
    if [ "$c" != corvid1-cli ]; then
      best=$(awk -v a="$best" -v b="$cpu" 'BEGIN { print (a == "" || b < a) ? b : a }')
    fi
  done
  awk -v o="$ours" -v b="$best" -v c="$cipher" \
    'BEGIN { printf "  %-9s cpu(corvid1-cli) / lowest peer cpu = %.2f (goal <= 0.80)\n", c, o / b }'
done
