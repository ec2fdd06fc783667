#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A stand-in for one of macOS's tools, named by the name it is called by (launchctl, defaults,
# lsregister, pkgutil, sudo). It records who called it how in $BRINVAST_TOOLS/log, and answers
# as macOS answers, from what $BRINVAST_TOOLS holds:
#   loaded/DOMAIN+LABEL   a loaded launch job (the domain's "/" written "+"); it may hold the pid
#                         of the process the job keeps alive, which bootout ends
#   receipts/ID/owns      the paths a package receipt owns, one a line (--file-info)
#   receipts/ID/files     the files it installed, below its location (--only-files --files)
#   receipts/ID/location  where it installed them, below the volume /
#   hang/TOOL, fail/TOOL  the tool never answers, or fails
# and the preferences of $HOME, which defaults forgets as cfprefsd does: the file goes with the
# domain (the container's, for a sandboxed app; -currentHost's, for this machine's ByHost file).
set -u
tool=$(basename "$0")
state=${BRINVAST_TOOLS:?}
printf '%s %s %s\n' "$(id -u)" "$tool" "$*" >>"$state/log"
[ -e "$state/hang/$tool" ] && exec sleep 1000
if [ -e "$state/fail/$tool" ]; then
    echo "$tool: failed as the test asked" >&2
    exit 1
fi

launchctl() {
    local job="$state/loaded/${2//\//+}" pid
    case $1 in
    asuser) shift 2 && exec "$@" ;;
    print) [ -e "$job" ] || { echo "Could not find service \"$2\"" >&2 && exit 113; } ;;
    bootout)
        [ -e "$job" ] || { echo "Boot-out failed: 3: No such process" >&2 && exit 3; }
        pid=$(cat "$job")
        rm "$job"
        [ -z "$pid" ] && return
        kill "$pid"
        # launchd returns once the job has ended.
        while [ -e "/proc/$pid/exe" ]; do sleep 0.05; done
        ;;
    esac
}

pkgutil() {
    local receipt
    case $1 in
    --file-info)
        printf 'volume: /\npath: %s\n' "$2"
        for receipt in "$state"/receipts/*/; do
            grep -qxF "$2" "$receipt/owns" 2>/dev/null &&
                printf '\npkgid: %s\npkg-version: 1.0\n' "$(basename "$receipt")"
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
esac
