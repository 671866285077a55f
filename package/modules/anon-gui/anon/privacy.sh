#!/bin/sh
# Host privacy script: privacy.sh on|off SCRIPT_DIR PICTURE
# While the mode is on, the HTTP service answers every request for a camera picture (recorded
# track pictures, snapshots) with PICTURE, a path below the package's html/ folder. The mode is
# kept in MEVO_ROOT/etc/privacy-mode so it survives restarts and reboots.
set -eu
state="${MEVO_ROOT:-}/etc/privacy-mode"
case "${1:-}" in
    on)
        [ -n "${3:-}" ] || { echo "privacy.sh: no picture given" >&2; exit 2; }
        mkdir -p "$(dirname "$state")"
        printf '%s\n' "$3" > "$state.new"
        mv "$state.new" "$state"
        ;;
    off)
        rm -f "$state"
        ;;
    *)
        echo "usage: privacy.sh on|off SCRIPT_DIR PICTURE" >&2
        exit 2
        ;;
esac
