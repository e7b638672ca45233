# Sourced by the Wine harness scripts: where Wine lives and how it must be called here.
WINE64=${WINE64:-/usr/lib/wine/wine64}
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
