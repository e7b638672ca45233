"""The service log as the tests read it, with its message codes by name.

The log holds numbers (a code, then a detail such as a Windows error value); the tests speak of
the codes by the names of tools/vextra_log_codes.py (the same names as the MessageCode
enumeration in service/log/message_codes.h), so `named("1630 /pub/x")` is
"ManifestFetchStarts /pub/x" and `code_names(messages)` lists the names of a run's lines.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from vextra_log_codes import MESSAGES, code  # noqa: E402,F401  (code is for the tests)
from vextra_log_file import LOG_LINE, decode_log  # noqa: E402,F401  (LOG_LINE is for the tests)


def read_log(path):
    """The lines of a service log (UTF-16LE, no byte-order mark, CR LF)."""
    path = Path(path)
    if not path.exists():
        return []
    raw = path.read_bytes()
    assert not raw.startswith(b"\xff\xfe"), "the log must not carry a byte-order mark"
    text = raw.decode("utf-16-le")
    assert text == "" or text.endswith("\r\n")
    return decode_log(raw)


def log_messages(path, skip=0):
    """(level, message) pairs of a service log from line `skip` on, checking every line's
    shape."""
    out = []
    for line in read_log(path)[skip:]:
        m = LOG_LINE.match(line)
        assert m, f"malformed log line: {line!r}"
        out.append((m.group(8), m.group(9)))
    return out


def name(number_text):
    """The name of a code given as text; a number the decoder does not know stays as it is, so
    that an assertion about it fails by showing it."""
    return MESSAGES[int(number_text)][0] if int(number_text) in MESSAGES else number_text


def named(message):
    """One message with its code by name ("1226 1062" -> "StopServiceControlFailed 1062"); a
    line that starts with no code (the program path of a run) stays as it is."""
    head, sep, rest = message.partition(" ")
    return name(head) + sep + rest if head.isdigit() else message


def named_messages(messages):
    """(level, named message) pairs of (level, message) pairs."""
    return [(level, named(message)) for level, message in messages]


def detail(messages, code_name):
    """The detail of the first line with that code, of (level, message) pairs."""
    for _, message in named_messages(messages):
        head, _, rest = message.partition(" ")
        if head == code_name:
            return rest
    raise AssertionError(f"no {code_name} line in {messages}")


def code_names(messages):
    """The names of the codes of (level, message) pairs or of bare messages, in order (lines
    without a code are left out)."""
    out = []
    for item in messages:
        head = (item[1] if isinstance(item, tuple) else item).split(" ", 1)[0]
        if head.isdigit():
            out.append(name(head))
    return out


def read_pairs(path):
    """key=value lines of a file (what the probe programs report) as a dict."""
    out = {}
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        key, _, value = line.partition("=")
        out[key] = value
    return out
