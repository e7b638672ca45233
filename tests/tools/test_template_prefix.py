"""tests/harness/make-template-prefix --if-stale with stand-in loaders: the template prefix is booted
again when the 32-bit loader comes or goes (or Wine's version changes), whatever the loader
file's time says (dpkg keeps the package's own), and not booted again when nothing changed."""
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

WINE64 = """#!/bin/sh
case "$1" in
  --version) echo "wine-$WINE_VERSION" ;;
  wineboot) mkdir -p "$WINEPREFIX"; touch "$WINEPREFIX/system.reg"; echo boot >>"$BOOTS" ;;
esac
"""


def test_the_template_is_booted_again_when_its_loaders_change(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in (("wine64", WINE64), ("wineserver", "#!/bin/sh\n")):
        (bin_dir / name).write_text(text)
        (bin_dir / name).chmod(0o755)
    loader32 = tmp_path / "wine32-loader"
    boots = tmp_path / "boots"
    dest = tmp_path / "template"
    env = dict(os.environ, WINE64=str(bin_dir / "wine64"), WINESERVER=str(bin_dir / "wineserver"),
               WINE32=str(loader32), BOOTS=str(boots), WINE_VERSION="8.0")

    def make():
        result = subprocess.run([str(ROOT / "tests/harness/make-template-prefix"), "--if-stale", str(dest)],
                                env=env, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
        assert result.returncode == 0, result.stderr
        return len(boots.read_text().splitlines()) if boots.exists() else 0

    def install_loader():
        loader32.write_text("#!/bin/sh\n")
        loader32.chmod(0o755)
        os.utime(loader32, (1676678400, 1676678400))   # a package's file time, older than the prefix

    steps = [
        ("first boot", lambda: None, 1),
        ("nothing changed", lambda: None, 1),
        ("32-bit loader installed", install_loader, 2),
        ("nothing changed again", lambda: None, 2),
        ("32-bit loader removed", loader32.unlink, 3),
        ("wine upgraded", lambda: env.update(WINE_VERSION="8.1"), 4),
        ("record lost", lambda: (dest / ".loaders").unlink(), 5),
    ]
    for what, change, expected_boots in steps:
        change()
        assert make() == expected_boots, what
        assert (dest / ".ready").exists(), what
    assert (dest / ".loaders").read_text() == "wine: wine-8.1\n32-bit loader: none\n"
