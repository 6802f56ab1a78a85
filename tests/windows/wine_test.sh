#!/bin/sh
# The Windows build under wine, one case per CTest test (see CMakeLists.txt):
# mira.exe with the built-in simulator, against the Linux mira sim on a
# pseudo-terminal seen as a COM port and over TCP, and an unsolicited write
# heard through the window message.
set -eu
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d)
trap 'kill $(cat "$work"/pid 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; cat "$work"/out 2>/dev/null; exit 1; }
# One mira.exe run that must end with exit status $1 (0 success, 3 no
# response, 4 communication error, as on Linux): the wine start (seconds on a
# busy box) and at most a few 1 s reply time-outs; 60 s is far beyond both
# (124: the time ran out). stdout has CR LF line ends.
exe() {
    want=$1; shift
    status=0
    timeout 60 wine "$WINDOWS_BIN/mira.exe" "$@" >"$work"/raw 2>&1 || status=$?
    tr -d '\r' <"$work"/raw >"$work"/out
    cat "$work"/out
    [ "$status" = "$want" ] || fail "mira.exe $*: exit status $status, not $want"
}
expect() { grep -Eq "$1" "$work"/out || fail "expected /$1/"; }
# Starts a Linux peer in the background and waits (10 s at most) for the
# line of its banner that matches $1.
peer() {
    pattern=$1; shift
    "$@" >"$work"/peer 2>&1 & echo $! >"$work"/pid
    for _ in $(seq 100); do grep -Eq "$pattern" "$work"/peer && return; sleep 0.1; done
    fail "peer did not start: $(cat "$work"/peer)"
}
# The peer's pseudo-terminal as COM port $1 of the private prefix.
com() { ln -sf "$(grep -Eo '/dev/pts/[0-9]+' "$work"/peer | head -1)" "$WINEPREFIX/dosdevices/com$1"; }

case $1 in
build)
    cd "$SOURCE" && cmake --preset windows >/dev/null && cmake --build --preset windows ;;
prefix)
    rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
    # One server for the whole run, with its output out of every test's.
    wineserver -p </dev/null >/dev/null 2>&1
    wineboot -i </dev/null >/dev/null 2>&1 ;;
end)
    wineserver -k 2>/dev/null || true ;;
exports)
    # The names of a DLL's export table, one a line.
    named() { x86_64-w64-mingw32-objdump -p "$WINDOWS_BIN/$1" | sed -n '/Name Pointer\] Table/,/^$/p' |
              sed -n 's/^\s*\[ *[0-9]*\] //p' | sort; }
    want=$(grep -Eo '^ +(UDrv[A-Za-z0-9]+|HandInts);' "$SOURCE/src/exports/libmira.map" | tr -d ' ;' | sort)
    [ "$(named mira.dll)" = "$want" ] || fail "mira.dll exports: $(named mira.dll)"
    [ "$(named mira.dll | wc -l)" -eq 21 ] || fail "not 21 exports"
    [ -z "$(named Portkit.dll)" ] || fail "Portkit.dll exports names: $(named Portkit.dll)"
    imports=$(x86_64-w64-mingw32-objdump -p "$WINDOWS_BIN/mira.dll" | sed -n '/DLL Name: Portkit.dll/,/^$/p' |
              grep -E '^\s+[0-9a-f]{8,}\s')
    [ -n "$imports" ] || fail "Portkit.dll not imported"
    if echo "$imports" | grep -Evq '<none>$'; then fail "imported by name: $imports"; fi
    echo "21 exports by name; $(echo "$imports" | wc -l) Portkit imports, by ordinal only" ;;
read)
    exe 0 read N7:0 W0 W1 W2
    expect '^W0 +100 +192 ' && expect '^W1 +200 +192 ' && expect '^W2 +-300 +192 ' ;;
tcp)
    port=$((20000 + $$ % 20000))
    peer 'TCP port' "$MIRA" sim --listen "$port"
    exe 0 write --port "socket://127.0.0.1:$port" N7:0 W3=1234 W4=-5
    exe 0 read --port "socket://127.0.0.1:$port" N7:0 W3 W4
    expect '^W3 +1234 +192 ' && expect '^W4 +-5 +192 ' ;;
com_bcc|com_crc)
    check=--${1#com_} n=5 && [ "$1" = com_bcc ] || n=8  # each its own port: the cases run side by side
    peer /dev/pts/ "$MIRA" sim --pty "$check"
    com $n && exe 0 write --port COM$n "$check" N7:0 W1=77
    exe 0 read --port COM$n "$check" N7:0 W1
    expect '^W1 +77 +192 ' ;;
unsolicited)
    peer /dev/pts/ "$MIRA" sim --pty --bcc --unsolicited 1s N7:5 W0=11 W1=22
    com 6 && exe 0 listen --port COM6 --bcc --count 1 W0 W1
    expect '^unsolicited integer/0:7:5 \(N7:5\) from station 1' && expect ' W0 +11 +192 ' && expect ' W1 +22 +192 ' ;;
bad_input)
    exe 4 read --port COM42 N7:0 W0 && expect 'COM42.*does not exist'
    exe 4 read --port socket://127.0.0.1:1 N7:0 W0 && expect 'refused'
    # The controller's terminal closes in the middle of a poll.
    peer /dev/pts/ "$MIRA" sim --pty --bcc
    com 7
    # A poll that read well before the line went away ends with status 0. Its
    # rows are flushed one read at a time; the trace's first reply is the
    # open's own exchange, which the poll's first read may not follow before
    # the kill on a busy machine.
    (exe 0 poll --port COM7 --bcc --every 100ms --count 40 N7:0 W0 >/dev/null) &
    poll=$!
    for _ in $(seq 300); do grep -Eq '^W0 +100 +192 ' "$work"/raw 2>/dev/null && break; sleep 0.1; done
    kill "$(cat "$work"/pid)"
    wait "$poll" || fail "the poll failed"
    expect 'error 4099' ;;
*)
    fail "no case $1" ;;
esac
