"""The log decoder and the service agree on every message code, and the service names its codes.

service/log/message_codes.h is where the program's codes are defined; tools/vextra_log_codes.py
turns logged numbers back into names and meanings. Both must list the same codes under the same
names, and a call site must use the name, not the bare number.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import vextra_log_codes  # noqa: E402

HEADER = ROOT / "service" / "log" / "message_codes.h"
ENUMERATOR = re.compile(r"^\s*(\w+) = (\d+),", re.MULTILINE)
LEVEL_BY_HUNDREDS = {11: "warning", 12: "error", 13: "error", 14: "warning", 16: "info"}


def header_codes():
    text = HEADER.read_text()
    body = text[text.index("enum class MessageCode"):text.index("};")]
    return {int(number): name for name, number in ENUMERATOR.findall(body)}


def test_decoder_and_header_list_the_same_codes_under_the_same_names():
    header = header_codes()
    decoder = {code: entry[0] for code, entry in vextra_log_codes.MESSAGES.items()}
    assert len(set(header.values())) == len(header), "a name is used twice in the header"
    assert sorted(set(header) - set(decoder)) == [], "codes the decoder does not know"
    assert sorted(set(decoder) - set(header)) == [], "codes the header does not define"
    assert {c: n for c, n in decoder.items() if header[c] != n} == {}, "names that differ"
    for code, (_name, level, _text) in vextra_log_codes.MESSAGES.items():
        assert LEVEL_BY_HUNDREDS[code // 100] == level, code
    assert vextra_log_codes.code("UpdateCycleStarts") == 1608
    assert vextra_log_codes.name(1608) == "UpdateCycleStarts"


def test_service_sources_use_names_not_numbers():
    codes = set(header_codes())
    number = re.compile(r"(?<![\w.])(1[1-6]\d\d)(?![\w.])")
    bare = []
    for path in sorted((ROOT / "service").rglob("*")):
        if path.suffix not in {".cpp", ".h"} or path == HEADER:
            continue
        for lineno, line in enumerate(path.read_text().splitlines(), 1):
            code_part = line.split("//", 1)[0]
            bare += [f"{path.relative_to(ROOT)}:{lineno}: {m}" for m in number.findall(code_part)
                     if int(m) in codes]
    assert bare == []
