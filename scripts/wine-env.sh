#!/usr/bin/env bash
# wine-env.sh BUILD_DIR COMMAND...
# Runs COMMAND in a Wine environment of its own: a prefix under BUILD_DIR, a private Xvfb
# display and a persistent wineserver started with stdio on /dev/null (so no Wine service
# ever holds the caller's pipes), all stopped again when COMMAND ends.
set -u
build=$(cd "$1" && pwd); shift
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"

# A display number nobody else holds.
for n in $(seq 90 190); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { disp=$n; break; }
done
Xvfb ":$disp" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$disp"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$disp" ] && break; sleep 0.1; done

cleanup() {
  wineserver -k </dev/null >/dev/null 2>&1
  kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null
}
trap cleanup EXIT

wineserver -p </dev/null >/dev/null 2>&1
wineboot </dev/null >/dev/null 2>&1
# No window manager runs on the private display: let Wine draw captions and frames itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
"$@"
