"""The error raised when an SDK call behind a conversion fails, with the reason of that call.

The SDK keeps one last error for the process: a successful call does not clear it, and some
failures (an invalid handle asked for its data) set none. So the last error is read only as the
answer of the call that failed: it is noted before the call (`last_error`) and taken as that call's
reason when it changed, or when it names the call's operation (the same failure again)."""
from typing import NamedTuple, Optional

import PyTUVO as T


class ErrorState(NamedTuple):
    """The SDK's last error at one moment: GetLastError() and GetLastErrorMessage()."""

    code: int
    message: str


class SdkError(RuntimeError):
    """A failed SDK call. The message is the SDK's reason for that call, or, where the SDK gave
    none, what the call's failure means. `code` is the SDK's error code for the call (GetLastError),
    None where the SDK set none."""

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        self.code = code


def last_error() -> ErrorState:
    """The SDK's last error now; note it before a call to tell that call's error from older ones."""
    return ErrorState(T.GetLastError(), T.GetLastErrorMessage())


def _names(message: str, what: str) -> bool:
    """Whether an SDK message ("X1.GetPointMap: ...") names the operation `what` ("GetPointMap",
    "X1.GetPointMap" or "PointMap.Save")."""
    op = message.split(":", 1)[0].split("(", 1)[0].strip()
    return op == what or op.endswith("." + what) or what.endswith("." + op)


def failure(what: str, before: Optional[ErrorState] = None, explain: Optional[str] = None) -> SdkError:
    """The SdkError of the call `what` that just failed. `before` is the SDK's last error noted
    just before the call: the error now is the call's own when it differs from `before` or names
    `what`. Without `before`, only an error naming `what` is taken. Otherwise the SDK gave no reason
    for this call: the error says `explain` (what such a failure means), never an older message."""
    now = last_error()
    changed = before is not None and now != before
    if now.message and (changed or _names(now.message, what)):
        return SdkError(now.message, now.code)
    if changed and now.code:
        return SdkError("%s failed (error %d)" % (what, now.code), now.code)
    return SdkError("%s failed: %s" % (what, explain or "the SDK gave no reason"))


def check(ok: bool, what: str, before: Optional[ErrorState] = None, explain: Optional[str] = None) -> None:
    """Raises the SdkError of the call `what` (see failure) when `ok` is false."""
    if not ok:
        raise failure(what, before, explain)
