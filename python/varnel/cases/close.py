"""The closing handshake of RFC 6455 section 7."""

from typing import TYPE_CHECKING

from .case import Case

if TYPE_CHECKING:
    from varnel._varnel import Protocol


class CloseNormal(Case):
    DESCRIPTION = "Send a close frame with status code 1000 and no reason."
    EXPECTATION = "Receive a close frame back (code 1000 or none) and a clean close."

    def __init__(self, protocol: Protocol) -> None:
        super().__init__(protocol)
        self.expectedClose = {"closedByMe": True, "closeCode": [1000, None], "requireClean": True}

    def onOpen(self) -> None:
        self.p.sendClose(1000)
        self.p.killAfter(5)

    def onConnectionLost(self, failedByMe: bool) -> None:
        self.behavior = "OK"
        self.result = "Nothing to judge before the close."
        super().onConnectionLost(failedByMe)


class CloseWithReason(CloseNormal):
    DESCRIPTION = "Send a close frame with status code 1000 and the reason 'bye'."
    EXPECTATION = "Receive a close frame back (code 1000 or none) and a clean close."

    def onOpen(self) -> None:
        self.p.sendClose(1000, "bye")
        self.p.killAfter(5)
