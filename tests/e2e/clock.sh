# clock.sh - milliseconds for the end-to-end checks' key timing, sourced by
# term_common.sh and wine_common.sh.
now_ms() { local t=${EPOCHREALTIME/[.,]/}; echo $((t / 1000)); }
# sleep_until_ms T: rests until the clock reads T (milliseconds), if it does not yet.
sleep_until_ms() {
    local left=$(($1 - $(now_ms)))
    [ "$left" -gt 0 ] && sleep "$(printf '%d.%03d' $((left / 1000)) $((left % 1000)))"
    return 0
}
