# wine_arch.sh - which build of a Windows program the Wine checks can run here.
#
# The programs are 32-bit. Wine runs them with its 32-bit half (Debian: the i386
# architecture and wine32), whose loader is itself an i386 program: a host whose
# kernel cannot run IA-32 code (some virtual machines and containers) cannot start it.
# There the x86_64 build of the same sources (preset windows64, in build/windows64) is
# checked instead, and the check says so; without that build it is skipped (77).

# wine32_runs: true when Wine can start 32-bit programs on this host.
wine32_runs() {
    local loader
    for loader in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine /usr/bin/wine32; do
        [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1 && return 0
    done
    return 1
}

# is_pe32 FILE: true for a 32-bit Windows program (PE32, not PE32+).
is_pe32() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
pe = struct.unpack_from("<I", data, 0x3C)[0]
sys.exit(0 if data[pe:pe + 4] == b"PE\0\0" and struct.unpack_from("<H", data, pe + 24)[0] == 0x10B else 1)
PY
}

# wine_testable_exe EXE: prints the program to check; fails (after saying why) when
# there is none this host can run.
wine_testable_exe() {
    local exe=$1 twin
    if ! is_pe32 "$exe" || wine32_runs; then
        echo "$exe"
        return 0
    fi
    twin="$(dirname "$(dirname "$exe")")/windows64/$(basename "$exe")"
    if [ -f "$twin" ]; then
        echo "NOTE this host cannot run 32-bit code; checking the x86_64 build $twin" >&2
        echo "$twin"
        return 0
    fi
    echo "SKIP this host cannot run 32-bit code and there is no x86_64 build ($twin):" \
         "cmake --preset windows64 && cmake --build build/windows64" >&2
    return 1
}

# wine_probe_path NAME: the Windows test program NAME.exe as the build made it
# (tests/e2e/probes.cmake, into build/linux/wine-probes; KQ_WINE_PROBES names another
# folder). Fails, saying how to make it, when it is not there.
WINE_PROBES=${KQ_WINE_PROBES:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/linux/wine-probes}
wine_probe_path() {
    if [ -f "$WINE_PROBES/$1.exe" ]; then
        echo "$WINE_PROBES/$1.exe"
    else
        echo "  $WINE_PROBES/$1.exe is missing: scripts/build.sh linux builds it" >&2
        return 1
    fi
}
