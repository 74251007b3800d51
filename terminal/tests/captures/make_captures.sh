#!/usr/bin/env bash
# Records the captures that capture_test.cpp reads: programs run with TERM=vt100 in an 80x24 tmux
# pane, their raw output logged by script(1), and the text tmux showed at the end (the shell's
# with its history) without trailing blank lines. With names as arguments (shell menu utf8)
# only those are recorded again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sock=corvid1-captures-$$
trap 'tmux -L "$sock" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT

mkdir -p "$work/listing/src" "$work/listing/docs"
touch "$work/listing/README" "$work/listing/build.sh"
chmod +x "$work/listing/build.sh"
ln -s README "$work/listing/link"
printf "PS1='user@host:\\\\w\$ '\nstty tab3\n" > "$work/rc"
printf 'caf\xc3\xa9 na\xc3\xafve \xe4\xb8\xad\xe6\x96\x87 \xe2\x82\xac5 \xc3\x9fe\n' > "$work/utf8.txt"

keys() { tmux -L "$sock" send-keys "$@"; sleep 0.4; }
# record NAME COMMAND KEYS...: runs COMMAND under script(1) in a fresh pane and types each KEYS
# (words for tmux send-keys, quoted as in the shell).
record() {
    local name=$1 command=$2 history=()
    shift 2
    [ ${#only[@]} -eq 0 ] || [[ " ${only[*]} " == *" $name "* ]] || return 0
    [ "$name" = shell ] && history=(-S -)
    tmux -L "$sock" kill-server 2>/dev/null || true
    tmux -L "$sock" new-session -d -x 80 -y 24 \
        "cd $work && script -q -f -O $work/$name.log -c 'env -i TERM=vt100 HOME=$work PATH=/usr/bin:/bin $command'"
    sleep 1.5
    for k in "$@"; do [ -z "$k" ] || eval keys "$k"; done
    sleep 1
    tmux -L "$sock" capture-pane -p "${history[@]}" | sed -e :a -e '/^[[:space:]]*$/{$d;N;ba' -e '}' \
        > "$here/$name.expected"
    tail -n +2 "$work/$name.log" > "$here/$name.raw"
}
only=("$@")

record shell "bash --noprofile --rcfile $work/rc -i" "'echo hello world' Enter" \
    "\"printf 'a\\\\tb\\\\n'\" Enter" "'cd listing' Enter" "'ls --color=always -F' Enter" \
    "'seq 1 30' Enter" "'echo done' Enter"
record menu "dialog --menu Choose 15 40 6 1 one 2 two 3 three 4 four 5 five 6 six 7 seven" \
    Down Down Down
record utf8 "env LANG=C.UTF-8 sh -c 'cat utf8.txt; sleep 30'" ""
