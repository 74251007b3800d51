#!/usr/bin/env bash
# Real SSH-1 clients that nobody here wrote (PuTTY's plink, OpenSSH's ssh1) log in to the test
# server. This proves that the server, and so every test built on it, speaks the real protocol.
#   interop.sh SERVER_BINARY CASE
set -uo pipefail
server_bin=$1
case_name=$2
openssl_cnf="$(cd "$(dirname "$0")" && pwd)/openssl-legacy.cnf"
work=$(mktemp -d /tmp/corvid1-interop.XXXXXX)
server_pid=
target_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$target_pid" ] && kill "$target_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
unset SSH_AUTH_SOCK  # no agent: only the password may be offered

fail() {
    echo "FAIL: $*" >&2
    echo "--- server log" >&2; cat "$work/server.log" >&2
    echo "--- record" >&2; cat "$work/record" >&2 2>/dev/null
    exit 1
}

# start_server ARGS...: starts the server and sets $port.
start_server() {
    "$server_bin" --record "$work/record" --timeout 20 "$@" >"$work/port" 2>"$work/server.log" &
    server_pid=$!
    for _ in $(seq 100); do
        grep -q '^PORT ' "$work/port" 2>/dev/null && break
        sleep 0.1
    done
    port=$(awk '/^PORT /{print $2}' "$work/port")
    [ -n "$port" ] || fail "server did not report its port"
}

# plink_run SESSION_CIPHER PLINK_ARGS... (host and command last): PuTTY has no cipher flag; a session file of the
# test's own puts the wanted cipher first and everything else below WARN.
plink_run() {
    local cipher=$1; shift
    mkdir -p "$work/putty/sessions"
    local rest
    rest=$(echo "3des,blowfish" | tr ',' '\n' | grep -vx "$cipher" | tr '\n' ',')
    printf 'SshProt=0\nCipher=%s,WARN,aes,chacha20,aesgcm,%sdes,arcfour\nAgentFwd=0\nX11Forward=0\n' \
        "$cipher" "$rest" >"$work/putty/sessions/interop"
    local fp
    fp=$("$server_bin" --print-fingerprint)
    PUTTYDIR="$work/putty" timeout 40 plink -load interop -1 -batch -P "$port" \
        -hostkey "$fp" "$@"
}

ssh1_run() {
    echo "[127.0.0.1]:$port $("$server_bin" --print-known-hosts-line)" >"$work/known_hosts"
    OPENSSL_CONF="$openssl_cnf" timeout 40 sshpass -p secret ssh1 -1 -F /dev/null -c 3des \
        -p "$port" -o UserKnownHostsFile="$work/known_hosts" -o GlobalKnownHostsFile=/dev/null \
        -o StrictHostKeyChecking=yes -o RSAAuthentication=no -o RhostsRSAAuthentication=no \
        -o ChallengeResponseAuthentication=no -o PasswordAuthentication=yes \
        -o NumberOfPasswordPrompts=1 "$@"
}

expect_rc() { [ "$1" = "$2" ] || fail "exit code $1, expected $2"; }
expect_in() { grep -qF -- "$2" "$1" || fail "'$2' missing from $(basename "$1"): $(head -c 600 "$1")"; }

# The bulk pattern of the server: byte i is (i XOR (i >> 8)) AND 255.
bulk_pattern() { perl -e 'print chr(($_ ^ ($_ >> 8)) & 255) for 0..'"$(($1 - 1))"; }

command_case() {  # CLIENT CIPHER
    start_server --mode shell
    if [ "$1" = plink ]; then
        plink_run "$2" -l test -pw secret 127.0.0.1 'echo out-$((6*7)); echo err-line >&2; exit 3' \
            </dev/null >"$work/out" 2>"$work/err"
    else
        ssh1_run test@127.0.0.1 'echo out-$((6*7)); echo err-line >&2; exit 3' \
            </dev/null >"$work/out" 2>"$work/err"
    fi
    expect_rc $? 3
    expect_in "$work/out" out-42
    expect_in "$work/err" err-line
    expect_in "$work/record" "SESSION_KEY cipher=$([ "$2" = blowfish ] && echo 6 || echo 3)"
    expect_in "$work/record" "EXEC_CMD echo out-"
    expect_in "$work/record" "EXIT_CONFIRMATION"
}

