#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A stand-in for one of macOS's tools, named by the name it is called by (launchctl, defaults,
# lsregister, pkgutil, sudo, sfltool). It records who called it how in $BRINVAST_TOOLS/log, and
# answers as macOS answers, from what $BRINVAST_TOOLS holds:
#   loaded/DOMAIN+LABEL   a loaded launch job (the domain's "/" written "+"); its first line may
#                         hold the pid of the process the job keeps alive, which bootout ends, and
#                         its second the program, which print shows
#   late                  bootout answers 36 at once, and launchd ends the job a second later
#   no_gui                nobody is logged in: no gui/<uid> domain
#   receipts/ID/owns      the paths a package receipt owns, one a line (--file-info)
#   receipts/ID/files     the files it installed, below its location (--only-files --files)
#   receipts/ID/location  where it installed them, below the volume /
#   btm                   what sfltool dumpbtm prints
#   hang/TOOL, fail/TOOL  the tool never answers, or fails; TOOL-VERB (launchctl-print) for one
#                         of its verbs only
# and the preferences of $HOME, which defaults forgets as cfprefsd does: the file goes with the
# domain (the container's, for a sandboxed app; -currentHost's, for this machine's ByHost file).
set -u
tool=$(basename "$0")
state=${BRINVAST_TOOLS:?}
printf '%s %s %s\n' "$(id -u)" "$tool" "$*" >>"$state/log"
verb=${1#--}
for asked in "$tool" "$tool-$verb"; do
    [ -e "$state/hang/$asked" ] && exec sleep 1000
    if [ -e "$state/fail/$asked" ]; then
        echo "$tool: failed as the test asked" >&2
        exit 5
    fi
done

# Ends the job's process, if it has one, and lets the job go once it has ended.
end_job() {
    local pid
    pid=$(head -n 1 "$1")
    if [ -n "$pid" ]; then
        kill "$pid"
        while [ -e "/proc/$pid/exe" ]; do sleep 0.05; done
    fi
    rm "$1"
}

launchctl() {
    local job="$state/loaded/${2//\//+}"
    if [ "$1" != asuser ] && [ -e "$state/no_gui" ] && [[ $2 == gui/* ]]; then
        echo "Could not find domain for ${2%/*}" >&2 && exit 112
    fi
    case $1 in
    asuser) shift 2 && exec "$@" ;;
    print)
        [ -e "$job" ] || { echo "Could not find service \"${2##*/}\" in domain for ${2%/*}" >&2 && exit 113; }
        printf '%s = {\n\tactive count = 1\n\tpath = /Library/LaunchAgents/%s.plist\n' "$2" "${2##*/}"
        printf '\tstate = running\n\n\tprogram = %s\n\targuments = {\n\t\t%s\n\t}\n' \
            "$(sed -n 2p "$job")" "$(sed -n 2p "$job")"
        printf '\n\texit timeout = 5\n\tpid = %s\n}\n' "$(head -n 1 "$job")"
        ;;
    bootout)
        [ -e "$job" ] || { echo "Boot-out failed: 3: No such process" >&2 && exit 3; }
        if [ -e "$state/late" ]; then
            # launchd answers at once and ends the job in its own time.
            (sleep 1 && end_job "$job") </dev/null >/dev/null 2>&1 &
            echo "Boot-out failed: 36: Operation now in progress" >&2
            exit 36
        fi
        end_job "$job"
        ;;
    esac
}

pkgutil() {
    local receipt
    case $1 in
    --file-info)
        printf 'volume: /\npath: %s\n' "$2"
        for receipt in "$state"/receipts/*/; do
            if grep -qxF "$2" "$receipt/owns" 2>/dev/null; then
                printf '\npkgid: %s\npkg-version: 1.0\n' "$(basename "$receipt")"
            fi
        done
        ;;
    --pkg-info)
        receipt="$state/receipts/$2"
        [ -d "$receipt" ] || { echo "No receipt for '$2' found at '/'." >&2 && exit 1; }
        printf 'package-id: %s\nversion: 1.0\nvolume: /\nlocation: %s\ninstall-time: 1709967900\n' \
            "$2" "$(cat "$receipt/location")"
        ;;
    --only-files) cat "$state/receipts/$3/files" ;;
    --forget)
        rm -r "$state/receipts/$2" && echo "Forgot package '$2' on '/'."
        ;;
    esac
}

defaults() {
    local folder="$HOME/Library/Preferences" host=""
    if [ "$1" = -currentHost ]; then
        folder+=/ByHost
        host=.$(sed -E 's/(.{8})(.{4})(.{4})(.{4})(.{12})/\1-\2-\3-\4-\5/' /etc/machine-id |
            tr a-f A-F)
        shift
    fi
    [ -d "$HOME/Library/Containers/$2" ] &&
        folder="$HOME/Library/Containers/$2/Data/Library/Preferences${folder#*Preferences}"
    [ -e "$folder/$2$host.plist" ] || {
        printf 'Domain (%s) not found.\nDefaults have not been changed.\n' "$2" >&2 && exit 1
    }
    rm "$folder/$2$host.plist"
}

case $tool in
launchctl | pkgutil | defaults) "$tool" "$@" ;;
sudo) exec setpriv --reuid="${2#\#}" "${@:3}" ;;
sfltool) [ ! -e "$state/btm" ] || cat "$state/btm" ;;
esac
