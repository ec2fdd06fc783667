#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# sandbox.sh OUT SCENARIO
#
# Started by the end-to-end tests as `unshare --mount --net --pid --fork --mount-proc ... bash ...`.
# Puts a private tmpfs over /Applications and /Library and a fresh HOME under OUT, so that the real programs
# act on their real fixed paths without touching the machine's own, then runs SCENARIO (bash
# code that may use the helpers below). Leaves in OUT: stdout, stderr, status (set by the
# scenario in $status) and state (a listing of /Applications and the home's product folders).
# Needs CLI, GUI, CLOSE_WINDOW, FIRST_THREAD_ENDS and PKEXEC in the environment.
set -euo pipefail
out="$1"
scenario="$2"

# /Library too: root keeps there what it may trust of Brinvast's names for every user.
for folder in /Applications /Library; do
    [ -d $folder ] || mkdir $folder
    mount -t tmpfs -o mode=0755 brinvast-e2e $folder
done
# The zone of the engine tests' known time (tests/support/test_tree.h), two hours east of UTC.
export HOME="$out/home" TZ=XST-2
mkdir -p "$HOME"
support="$HOME/Library/Application Support/Brinvast"
db="$support/Database/Brinvast.db"
backup="$support/Database/Brinvast_Previous.db"
wal_db="$(dirname "$0")/wal_db.py"
status=none

put() { mkdir -p "$(dirname "$1")" && printf '%s\n' "$2" >"$1"; }

# The bundle's property list, with the identifier under which macOS keeps Brinvast's data.
identifier=com.brinvast.Brinvast
brinvast_plist="<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>$identifier</string></dict></plist>"

# The product as a user has it, beside things that are not ours and must survive.
install_product() {
    put /Applications/Brinvast.app/Contents/Info.plist "$brinvast_plist"
    put /Applications/Brinvast.app/Contents/MacOS/Brinvast "brinvast binary"
    put /Applications/Other.app/Contents/Info.plist "other plist"
    put "$db" "live database"
    truncate -s 1572864 "$db"
    touch -d @1709967900 "$db"
    put "$support/settings.json" "{}"
    put "$HOME/Documents/Brinvast/Reports/2024-03.txt" "report"
    put "$HOME/Documents/letter.txt" "not ours"
    put "$HOME/Library/Logs/Brinvast/brinvast.log" "log"
}

# The product with real SQLite databases in WAL mode: the live one holds 1000 rows, the older
# backup 400, all but one of each only in its -wal. $out/owners records which set each file is
# from, for wal_mixed.
install_wal_product() {
    put /Applications/Brinvast.app/Contents/Info.plist "$brinvast_plist"
    put /Applications/Brinvast.app/Contents/MacOS/Brinvast "brinvast binary"
    rm -rf "$support"
    python3 "$wal_db" make "$db" 1000 live
    python3 "$wal_db" make "$backup" 400 old
    python3 "$wal_db" owners "$(dirname "$db")" "$out/owners"
    # The folder of root's record for every user, as an earlier run leaves it: every run then
    # makes the same calls, whose counts the fault tables aim at.
    mkdir -p "/Library/Application Support/Brinvast Uninstaller"
}
# The rows of the set at $1 per tag, as "live:1000", or "none".
wal_rows() { python3 "$wal_db" rows "$1"; }
# "ok", or the names under which files of two sets stand side by side.
wal_mixed() { python3 "$wal_db" mixed "$(dirname "$db")" "$out/owners"; }

# Where a cut-short move keeps what it set aside, if anywhere.
journal_of() { find "$(dirname "$db")" -maxdepth 1 -name '.brinvast-uninstall-*' | head -n 1; }
# Every file of the database folder and its journal, with a digest of each: any change shows.
folder_digest() { (cd "$(dirname "$db")" && find . -type f -exec sha1sum {} + | LC_ALL=C sort); }