pty_case() {  # CLIENT CIPHER
    start_server --mode shell
    local input='stty size; echo "T=$TERM"; tty; echo pty-$((6*7)); exit 7'
    if [ "$1" = plink ]; then
        printf '%s\n' "$input" | plink_run "$2" -t -l test -pw secret 127.0.0.1 >"$work/out" 2>"$work/err"
    else
        printf '%s\n' "$input" | ssh1_run -tt test@127.0.0.1 >"$work/out" 2>"$work/err"
    fi
    expect_rc $? 7
    expect_in "$work/out" pty-42
    expect_in "$work/out" /dev/pts/
    expect_in "$work/record" "PTY term="
    expect_in "$work/record" "EXEC_SHELL"
}

bulk_case() {  # CLIENT CIPHER
    local n=1000000
    start_server --scenario bulk --bulk $n --exit-status 9
    if [ "$1" = plink ]; then
        plink_run "$2" -l test -pw secret 127.0.0.1 'ignored' </dev/null >"$work/out" 2>"$work/err"
    else
        ssh1_run test@127.0.0.1 'ignored' </dev/null >"$work/out" 2>"$work/err"
    fi
    expect_rc $? 9
    bulk_pattern $n >"$work/expected"
    cmp -s "$work/out" "$work/expected" ||
        fail "bulk output differs: $(wc -c <"$work/out") bytes, sha256 $(sha256sum <"$work/out")"
}

compressed_case() {  # CLIENT CIPHER: zlib both ways, input through `cat` and output checked
    start_server --mode shell
    local cmd='cat | md5sum; seq 1 100000 | md5sum'
    seq 1 50000 >"$work/in"
    if [ "$1" = plink ]; then
        plink_run "$2" -C -l test -pw secret 127.0.0.1 "$cmd" <"$work/in" >"$work/out" 2>"$work/err"
    else
        ssh1_run -C test@127.0.0.1 "$cmd" <"$work/in" >"$work/out" 2>"$work/err"
    fi
    expect_rc $? 0
    expect_in "$work/out" "$(md5sum <"$work/in" | cut -d' ' -f1)"
    expect_in "$work/out" "$(seq 1 100000 | md5sum | cut -d' ' -f1)"
    expect_in "$work/record" "COMPRESSION level="
    expect_in "$work/record" "EOF"
}

scenarios_case() {  # the scripted behaviours, seen through plink
    start_server --scenario disconnect-after-user --reason "No entry for you"
    plink_run 3des -l test -pw secret 127.0.0.1 </dev/null >"$work/out" 2>"$work/err"
    [ $? -ne 0 ] || fail "disconnect-after-user: plink succeeded"
    expect_in "$work/err" "No entry for you"
    kill "$server_pid"; wait "$server_pid" 2>/dev/null

    start_server --scenario refuse-password
    plink_run 3des -l test -pw secret 127.0.0.1 </dev/null >"$work/out" 2>"$work/err"
    [ $? -ne 0 ] || fail "refuse-password: plink succeeded"
    kill "$server_pid"; wait "$server_pid" 2>/dev/null

    # No password is offered and none is needed: -batch would fail at a password prompt.
    start_server --scenario user-only
    printf 'hello\rexit\r' | plink_run blowfish -t -l test 127.0.0.1 >"$work/out" 2>"$work/err"
    expect_rc $? 0
    expect_in "$work/out" "Corvid1 test server"
    expect_in "$work/out" "unknown: hello"
    kill "$server_pid"; wait "$server_pid" 2>/dev/null

    start_server --scenario refuse-pty --exit-status 4
    printf 'exit\r' | plink_run 3des -t -l test -pw secret 127.0.0.1 >"$work/out" 2>"$work/err"
    expect_rc $? 4
    expect_in "$work/err" "refused to allocate pty"
    kill "$server_pid"; wait "$server_pid" 2>/dev/null

    start_server --scenario ignore-debug --exit-status 42
    printf 'echo-me\rexit\r' | plink_run blowfish -t -l test -pw secret 127.0.0.1 >"$work/out" 2>"$work/err"
    expect_rc $? 42
    expect_in "$work/out" "unknown: echo-me"
    expect_in "$work/record" "STDIN "
}

