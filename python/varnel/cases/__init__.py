"""The bundled conformance cases. CASES maps each case id to its case class."""

from . import close, control, echo

CASES = {
    "1.1.1": echo.TextEmpty,
    "1.1.2": echo.TextSmall,
    "1.1.3": echo.TextUtf8,
    "1.2.1": echo.BinarySmall,
    "1.2.2": echo.BinaryMedium,
    "2.1": control.PingAnswered,
    "2.2": control.PingEmpty,
    "7.1.1": close.CloseNormal,
    "7.1.2": close.CloseWithReason,
}

__all__ = ["CASES"]
