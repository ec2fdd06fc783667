#!/usr/bin/env bash
# sandbox.sh OUT SCENARIO
#
# Started by the end-to-end tests as `unshare --mount --net --pid --fork --mount-proc ... bash ...`.
# Puts a private tmpfs over /Applications and a fresh HOME under OUT, so that the real programs
# act on their real fixed paths without touching the machine's own, then runs SCENARIO (bash
# code that may use the helpers below). Leaves in OUT: stdout, stderr, status (set by the
# scenario in $status) and state (a listing of /Applications and the home's product folders).
# Needs CLI, GUI, CLOSE_WINDOW, FIRST_THREAD_ENDS and PKEXEC in the environment.
set -euo pipefail
out="$1"
scenario="$2"

[ -d /Applications ] || mkdir /Applications
mount -t tmpfs -o mode=0755 brinvast-e2e /Applications
export HOME="$out/home" TZ=UTC
mkdir -p "$HOME"
support="$HOME/Library/Application Support/Brinvast"
db="$support/Database/Brinvast.db"
backup="$support/Database/Brinvast_Previous.db"
wal_db="$(dirname "$0")/wal_db.py"
status=none

put() { mkdir -p "$(dirname "$1")" && printf '%s\n' "$2" >"$1"; }

# The product as a user has it, beside things that are not ours and must survive.
install_product() {
    put /Applications/Brinvast.app/Contents/Info.plist "brinvast plist"
    put /Applications/Brinvast.app/Contents/MacOS/Brinvast "brinvast binary"
    put /Applications/Other.app/Contents/Info.plist "other plist"
    put "$db" "live database"
    truncate -s 1572864 "$db"
    touch -d '2024-03-09 07:05:00' "$db"
    put "$support/settings.json" "{}"
    put "$HOME/Documents/Brinvast/Reports/2024-03.txt" "report"
    put "$HOME/Documents/letter.txt" "not ours"
    put "$HOME/Library/Logs/Brinvast/brinvast.log" "log"
}

# The product with real SQLite databases in WAL mode: the live one holds 1000 rows, the older
# backup 400, all but one of each only in its -wal. $out/owners records which set each file is
# from, for wal_mixed.
install_wal_product() {
    put /Applications/Brinvast.app/Contents/Info.plist "brinvast plist"
    put /Applications/Brinvast.app/Contents/MacOS/Brinvast "brinvast binary"
    rm -rf "$support"
    python3 "$wal_db" make "$db" 1000 live
    python3 "$wal_db" make "$backup" 400 old
    python3 "$wal_db" owners "$(dirname "$db")" "$out/owners"
}
# The rows of the set at $1 per tag, as "live:1000", or "none".
wal_rows() { python3 "$wal_db" rows "$1"; }
# "ok", or the names under which files of two sets stand side by side.
wal_mixed() { python3 "$wal_db" mixed "$(dirname "$db")" "$out/owners"; }

