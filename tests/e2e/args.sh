# args.sh - the command line of an end-to-end script, sourced by term_common.sh and
# wine_common.sh (and by the checks that use neither).
#   take_args "VAR:what VAR:what..." "$@"
#       -h or --help prints the script's opening comment and ends it (exit 0), so a
#       check asked for its usage runs nothing; another number of arguments than named,
#       or one that does not exist, prints "usage: SCRIPT what..." (exit 2). Sets each
#       VAR to its argument as an absolute path.

# script_help: the running script's opening comment, without its "# ".
script_help() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
take_args() {
    local -a names
    read -ra names <<<"$1"
    shift
    case ${1:-} in -h | --help) script_help; exit 0 ;; esac
    local n ok=1
    [ $# -eq ${#names[@]} ] || ok=0
    for n in "$@"; do [ -e "$n" ] || ok=0; done
    if [ $ok = 0 ]; then
        echo "usage: $(basename "$0") ${names[*]#*:}" >&2
        exit 2
    fi
    for n in "${names[@]}"; do
        printf -v "${n%%:*}" '%s' "$(realpath "$1")"
        shift
    done
}