# The command line under strace, a fault injected as $1 says at the $2-th call that $1 names.
fault_run() {
    local inject
    case $1 in
    # The move renames with renameat2; the record of Brinvast's names, written before, with renameat.
    rename) inject=(-e "inject=renameat2:signal=KILL:when=$2") ;;
    unlink | unlinkat) inject=(-e "inject=$1:signal=KILL:when=$2") ;;
    fsync | fdatasync) inject=(-e "inject=$1:error=EIO:when=$2") ;;
    eio_rename) inject=(-e "inject=renameat2:error=EIO:when=$2") ;;
    # Ctrl-C as the move begins, so that the rollback follows it, and a kill at a later rename.
    rollback) inject=(-e inject=mkdirat:signal=INT:when=1 -e "inject=renameat2:signal=KILL:when=$2") ;;
    esac
    { ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o /dev/null "${inject[@]}" \
        "$CLI" --yes </dev/null >"$out/run" 2>&1; } 2>/dev/null
}
# How many calls of the kind $1 a whole run makes (with the Ctrl-C of "rollback", its rollback's).
calls_of() {
    local calls='renameat2' interrupt=()
    case $1 in
    unlink | unlinkat | fsync | fdatasync) calls=$1 ;;
    rollback) interrupt=(-e inject=mkdirat:signal=INT:when=1) ;;
    esac
    install_wal_product
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o "$out/calls" \
        "${interrupt[@]}" "$CLI" --yes </dev/null >/dev/null 2>&1
    grep -c -E "^[0-9]+ +$calls\\(" "$out/calls"
}

