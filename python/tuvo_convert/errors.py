"""The error raised when an SDK call behind a conversion fails."""
import PyTUVO as T


class SdkError(RuntimeError):
    """A failed SDK call; the message is the SDK's last error message."""


def check(ok: bool, what: str) -> None:
    """Raises SdkError with the SDK's explanation when `ok` is false."""
    if not ok:
        raise SdkError(T.GetLastErrorMessage() or "%s failed (error %d)" % (what, T.GetLastError()))
