"""varnel: a WebSocket conformance test harness (RFC 6455, RFC 7692)."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from varnel._varnel import CaseResult


class FailureError(Exception):
    """Raised when a run finishes and at least one case did not pass.

    ``results`` holds the ``CaseResult`` of every case of the run, passed or not.
    """

    def __init__(self, summary: str, results: list[CaseResult]) -> None:
        super().__init__(summary, results)
        self.summary = summary
        self.results = results

    def __str__(self) -> str:
        return str(self.summary)


__all__ = ["FailureError"]
