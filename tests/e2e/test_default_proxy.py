"""The machine-wide WinHTTP default proxy (the `WinHttpSettings` value that
`netsh winhttp set proxy` writes): the service asks WinHTTP for the default proxy
configuration, so with one set it reaches both servers only through that proxy (Debian's
tinyproxy on 127.0.0.1:3128): the manifests through a CONNECT tunnel, the package as a plain
proxied GET, and the update completes. With the proxy down the fetch fails, nothing goes
around it, and the cycle ends normally."""
import struct

import pytest

from servers import TinyProxy
from service_log import code_names, named_messages
from update_fixtures import OLD, NEW, install_old_player, machine, release, servers, signing, site  # noqa: F401

CONNECTIONS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
PROXY_PORT = 3128
PUB = "/pub/vextraplayer/update/current/sau/11"


def winhttp_settings(proxy, bypass=""):
    """WinHttpSettings: version 0x18, a counter, flags 2 (a named proxy), then the proxy and
    the bypass list, each as a length and its text."""
    data = struct.pack("<III", 0x18, 0, 2)
    for text in (proxy, bypass):
        data += struct.pack("<I", len(text)) + text.encode("ascii")
    return data.hex()


def cycle(messages):
    got = code_names(messages)
    return got[got.index("UpdateCycleStarts"):got.index("UpdateCycleEnds") + 1]


@pytest.mark.parametrize("proxy_up", [True, False], ids=["through-the-proxy", "proxy-down"])
def test_default_proxy_carries_the_update(machine, site, tmp_path, proxy_up):
    install_old_player(machine, plugin=False)
    for bits in (32, 64):
        machine.prefix.reg_add(CONNECTIONS, "WinHttpSettings", "REG_BINARY",
                               winhttp_settings(f"127.0.0.1:{PROXY_PORT}"), bits=bits)
    proxy = TinyProxy(tmp_path / "proxy", PROXY_PORT)
    if proxy_up:
        proxy.start()
    try:
        messages = machine.run_once()
    finally:
        proxy.stop()
    part = cycle(messages)
    if proxy_up:
        assert part[-3:] == ["InstallerStarted", "ActiveXInstallerStarted", "UpdateCycleEnds"], part
        assert machine.player_version("activex") == NEW
        requests = proxy.requests()
        assert "CONNECT localhost:443" in requests, proxy.log()[-3000:]
        assert f"GET http://localhost:80{PUB}/install/patch/from-228/patch_all_win_ax_sgn.z" \
            in requests, proxy.log()[-3000:]
        # Inside the tunnel Wine names the whole URL, which the manifest server accepts.
        assert f"https://localhost:443{PUB}/xml/version.xml" in site.https.targets
    else:
        assert part == ["UpdateCycleStarts", "ManifestFetchStarts", "ManifestSendFailed",
                        "ManifestReceiveFailed", "VersionManifestNoResponse", "UpdateCycleEnds"]
        # ERROR_WINHTTP_CANNOT_CONNECT: nothing listens where the proxy should be.
        assert ("warning", "ManifestSendFailed 12029") in named_messages(messages)
        assert site.requests == [], "the service went around the proxy"
        assert machine.state() == {"LastUpdateCheck": None, "CheckFrequency": None,
                                   "UpdateAttempts": None}
        assert machine.player_version("activex") == OLD
        assert machine.installer_runs() == []
