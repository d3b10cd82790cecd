"""Progress of long work on stderr: a bar redrawn in place on a terminal, a few plain lines elsewhere."""
import sys
import time


class Progress:
    def __init__(self, label, total, enabled=True, stream=None):
        self.label = label
        self.total = max(1, int(total))
        self.done = 0
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.tty = enabled and self.stream.isatty()
        self.start = time.monotonic()
        self._last_tenth = -1

    def step(self, n=1):
        self.done = min(self.total, self.done + n)
        if not self.enabled:
            return
        elapsed = time.monotonic() - self.start
        if self.tty:
            width = 30
            filled = int(width * self.done / self.total)
            self.stream.write("\r%s [%s%s] %d/%d  %.1f s" % (self.label, "#" * filled, "." * (width - filled),
                                                            self.done, self.total, elapsed))
            if self.done == self.total:
                self.stream.write("\n")
        else:
            tenth = 10 * self.done // self.total
            if tenth != self._last_tenth:
                self._last_tenth = tenth
                self.stream.write("%s: %d/%d (%.1f s)\n" % (self.label, self.done, self.total, elapsed))
        self.stream.flush()

    def close(self):
        if self.enabled and self.tty and self.done < self.total:
            self.stream.write("\n")
            self.stream.flush()
