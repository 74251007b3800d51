#!/usr/bin/env bash
# Records the captures used by capture_test.cpp: real programs run with TERM=vt100 in an 80x24
# tmux pane, their raw output logged by script(1), and what tmux shows at that moment (with its
# history) kept as the expected text. Run it again to refresh the captures; the tests only read
# the files it leaves here. With names as arguments (shell editor top pager menu gauge utf8) only
# those are recorded again.
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
for i in $(seq 1 60); do echo "line $i of the sample text"; done > "$work/sample.txt"
printf 'syntax off\nset nocompatible\nset ruler\nset laststatus=1\n' > "$work/vimrc"

keys() { tmux -L "$sock" send-keys "$@"; sleep 0.4; }

# record NAME COMMAND: starts COMMAND under script(1) in a fresh 80x24 pane.
record() {
    tmux -L "$sock" kill-server 2>/dev/null || true
    tmux -L "$sock" new-session -d -x 80 -y 24 \
        "cd $work && script -q -f -O $work/$1.log -c 'env -i TERM=vt100 HOME=$work PATH=/usr/bin:/bin $2'"
    sleep 1.5
}

# finish NAME: keeps the raw bytes (without script's header line) and the pane with history.
finish() {
    sleep 1
    tmux -L "$sock" capture-pane -p -S - > "$here/$1.expected"
    tail -n +2 "$work/$1.log" > "$here/$1.raw"
}

only=("$@")
want() { [ ${#only[@]} -eq 0 ] || [[ " ${only[*]} " == *" $1 "* ]]; }

if want shell; then
record shell "bash --noprofile --rcfile $work/rc -i"
for command in "echo hello world" "printf 'a\\tb\\n'" "cd listing" "ls --color=always -F" \
               "seq 1 30" "echo done"; do
    keys "$command" Enter
done
finish shell
fi

if want editor; then
record editor "vim -u $work/vimrc -N -i NONE sample.txt"
keys 30j; keys C-e; keys C-e; keys 5k; keys dd; keys O "inserted line" Escape; keys 40j
keys C-y; keys C-y; keys C-y; keys gg; keys C-f; keys x; keys 3x; keys A " appended" Escape
keys 10j
finish editor
fi

if want top; then
record top "top -d 30"
finish top
fi

if want pager; then
record pager "less -S sample.txt"
keys Space; keys Space; keys b; keys 5j; keys 3k; keys G; keys 8k
finish pager
fi

if want menu; then
record menu "dialog --menu Choose 15 40 6 1 one 2 two 3 three 4 four 5 five 6 six 7 seven"
keys Down; keys Down; keys Down
finish menu
fi

if want gauge; then
printf '(echo 10; sleep 0.5; echo 45; sleep 0.5; echo 70; sleep 30) | dialog --gauge Working 8 50 0\n' > "$work/gauge.sh"
record gauge "sh gauge.sh"
finish gauge
fi

if want utf8; then
printf 'caf\xc3\xa9 na\xc3\xafve \xe4\xb8\xad\xe6\x96\x87 \xe2\x82\xac5 \xc3\x9fe\n' > "$work/utf8.txt"
printf 'cat utf8.txt; sleep 30\n' > "$work/utf8.sh"
record utf8 "env LANG=C.UTF-8 sh utf8.sh"
finish utf8
fi
