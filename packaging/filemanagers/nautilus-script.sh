#!/bin/sh
# Brisko file-manager action (Nautilus script); install-desktop-integration --uninstall removes it.
# Nautilus hands over the selection one path per line. Each selected folder gets its own run, one after
# the other, with the folder as the program's single argument: the program reads its whole command line
# as one path. With nothing selected (the folder's background) the current folder is extracted.
brisko=@BRISKO_EXEC_SH@

if [ -z "${NAUTILUS_SCRIPT_SELECTED_FILE_PATHS:-}" ]; then
    # A selection without local paths (a remote location) has nothing for us.
    [ "$#" -eq 0 ] || exit 0
    case "${NAUTILUS_SCRIPT_CURRENT_URI:-file://}" in
        file://*) exec "$brisko" "$PWD" </dev/null ;;
    esac
    exit 0
fi

printf '%s\n' "$NAUTILUS_SCRIPT_SELECTED_FILE_PATHS" | while IFS= read -r folder; do
    if [ -n "$folder" ] && [ -d "$folder" ]; then
        "$brisko" "$folder" </dev/null
    fi
done
