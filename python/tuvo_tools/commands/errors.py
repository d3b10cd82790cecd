"""What a command raises besides the SDK's and the files' own errors; `tuvo_tools.cli` turns each
into its exit status and one line on stderr."""


class UsageError(Exception):
    """Flags that do not fit together or values the options cannot take (exit status 2)."""


class Terminated(KeyboardInterrupt):
    """SIGTERM (what `timeout`, `kill` and service managers send), raised where Ctrl-C would be so
    that the same clean-up runs."""


class Interrupted(Exception):
    """Ctrl-C or SIGTERM, after the command released what it opened; says what it had done."""

    def __init__(self, cause: KeyboardInterrupt, done: str) -> None:
        self.status = 143 if isinstance(cause, Terminated) else 130
        super().__init__("%s after %s" % ("terminated" if self.status == 143 else "interrupted", done))