# Forwarding helpers, in Perl since it is on every Debian machine. A target that echoes every
# connection, on a port of its own choosing written to FILE; and a client that sends a file
# through a port, ends its side and keeps what comes back.
echo_target() {  # PORTFILE
    perl -MIO::Socket::INET -e '
        my $l = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 8,
                                      ReuseAddr => 1) or die;
        open(my $f, ">", $ARGV[0]); print $f $l->sockport, "\n"; close $f;
        $SIG{CHLD} = "IGNORE";
        while (my $c = $l->accept) {
            next if fork;
            my $b; while (sysread($c, $b, 65536)) { syswrite($c, $b) }
            exit 0;
        }' "$1" &
    target_pid=$!
    for _ in $(seq 50); do [ -s "$1" ] && break; sleep 0.1; done
}
through() {  # PORT IN OUT: retried while the forward is being set up
    for _ in $(seq 50); do
        perl -MIO::Socket::INET -e '
            my $s = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $ARGV[0]) or exit 3;
            open(my $in, "<:raw", $ARGV[1]); local $/; my $d = <$in>;
            syswrite($s, $d); $s->shutdown(1);
            open(my $out, ">:raw", $ARGV[2]); my $b;
            while (sysread($s, $b, 65536)) { print $out $b }' "$@" && return 0
        sleep 0.2
    done
    return 1
}
free_port() { perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1)->sockport'; }

forward_case() {  # CLIENT L|R: every byte value there and back through a forward
    start_server --mode shell
    echo_target "$work/target_port"
    local target listen
    target=$(cat "$work/target_port")
    listen=$(free_port)
    perl -e 'print map { chr($_ % 256) } 0..65535' >"$work/in"
    if [ "$1" = plink ]; then
        plink_run 3des -l test -pw secret "-$2" "$listen:127.0.0.1:$target" 127.0.0.1 'sleep 6' \
            </dev/null >"$work/out" 2>"$work/err" &
    else
        ssh1_run "-$2" "$listen:127.0.0.1:$target" test@127.0.0.1 'sleep 6' \
            </dev/null >"$work/out" 2>"$work/err" &
    fi
    local client_pid=$!
    through "$listen" "$work/in" "$work/back" || fail "no connection through the forward"
    wait "$client_pid"
    expect_rc $? 0
    kill "$target_pid"
    cmp -s "$work/in" "$work/back" || fail "forwarded bytes differ: $(wc -c <"$work/back") came back"
    if [ "$2" = L ]; then
        expect_in "$work/record" "PORT_OPEN 127.0.0.1:$target open"
    else
        expect_in "$work/record" "REMOTE_FORWARD $listen granted"
    fi
}

x11_case() {  # CLIENT: xdpyinfo on the server's side reaches an Xvfb here, through -X
    start_server --mode shell
    xauth -f "$work/xauth" add :0 MIT-MAGIC-COOKIE-1 "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" \
        2>/dev/null
    Xvfb -displayfd 3 -auth "$work/xauth" -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    target_pid=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    local display
    display=:$(cat "$work/display")
    # The cookie was stored for :0; the display Xvfb picked needs it under its own name.
    xauth -f "$work/xauth" add "$display" MIT-MAGIC-COOKIE-1 \
        "$(xauth -f "$work/xauth" list :0 | awk '{print $3}')"
    export DISPLAY=$display XAUTHORITY=$work/xauth
    if [ "$1" = plink ]; then
        plink_run 3des -X -l test -pw secret 127.0.0.1 'xdpyinfo | head -3' \
            </dev/null >"$work/out" 2>"$work/err"
    else
        ssh1_run -X test@127.0.0.1 'xdpyinfo | head -3' </dev/null >"$work/out" 2>"$work/err"
    fi
    expect_rc $? 0
    expect_in "$work/out" "vendor string"
    expect_in "$work/record" "X11_REQUEST MIT-MAGIC-COOKIE-1"
}

# make_key PASSPHRASE: an SSH-1 key made by puttygen -t rsa1 in $work/id (encrypted when the
# passphrase is not empty), its public line in $work/id.pub for the server's --authorized-keys.
make_key() {
    printf '%s\n' "$1" >"$work/passphrase"
    [ -n "$1" ] || : >"$work/passphrase"
    puttygen -q -t rsa1 -b 1024 -C interop -o "$work/id" --new-passphrase "$work/passphrase" \
        2>/dev/null || fail "puttygen could not make a key"
    puttygen "$work/id" --old-passphrase "$work/passphrase" -O public -o "$work/id.pub" ||
        fail "puttygen could not print the public key"
}

# The clients ask for a passphrase or a challenge's response on a terminal; sshpass gives them
# one and types the answer when PROMPT shows up.
answering() {  # PROMPT ANSWER COMMAND...
    local prompt=$1 answer=$2; shift 2
    if [ -z "$answer" ]; then "$@"; else sshpass -P "$prompt" -p "$answer" "$@"; fi
}

