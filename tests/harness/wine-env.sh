# Sourced by the Wine harness scripts: where Wine lives and how it must be called here.
WINE64=${WINE64:-/usr/lib/wine/wine64}
# 32-bit programs run under Wine's WoW64 through the 32-bit loader (package wine32:i386).
WINE32=${WINE32:-/usr/lib/wine/wine}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# WinHTTP's default proxy would obey these (and ignore no_proxy); tests talk to loopback only.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
# Wine's helper processes inherit stdout/stderr: never let them hold a pipe open.
wine_start_server() {
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null
  "$WINE64" cmd /c exit >/dev/null 2>&1 </dev/null
}
wine_stop_server() {
  "$WINESERVER" -k >/dev/null 2>&1 </dev/null
  "$WINESERVER" -w >/dev/null 2>&1 </dev/null
  return 0
}
# The Wine loader for one Windows program: WINE32 for an i386 PE file, WINE64 otherwise.
wine_loader_for() {
  local pe machine
  pe=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
  machine=$( [ -n "$pe" ] && od -An -t x2 -j $((pe + 4)) -N 2 "$1" 2>/dev/null | tr -d ' ')
  if [ "$machine" = 014c ]; then echo "$WINE32"; else echo "$WINE64"; fi
}
