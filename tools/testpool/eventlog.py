"""Event log of the test pool: one JSON object per line in the --log file, and a short echo on stdout.

Tests read the file, so every event is flushed as it is written. The stdout echo must never stall the
pool: when stdout is a pipe that nobody drains (a test harness busy elsewhere), lines are dropped
instead of blocking the event loop, and the number dropped is reported with the next line that fits.
Used from the event loop thread only.
"""

import json
import os
import stat
import sys
import time

_ECHO_LIMIT = 3000  # below PIPE_BUF, so a pipe write of one line is all-or-nothing


class EventLog:
    def __init__(self, path=None, echo=True):
        self._start = time.monotonic()
        self._file = open(path, "w", encoding="utf-8") if path else None
        self._echo = echo
        self._dropped = 0
        self._stdout_fd = -1
        self._stdout_is_pipe = False
        try:
            self._stdout_fd = sys.stdout.fileno()
            self._stdout_is_pipe = stat.S_ISFIFO(os.fstat(self._stdout_fd).st_mode)
        except (AttributeError, OSError, ValueError):   # no usable stdout at all
            self._echo = False
            self._stdout_fd = -1

    def elapsed(self):
        return time.monotonic() - self._start

    def emit(self, event, **fields):
        record = {"t": round(self.elapsed(), 6), "event": event}
        record.update(fields)
        if self._file is not None:
            self._file.write(json.dumps(record, separators=(",", ":")) + "\n")
            self._file.flush()
        if self._echo:
            parts = ["%s=%s" % (k, _short(v)) for k, v in fields.items()]
            self.say("[%9.3f] %s %s" % (record["t"], event, " ".join(parts)))

    def say(self, text):
        """Writes one line to stdout; lines that must arrive (the listening line) go through here too."""
        if self._stdout_fd < 0:
            return
        if self._dropped:
            text = "(%d lines dropped) %s" % (self._dropped, text)
        data = (text[:_ECHO_LIMIT] + "\n").encode("utf-8", "replace")
        if not self._stdout_is_pipe:
            sys.stdout.write(data.decode("utf-8"))
            sys.stdout.flush()
            self._dropped = 0
            return
        sys.stdout.flush()
        os.set_blocking(self._stdout_fd, False)
        try:
            os.write(self._stdout_fd, data)
            self._dropped = 0
        except (BlockingIOError, InterruptedError):
            self._dropped += 1
        except OSError:
            self._echo = False
        finally:
            os.set_blocking(self._stdout_fd, True)

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None


def _short(value):
    text = value if isinstance(value, str) else json.dumps(value, separators=(",", ":"))
    return text if len(text) <= 200 else text[:197] + "..."