key_case() {  # CLIENT CIPHER PASSPHRASE
    make_key "$3"
    start_server --mode shell --no-password --authorized-keys "$work/id.pub"
    if [ "$1" = plink ]; then
        # No -batch: it would refuse to ask for the passphrase.
        local fp
        fp=$("$server_bin" --print-fingerprint)
        mkdir -p "$work/putty/sessions"
        printf 'SshProt=0\nCipher=%s,WARN,aes\nAgentFwd=0\n' "$2" >"$work/putty/sessions/key"
        PUTTYDIR="$work/putty" answering "assphrase" "$3" timeout 40 plink -load key -1 \
            -P "$port" -hostkey "$fp" -i "$work/id" -l test 127.0.0.1 'echo key-$((6*7))' \
            </dev/null >"$work/out" 2>"$work/err"
    else
        echo "[127.0.0.1]:$port $("$server_bin" --print-known-hosts-line)" >"$work/known_hosts"
        OPENSSL_CONF="$openssl_cnf" answering "assphrase" "$3" timeout 40 ssh1 -1 -F /dev/null \
            -c "$2" -p "$port" -i "$work/id" -o UserKnownHostsFile="$work/known_hosts" \
            -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes \
            -o RSAAuthentication=yes -o PasswordAuthentication=no \
            -o ChallengeResponseAuthentication=no test@127.0.0.1 'echo key-$((6*7))' \
            </dev/null >"$work/out" 2>"$work/err"
    fi
    expect_rc $? 0
    expect_in "$work/out" key-42
    expect_in "$work/record" "RSA response right"
}

challenge_case() {  # CLIENT METHOD (tis or ccard)
    start_server --mode shell --no-password --"$2"-challenge "Code 4711: " --"$2"-response 0815
    if [ "$1" = plink ]; then
        # PuTTY's one switch for TIS also lets it answer CryptoCard challenges.
        local fp
        fp=$("$server_bin" --print-fingerprint)
        mkdir -p "$work/putty/sessions"
        printf 'SshProt=0\nCipher=3des,WARN,aes\nAuthTIS=1\nAuthCCARD=1\n' \
            >"$work/putty/sessions/challenge"
        PUTTYDIR="$work/putty" answering "Code 4711" 0815 timeout 40 plink -load challenge -1 \
            -P "$port" -hostkey "$fp" -l test 127.0.0.1 'echo challenge-$((6*7))' \
            </dev/null >"$work/out" 2>"$work/err"
    else
        echo "[127.0.0.1]:$port $("$server_bin" --print-known-hosts-line)" >"$work/known_hosts"
        OPENSSL_CONF="$openssl_cnf" answering "Code 4711" 0815 timeout 40 ssh1 -1 -F /dev/null \
            -c 3des -p "$port" -o UserKnownHostsFile="$work/known_hosts" \
            -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes \
            -o RSAAuthentication=no -o PasswordAuthentication=no \
            -o ChallengeResponseAuthentication=yes test@127.0.0.1 'echo challenge-$((6*7))' \
            </dev/null >"$work/out" 2>"$work/err"
    fi
    expect_rc $? 0
    expect_in "$work/out" challenge-42
    expect_in "$work/record" "MESSAGE $([ "$2" = tis ] && echo 41 || echo 72) "
}

case "$case_name" in
    plink-3des-command) command_case plink 3des ;;
    plink-blowfish-command) command_case plink blowfish ;;
    plink-3des-pty) pty_case plink 3des ;;
    plink-blowfish-pty) pty_case plink blowfish ;;
    plink-blowfish-bulk) bulk_case plink blowfish ;;
    plink-scenarios) scenarios_case ;;
    ssh1-3des-command) command_case ssh1 3des ;;
    ssh1-3des-pty) pty_case ssh1 3des ;;
    ssh1-3des-bulk) bulk_case ssh1 3des ;;
    plink-blowfish-compressed) compressed_case plink blowfish ;;
    ssh1-3des-compressed) compressed_case ssh1 3des ;;
    plink-local-forward) forward_case plink L ;;
    plink-remote-forward) forward_case plink R ;;
    ssh1-local-forward) forward_case ssh1 L ;;
    ssh1-remote-forward) forward_case ssh1 R ;;
    plink-x11) x11_case plink ;;
    ssh1-x11) x11_case ssh1 ;;
    plink-3des-rsa-key) key_case plink 3des "" ;;
    plink-blowfish-rsa-key-passphrase) key_case plink blowfish "pass phrase 1" ;;
    ssh1-3des-rsa-key) key_case ssh1 3des "" ;;
    ssh1-3des-rsa-key-passphrase) key_case ssh1 3des "pass phrase 1" ;;
    plink-tis) challenge_case plink tis ;;
    plink-cryptocard) challenge_case plink ccard ;;
    ssh1-tis) challenge_case ssh1 tis ;;
    *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "PASS: $case_name"