# For each "SIGNAL WHEN [nohup]" in $@, the signal at the WHEN-th rename (with "nohup", to a run
# that nohup started), and one record of how the run ended and what it left.
signal_table() {
    local row signal when how starter
    for row in "$@"; do
        read -r signal when how <<<"$row"
        starter=()
        [ "$how" = nohup ] && starter=(nohup)
        install_wal_product
        { ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" "${starter[@]}" strace -f -qq \
            -o /dev/null -e "inject=renameat2:signal=$signal:when=$when" "$CLI" --yes </dev/null \
            >"$out/run" 2>&1; } 2>/dev/null
        printf '%s\t' "case=$row" "ended=$?" "mixed=$(wal_mixed)" "journal=$(journal_of)" \
            "rows=$(wal_rows "$db") | $(wal_rows "$backup")" \
            "interrupted=$(grep -c '^⚠️  Uninstall interrupted by user$' "$out/run")" \
            "rolled=$(grep -c '^🔄 Rolled back database rename$' "$out/run")" \
            "older_back=$(grep -c '^🔄 Put back the older backup: ' "$out/run")" \
            "succeeded=$(grep -c '^🎉 Uninstall completed successfully!$' "$out/run")" \
            >>"$out/stdout"
        echo >>"$out/stdout"
    done
}
# A link in place of the bundle, which the removal refuses: a run stops at step 1, just after it
# has put right what an earlier run left.
stop_at_step_one() {
    rm -rf /Applications/Brinvast.app /Applications/Real.app
    put /Applications/Real.app/Contents/MacOS/Brinvast "brinvast binary"
    ln -s Real.app /Applications/Brinvast.app
}

# For each "KIND [N]" in $@, a fault at the N-th call of the kind, or at each of its calls in
# turn. After each, one tab-separated record: how the run ended, what it left, what a dry run
# said and changed, what a run stopped after its recovery left, and what a last run left. A kind
# ending in "+reinstall" first has a reinstalled Brinvast open a fresh database of its own where
# none stands.
crash_table() {
    local row kind calls n ended journal before record
    for row in "$@"; do
        read -r kind calls <<<"$row"
        kind=${kind%+reinstall}
        [ -n "$calls" ] || calls=$(seq "$(calls_of "$kind")")
        for n in $calls; do
            install_wal_product
            fault_run "$kind" "$n"
            ended=$?
            journal=$(basename "$(journal_of)" 2>/dev/null)
            record=("case=${row%% *} $n" "ended=$ended" "mixed=$(wal_mixed)" "journal=${journal:-none}"
                "succeeded=$(grep -c '^🎉 Uninstall completed successfully!$' "$out/run")")
            if [ "${row%%+reinstall*}" != "$row" ] && [ ! -e "$db" ]; then
                python3 "$wal_db" make "$db" 10 fresh
            fi
            before=$(folder_digest)
            "$CLI" --dry-run </dev/null >"$out/dry" 2>&1
            record+=("dry=$?" "dry_changed=$([ "$(folder_digest)" = "$before" ] && echo 0 || echo 1)"
                "dry_would=$(grep -c '^🔄 DRY RUN: A real run would first' "$out/dry")"
                "dry_refused=$(grep -c '^⚠️  A real run cannot put right' "$out/dry")"
                "dry_clean=$(grep -c 'already clean' "$out/dry")")
            stop_at_step_one
            "$CLI" --yes </dev/null >"$out/stopped" 2>&1
            record+=("stopped=$?" "put_right=$(grep -c -E '^🔄 (Undid|Put back|Finished|Cleared)' "$out/stopped")"
                "refused=$(grep -c '^❌ Cannot put right' "$out/stopped")"
                "recovered=$(wal_rows "$db") | $(wal_rows "$backup")"
                "everywhere=$(wal_rows "$db") | $(wal_rows "$backup") | $(wal_rows "$(journal_of)/Brinvast_Previous.db")")
            rm -rf /Applications/Brinvast.app /Applications/Real.app
            "$CLI" --yes </dev/null >"$out/last" 2>&1
            record+=("real=$?" "final=$(wal_rows "$db") | $(wal_rows "$backup")"
                "left=$(find "$(dirname "$db")" -mindepth 1 -maxdepth 1 -printf '%f\n' |
                    LC_ALL=C sort | tr '\n' ' ')")
            printf '%s\t' "${record[@]}" >>"$out/stdout"
            echo >>"$out/stdout"
        done
    done
}

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

# The command line under strace with the options $@ (a fault to inject, say), as cli runs it with
# --yes.
cli_under_strace() {
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o /dev/null "$@" "$CLI" --yes \
        </dev/null >"$out/stdout" 2>"$out/stderr"
    status=$?
}

# A user database of the sandbox's own laid over the machine's: tester's home is the sandbox's
# home, so the golden listings describe it; tester may pass through the sandbox's folder to reach
# it, as through /Users. other's home and root's HOME hold product files of their own. The program
# is copied where an unprivileged user may run it.
users_machine() {
    chmod 0711 "$out"
    printf '%s\n' "tester:x:1500:1500::$HOME:/bin/sh" other:x:1501:1501::/home/other:/bin/sh \
        _mbsetupuser:x:248:248::/var/setup:/usr/bin/false nohome:x:1502:1502::/:/bin/sh \
        dothome:x:1505:1505::/.:/bin/sh \
        blank:x:1503:1503:::/bin/sh gone:x:1504:1504::/home/gone:/bin/sh \
        low:x:999:999::/home/low:/bin/sh >"$out/passwd"
    cat /etc/passwd >>"$out/passwd"
    mount --bind "$out/passwd" /etc/passwd
    mount -t tmpfs -o mode=0755 homes /home
    install_product
    chown -R 1500:1500 "$HOME"
    put "/home/other/Library/Application Support/Brinvast/Database/Brinvast.db" "other's database"
    chown -R 1501:1501 /home/other
    put "/home/root/Library/Application Support/Brinvast/Database/Brinvast.db" "root's database"
    mkdir /home/bin && cp "$CLI" /home/bin/cli && CLI=/home/bin/cli
}
# The command line of users_machine, run by root, by other and by tester.
by_root() { HOME=/home/root cli "$@"; }
by_other() { by_uid 1501 "$@"; }
by_tester() { by_uid 1500 "$@"; }
by_uid() {
    setpriv --reuid="$1" --regid="$1" --clear-groups "$CLI" "${@:2}" </dev/null >"$out/stdout" \
        2>"$out/stderr"
    status=$?
}
# tester's documents belong to somebody else and to a group that tester is in besides the
# primary one.
documents_of_a_shared_group() {
    { echo "shared:x:1600:tester"; cat /etc/group; } >"$out/group"
    mount --bind "$out/group" /etc/group
    chown -R 1601:1600 "$HOME/Documents/Brinvast"
    chmod -R g+w "$HOME/Documents/Brinvast"
}
# Root, its HOME tester's home, killed at the third rename of the move; then tester's own run,
# whose report the owners of everything in the home after root's run follow.
root_killed_in_testers_home() {
    install_wal_product
    chown -R 1500:1500 "$HOME"
    fault_run rename 3
    find "$HOME" -printf '%U\n' | sort -u >"$out/owners"
    by_tester --yes
    cat "$out/owners" >>"$out/stdout"
}

# Root's run for tester whose last switch to tester's rights, after the steps, is refused. Which
# switch that is comes from a run that succeeds, before the product is installed again.
switch_refused_after_the_steps() {
    local switches
    strace -f -qq -o "$out/calls" -e trace=setresuid "$CLI" --user tester --yes </dev/null \
        >/dev/null 2>&1
    switches=$(grep -c -E '^[0-9]+ +setresuid\(' "$out/calls")
    rm -rf /Applications/Brinvast.app "$HOME/Library/Application Support/Brinvast"
    install_product
    chown -R 1500:1500 "$HOME"
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o /dev/null \
        -e "inject=setresuid:error=EPERM:when=$((switches - 1))" "$CLI" --user tester --yes \
        </dev/null >"$out/stdout" 2>"$out/stderr"
    status=$?
}

# Keeps the last run's status in $statuses and its report in $out/reports behind a "----" line.
keep() {
    statuses+="${statuses:+ }$status"
    { echo ----; cat "$out/stdout"; } >>"$out/reports"
}
# While a stand-in for Brinvast runs, a dry run, a real run and the state; once it has quit, a
# real run. Prints the stand-in's pid, then each report and the state behind a "----" line; the
# status lists the runs' statuses, "-" for the state.
runs_until_brinvast_quits() {
    local statuses=
    start_brinvast /bin/sleep
    echo "$brinvast_pid" >"$out/reports"
    cli --dry-run; keep
    cli --yes; keep
    list_state >"$out/stdout"; status=-; keep
    quit_brinvast
    cli --yes; keep
    mv "$out/reports" "$out/stdout"
    status=$statuses
}
# The command line as nobody with no process list to read: over /proc a folder that nobody may
# list. /proc/self still leads to a process file system, which the sanitizers read; the leak
# checker, which lists /proc as well, stays out of it.
cli_as_nobody_without_proc() {
    chmod 0711 "$out"
    chown -R 65534:65534 "$HOME"
    mount -t tmpfs -o mode=0755 cli /mnt
    cp "$CLI" /mnt/cli
    mkdir "$out/proc"
    mount -t proc proc "$out/proc"
    mount -t tmpfs -o mode=0711 unlisted /proc
    ln -s "$out/proc/self" /proc/self
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" setpriv --reuid=65534 --regid=65534 \
        --clear-groups /mnt/cli "$@" </dev/null >"$out/stdout" 2>"$out/stderr"
    status=$?
}

# macOS's tools at their macOS paths: stand-ins (macos_tool.sh) laid over the machine's /usr/bin
# and /usr/sbin, with a /System and a /Library of the sandbox's own. The engine uses a tool
# wherever one stands there. What each was asked, and by whom, is in $BRINVAST_TOOLS/log.
macos_tools() {
    export BRINVAST_TOOLS="$out/tools"
    local stand_in tool support
    stand_in="$(cd "$(dirname "$0")" && pwd)/macos_tool.sh"
    mkdir -p "$BRINVAST_TOOLS"/{bin,sbin,loaded,receipts,hang,fail}
    for tool in launchctl defaults sudo sfltool; do ln -s "$stand_in" "$BRINVAST_TOOLS/bin/$tool"; done
    ln -s "$stand_in" "$BRINVAST_TOOLS/sbin/pkgutil"
    mount -t overlay tools -o "lowerdir=$BRINVAST_TOOLS/bin:/usr/bin" /usr/bin
    mount -t overlay tools -o "lowerdir=$BRINVAST_TOOLS/sbin:/usr/sbin" /usr/sbin
    for tool in /System /Library; do
        [ -d $tool ] || mkdir $tool
        mount -t tmpfs -o mode=0755 brinvast-e2e $tool
    done
    support=/System/Library/Frameworks/CoreServices.framework/Frameworks/LaunchServices.framework
    mkdir -p "$support/Support"
    ln -s "$stand_in" "$support/Support/lsregister"
    : >"$BRINVAST_TOOLS/log"
}
# The calls of the tools so far, the home written as "~", one a line.
tool_calls() { sed "s|$HOME|~|g" "$BRINVAST_TOOLS/log"; }

# A launchd property list at $1 for the job $2 that starts the program $3.
put_job() {
    put "$1" "<plist version=\"1.0\"><dict><key>Label</key><string>$2</string><key>Program</key><string>$3</string><key>KeepAlive</key><true/></dict></plist>"
}
# The job $1 (DOMAIN/LABEL) loaded, keeping the process $2 (if any) alive from the program $3.
load_job() { printf '%s\n%s\n' "${2:-}" "${3:-}" >"$BRINVAST_TOOLS/loaded/${1//\//+}"; }
# Another vendor's privileged helper, installed and loaded by root, with a receipt of its own.
vendor_helper() {
    put /Library/LaunchDaemons/com.vendor.securityd.plist daemon
    put /Library/PrivilegedHelperTools/com.vendor.securityd tool
    load_job system/com.vendor.securityd "" /Library/PrivilegedHelperTools/com.vendor.securityd
    mkdir -p "$BRINVAST_TOOLS/receipts/com.vendor.config"
    echo / >"$BRINVAST_TOOLS/receipts/com.vendor.config/location"
    : >"$BRINVAST_TOOLS/receipts/com.vendor.config/files"
}
# The record of Brinvast's identities, as an earlier run would have written it, with the lines $@.
put_record() {
    printf 'brinvast-uninstall identities 1\nidentifier %s\n' "$identifier" \
        >"$HOME/Library/Application Support/.brinvast-uninstall-identities"
    printf '%s\n' "$@" end >>"$HOME/Library/Application Support/.brinvast-uninstall-identities"
}

# What macOS keeps for the installed product under its identifier.
put_traces() {
    put "$HOME/Library/Preferences/$identifier.plist" "preferences"
    put "$HOME/Library/Caches/$identifier/cache.db" "cache"
    put "$HOME/Library/Logs/$identifier/today.log" "log"
}
traces_left() { find "$HOME/Library" -name "$identifier*" | wc -l; }

# For each kind of call in $@, a complete removal of the product and its traces killed at each
# of its calls in turn, then a run of its own. One record a kill: how both runs ended, and how
# many traces the second left.
trace_kill_table() {
    local kind count n first
    for kind in "$@"; do
        install_product && put_traces
        ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o "$out/calls" \
            "$CLI" --complete --yes </dev/null >/dev/null 2>&1
        count=$(grep -c -E "^[0-9]+ +$kind\\(" "$out/calls")
        for n in $(seq "$count"); do
            install_product && put_traces
            { ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o /dev/null \
                -e "inject=$kind:signal=KILL:when=$n" "$CLI" --complete --yes </dev/null \
                >/dev/null 2>&1; } 2>/dev/null
            first=$?
            "$CLI" --complete --yes </dev/null >"$out/run" 2>&1
            printf '%s\n' "$kind $n: killed=$first then=$? left=$(traces_left)" >>"$out/stdout"
        done
    done
}

# Holds the home's lock, as another run would, until release_home.
hold_home() { exec 7<"$HOME" && flock 7; }
release_home() { flock -u 7; }
# Starts a real run of the command line, its report in $1, and returns once it waits for the
# home; its pid is in $cli_pid.
start_waiting_cli() {
    "$CLI" --yes </dev/null >"$1" 2>>"$out/stderr" &
    cli_pid=$!
    until grep -q 'waiting for it to finish' "$1"; do sleep 0.05; done
}

# A run while another holds the home's lock: the state while it waits follows its report.
run_while_the_home_is_held() {
    hold_home
    start_waiting_cli "$out/stdout"
    list_state >"$out/held"
    release_home
    wait "$cli_pid"
    status=$?
    cat "$out/held" >>"$out/stdout"
}
# $1 times over, two runs started together on a fresh product; one line each: both statuses, how
# many removed and how many found the machine clean.
runs_at_once() {
    local first second a b
    status=0
    for _ in $(seq "$1"); do
        rm -rf /Applications/* "${HOME:?}"/*
        install_product
        "$CLI" --yes </dev/null >"$out/first" 2>&1 &
        first=$!
        "$CLI" --yes </dev/null >"$out/second" 2>&1 &
        second=$!
        wait "$first"
        a=$?
        wait "$second"
        b=$?
        echo "$a $b $(cat "$out/first" "$out/second" | grep -c '^🎉')" \
            "$(cat "$out/first" "$out/second" | grep -c 'already clean')" >>"$out/stdout"
    done
}
# A real run, then the backup's rows and the names in the database folder and in ~/Documents.
run_and_list_databases() {
    local folder
    cli --yes
    {
        wal_rows "$backup"
        for folder in "$(dirname "$db")" "$HOME/Documents"; do
            find "$folder" -mindepth 1 -maxdepth 1 -printf '%f\n' 2>/dev/null | LC_ALL=C sort |
                tr '\n' ' '
            echo
        done
    } >>"$out/stdout"
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

# The window waits for a run that holds the home and asks to retry, while a command line started
# meanwhile waits its turn. The status gives the window's, the command line's, and how many main
# windows were shown while the box asked; the command line's report follows the window's.
window_and_cli_at_once() {
    local shown cli_status
    hold_home
    start_gui
    click standard
    answer 'Confirm Standard Uninstall' alt+y
    window 'Another Uninstall Is Running' >/dev/null
    shown=$(xdotool search --onlyvisible --name '^Brinvast Uninstaller$' | wc -l)
    start_waiting_cli "$out/cli"
    release_home
    wait "$cli_pid"
    cli_status=$?
    answer 'Another Uninstall Is Running' Return
    answer 'Uninstall Complete' Return
    finish_gui
    status="$status $cli_status $shown"
    cat "$out/cli" >>"$out/stdout"
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
