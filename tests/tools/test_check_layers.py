"""tools/check-layers against small trees made here: each row one include and whether it passes."""
import pathlib
import subprocess

import pytest

CHECK = pathlib.Path(__file__).resolve().parents[2] / "tools" / "check-layers"

# (tree, file, its text, passes)
CASES = [
    ("updater", "transaction/commit.cpp", '#include "list/filelist.h"\n', True),
    ("updater", "transaction/commit.cpp", '#include "transaction/journal.h"\n', True),
    ("updater", "list/filelist.cpp", '#include "transaction/journal.h"\n', False),      # up
    ("updater", "download/downloader.cpp", '#include "transaction/journal.h"\n', False),  # beside
    ("updater", "download/downloader.cpp", '#include "app/updatelayout.h"\n', False),     # a global from the top
    ("updater", "stray/thing.cpp", '#include "log/updatelog.h"\n', False),               # folder with no layer
    ("updater", "loose.cpp", "", False),                                                  # no folder at all
    ("updater", "app/updatelayout.h", '#include "ui_uiupdatedialog.h"\n', True),          # generated form header
    ("updater", "app/updatelayout.h", '#include "updatelog.h"\n', False),                # no folder named
    ("updater", "list/pathpolicy.cpp", '#include "../download/downloader.h"\n', False),
    ("service", "download/installer_download.cpp", '#include "verify/crypto_helper.h"\n', True),
    ("service", "verify/crypto_helper.cpp", '#include "download/staging_folder.h"\n', False),
]


@pytest.mark.parametrize("tree,name,text,passes", CASES, ids=[f"{c[0]}:{c[1]}:{c[3]}" for c in CASES])
def test_an_include_passes_only_when_it_points_down(tmp_path, tree, name, text, passes):
    root = tmp_path / tree
    path = root / name
    path.parent.mkdir(parents=True)
    path.write_text(text)
    (root / "CMakeLists.txt").write_text("# build files at the top are not sources\n")
    result = subprocess.run([str(CHECK), str(root)], capture_output=True, text=True)
    assert (result.returncode == 0) == passes, result.stderr
    if not passes:
        assert name in result.stderr
