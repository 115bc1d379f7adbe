#!/bin/sh
# wine-run.sh <prefix> <program.exe> [args...]
# wine-run.sh <prefix> --init
# Runs a Windows program of the build under wine64, as CTest's cross-compiling
# emulator: in the build's own wine prefix, with no display, no dialogs and no
# wine diagnostics mixed into the program's output. A missing prefix is made
# first, under a lock, since CTest starts several programs at a time; --init
# only makes it.
set -e
prefix=$1
[ $# -ge 2 ] || { echo "usage: wine-run.sh <prefix> <program> [args...] | --init" >&2; exit 2; }
shift
# In a private network namespace wine needs a wineserver started in there: it
# is the server that makes the sockets, and one running outside would make
# them outside. Such runs get a prefix, and so a server, of their own.
private_netns=
if [ "$NETLAYER_PRIVATE_NETNS" = 1 ]; then
  private_netns=1
  prefix=$prefix-netns
fi
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")  # wine wants it absolute

WINEPREFIX=$prefix
WINEDEBUG=-all
WINEARCH=win64
# No Mono or Gecko install offers, no desktop menu entries.
WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX WINEDEBUG WINEARCH WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

wine=/usr/lib/wine/wine64

# wineserver writes the registry files late, so readiness has a mark of its own.
ready=$prefix/.ready
if [ ! -f "$ready" ]; then
  (
    flock 9
    if [ ! -f "$ready" ]; then
      log=$prefix.init.log
      {
        "$wine" wineboot --init &&
          # A crashing program ends with its exit code instead of a debugger dialog.
          "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
      } >"$log" 2>&1 || { cat "$log" >&2; echo "wine-run.sh: cannot make the prefix $prefix" >&2; exit 1; }
      touch "$ready"
    fi
  ) 9>"$prefix.lock"
fi

[ "$1" = --init ] && exit 0
if [ -n "$private_netns" ]; then
  # Whatever server this prefix still has may belong to another namespace.
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w
  exec "$wine" "$@"
fi

# Once its last program ends, wine winds its services down, and a program
# that starts meanwhile can lose its server connection. A keeper, one wine
# program waiting on an input that stays open until the prefix has gone
# unused for a while, bridges the gaps between tests. Removing the stamp
# ends it at once.
stamp=$prefix.used
keeper_lock=$prefix.keeper.lock
touch "$stamp"
if flock -n "$keeper_lock" true; then
  setsid sh -c '
    flock -n 8 || exit 0
    while [ -f "$1" ] && [ $(($(date +%s) - $(stat -c %Y "$1"))) -lt 30 ]; do sleep 1; done |
      "$2" find.exe keeper 8>&-
  ' keeper "$stamp" "$wine" 8>"$keeper_lock" </dev/null >/dev/null 2>&1 &
  # The program that starts wine's services hands them its standard error,
  # and they outlive it: CTest would wait for that pipe to close. So a
  # program with none starts them.
  "$wine" find.exe warm-up </dev/null >/dev/null 2>&1 || true
fi
exec "$wine" "$@"