# Starts a stand-in for Brinvast: a copy of $1 (sleep(1) unless given) in place of the bundle's
# executable, run through the path $2 (that executable unless given). Its pid is in
# $brinvast_pid once the kernel shows one of its threads running that file (the shell's child
# execs in its own time); quit_brinvast ends it.
brinvast_executable=/Applications/Brinvast.app/Contents/MacOS/Brinvast
start_brinvast() {
    install -m 0755 "${1:-/bin/sleep}" "$brinvast_executable"
    run_brinvast "${2:-$brinvast_executable}"
}
# Starts the stand-in already in place through the path $1, behind the command $2... if given
# (setpriv, say).
run_brinvast() {
    "${@:2}" "$1" 600 &
    brinvast_pid=$!
    for _ in $(seq 600); do
        for exe in /proc/"$brinvast_pid"/task/*/exe; do
            [ "$exe" -ef "$brinvast_executable" ] && return 0
        done
        sleep 0.1
    done
    echo "sandbox: the stand-in for Brinvast did not start" >&2
    return 1
}
quit_brinvast() {
    kill "$brinvast_pid"
    wait "$brinvast_pid" 2>/dev/null
    brinvast_pid=
}

# Every entry with its type; a file also shows its first line, a link its target.
list_state() {
    { find /Applications "$HOME/Library" "$HOME/Documents" -mindepth 1 2>/dev/null || true; } |
        LC_ALL=C sort |
        while IFS= read -r path; do
            if [ -L "$path" ]; then
                echo "$path -> $(readlink "$path")"
            elif [ -f "$path" ]; then
                echo "$path: $(head -n 1 "$path" | tr -d '\0')"
            else
                echo "$path/"
            fi
        done
}

cli() {
    "$CLI" "$@" </dev/null >"$out/stdout" 2>"$out/stderr"
    status=$?
}

# Runs the command line at a terminal (script(1) gives it one) that is fed the lines of $1.
# The terminal merges stdout and stderr.
at_terminal() {
    printf '%b\n' "$1" | script -qec "'$CLI' ${2:-}" /dev/null >"$out/stdout"
    status=$?
}

# Polls until a visible window titled exactly $1 exists (up to 60 s) and prints its id.
window() {
    local id
    for _ in $(seq 600); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) || true
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    echo "sandbox: no window titled '$1'; the program and the X server said:" >&2
    cat "$out/stderr" "$out/xvfb.log" >&2
    return 1
}

# The X server gets a socket directory of its own, and (with unshare --net) its own abstract
# sockets, so that it can neither meet nor disturb any other X server on the machine.
start_gui() {
    # shellcheck disable=SC2174  # /tmp is always there: only .X11-unix itself may be new
    mkdir -p -m 1777 /tmp/.X11-unix
    mount -t tmpfs -o mode=1777 brinvast-e2e-x11 /tmp/.X11-unix
    Xvfb :0 -nolock -noreset -nolisten tcp -screen 0 1024x768x24 -displayfd 3 \
        3>"$out/display" 2>"$out/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 600); do
        [ -s "$out/display" ] && break
        sleep 0.1
    done
    DISPLAY=":$(cat "$out/display")"
    export DISPLAY
    QT_QPA_PLATFORM=xcb "$GUI" >"$out/stdout" 2>"$out/stderr" &
    gui_pid=$!
    main_window=$(window "Brinvast Uninstaller")
}

# Like start_gui, but the program's standard output is a pipe whose only reader has quit before
# the program starts, as when `| head` has had its lines or the terminal that started it is gone.
start_gui_reader_gone() {
    # shellcheck disable=SC2097,SC2098  # real_gui is to keep the GUI from before the swap
    real_gui="$GUI" GUI=run_reader_gone start_gui
}
run_reader_gone() {
    exec 5> >(exec true)
    wait $!
    # shellcheck disable=SC2154  # set for this call by start_gui_reader_gone
    exec "$real_gui" >&5 5>&-
}

# A user database of the sandbox's own with tester (uid 1500), whose home is the sandbox's home,
# and a tmpfs over /home that honours set-user-id programs. The window and the command line sit
# side by side in /home/bin, as in the bundle, where tester may run them; the stand-in for
# pkexec sits in /home/sbin. The Applications folder stays root's, so that only an administrator
# may remove the bundle. Call it after the product is installed.
tester_machine() {
    chmod 0711 "$out"
    { echo "tester:x:1500:1500::$HOME:/bin/sh"; cat /etc/passwd; } >"$out/passwd"
    mount --bind "$out/passwd" /etc/passwd
    mount -t tmpfs -o mode=0755 brinvast-e2e-homes /home
    mkdir /home/bin /home/sbin
    cp "$GUI" /home/bin/brinvast-uninstaller
    cp "$CLI" /home/bin/brinvast-uninstall
    install -m 4755 "$PKEXEC" /home/sbin/pkexec
    chown -R 1500:1500 "$HOME"
}

# Starts the window as tester, with the stand-in for pkexec first on PATH. The stand-in answers
# as $pkexec_answer says (see pkexec_stand_in.cpp) and notes each call in $out/pkexec.
start_gui_as_tester() {
    GUI=run_as_tester start_gui
}
run_as_tester() {
    PATH="/home/sbin:$PATH" PKEXEC_CALLS="$out/pkexec" PKEXEC_ANSWER="${pkexec_answer:-}" \
        exec setpriv --reuid=1500 --regid=1500 --clear-groups /home/bin/brinvast-uninstaller
}

# Clicks a mode button. Both sit at the bottom of the fixed 400x450 window, centred: 15 px
# margin, 50 px buttons, 12 px apart, so their places follow from the window's geometry.
click() {
    # shellcheck disable=SC2034  # xdotool sets all six; declared so that none leaks
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$main_window")"
    local y=$((Y + 450 - 15 - 25))
    [ "$1" = standard ] && y=$((y - 50 - 12))
    xdotool mousemove $((X + 200)) "$y" click 1
}

# Answers the box titled $1 with keys $2: alt+y is Yes; Return takes the default, No.
answer() {
    local box
    box=$(window "$1") || return 1
    xdotool windowfocus --sync "$box" key --clearmodifiers "$2"
}

# Like answer, then waits up to 60 s until that box has gone, so that a box with the same title
# that comes next cannot be taken for it.
answer_and_wait() {
    local box
    box=$(window "$1") || return 1
    xdotool windowfocus --sync "$box" key --clearmodifiers "$2"
    for _ in $(seq 600); do
        xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | grep -qx "$box" || return 0
        sleep 0.1
    done
    echo "sandbox: the box '$1' stayed" >&2
    return 1
}

# Waits up to 60 s for the window's program to end and keeps its exit status.
finish_gui() {
    for _ in $(seq 600); do
        kill -0 "$gui_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$gui_pid" 2>/dev/null && kill "$gui_pid"
    wait "$gui_pid"
    status=$?
}

# Closes the main window once no box is left over it, and waits for the program to end.
close_gui() {
    for _ in $(seq 600); do
        [ "$(xdotool search --onlyvisible --name . | wc -l)" -eq 1 ] && break
        sleep 0.1
    done
    "$CLOSE_WINDOW" "$main_window"
    finish_gui
}

# Waits for the server too, so that the next sandbox cannot meet it on its way out.
stop_processes() {
    local pid
    for pid in ${gui_pid:-} ${xvfb_pid:-} ${brinvast_pid:-}; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    return 0
}
trap stop_processes EXIT

set +e
eval "$scenario"
echo "$status" >"$out/status"
list_state >"$out/state"
