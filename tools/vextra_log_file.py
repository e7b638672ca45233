"""Reading the update service's log file (VextraInstall.log): UTF-16LE text without a byte-order
mark, one line per message ending in CR LF, each "<UTC time> [<level>] <code> <detail>" with the
time written as year-month-day+hour-minute-second.milliseconds in plain decimals (2026-3-7+9-5-2.45
is 09:05:02.045 on 7 March 2026). The demo, tools/vextra-log and the tests read it through here.
"""
import datetime
import re
from pathlib import Path

from vextra_log_codes import MESSAGES, meaning

LOG_LINE = re.compile(r"^(\d+)-(\d+)-(\d+)\+(\d+)-(\d+)-(\d+)\.(\d+) \[(info|warning|error)\] (.*)$")
LEVELS = ("info", "warning", "error")


def decode_log(raw):
    """The lines of a log's bytes (a stray byte-order mark or a cut last character is borne)."""
    text = raw.decode("utf-16-le", errors="replace")
    if text.startswith("\ufeff"):
        text = text[1:]
    lines = text.split("\r\n")
    return lines[:-1] if lines[-1] == "" else lines


def read_log_lines(path):
    path = Path(path)
    return decode_log(path.read_bytes()) if path.exists() else []


class Entry:
    """One log line decoded: `utc` (an aware datetime), `level`, `message` ("1630 /pub/..."),
    and from the message `code` (None for a line without one), `name`, `meaning`, `detail`."""

    def __init__(self, utc, level, message):
        self.utc, self.level, self.message = utc, level, message
        head, _, rest = message.partition(" ")
        self.code = int(head) if head.isdigit() else None
        known = self.code in MESSAGES
        self.name = MESSAGES[self.code][0] if known else ("?" if self.code is not None else "-")
        self.meaning = meaning(message)
        self.detail = rest if self.code is not None else message

    @staticmethod
    def stamp(when):
        return when.strftime("%Y-%m-%d %H:%M:%S.") + f"{when.microsecond // 1000:03d}"

    def utc_text(self):
        return self.stamp(self.utc) + " UTC"

    def local_text(self):
        local = self.utc.astimezone()
        return self.stamp(local) + " " + local.strftime("%z")


def parse_line(line):
    """The Entry of one line, or None for a line of another shape or an impossible time."""
    m = LOG_LINE.match(line)
    if not m:
        return None
    year, month, day, hour, minute, second, ms = (int(g) for g in m.groups()[:7])
    try:
        utc = datetime.datetime(year, month, day, hour, minute, second, ms * 1000,
                                tzinfo=datetime.timezone.utc)
    except ValueError:
        return None
    return Entry(utc, m.group(8), m.group(9))
