"""Common ground of the bundled cases: verdict defaults and small judging helpers."""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from varnel._varnel import Protocol, TrafficStats


class Case:
    """A conformance case. The engine calls it with the connection's Protocol."""

    DESCRIPTION = ""
    EXPECTATION = ""

    def __init__(self, protocol: Protocol) -> None:
        self.p = protocol
        self.behavior = "UNIMPLEMENTED"
        self.behaviorClose = "UNIMPLEMENTED"
        self.result = ""
        self.resultClose = ""
        self.reportTime = False
        self.reportCompressionRatio = False
        self.expected: dict[str, list[tuple[Any, ...]]] = {}
        self.expectedClose: dict[str, Any] = {}
        self.received: list[tuple[Any, ...]] = []
        self.trafficStats: TrafficStats | None = None

    # Callbacks the engine may call; cases override what they need.
    def onOpen(self) -> None:
        pass

    def onMessage(self, payload: str | bytes, isBinary: bool) -> None:
        self.received.append(("message", payload, isBinary))

    def onPing(self, payload: str) -> None:
        self.received.append(("ping", payload))

    def onPong(self, payload: str) -> None:
        self.received.append(("pong", payload))

    def onClose(self, wasClean: bool, code: int | None, reason: str | None) -> None:
        pass

    def onConnectionLost(self, failedByMe: bool) -> None:
        self.judge_close()

    def judge_close(self) -> None:
        """Judges the closing handshake against ``expectedClose``."""
        want = self.expectedClose
        if not want:
            self.behaviorClose = "INFORMATIONAL"
            return
        if self.p.droppedByMe and not want.get("droppedByMe", False):
            self.behaviorClose = "FAILED"
            self.resultClose = "The connection was dropped after the close timeout."
        elif self.p.remoteCloseCode not in want.get("closeCode", [self.p.remoteCloseCode]):
            self.behaviorClose = "WRONG CODE"
            self.resultClose = (
                f"The peer closed with code {self.p.remoteCloseCode}, "
                f"expected one of {want['closeCode']}."
            )
        elif want.get("requireClean", True) and not self.p.wasClean:
            self.behaviorClose = "UNCLEAN"
            self.resultClose = "The closing handshake was not clean."
        else:
            self.behaviorClose = "OK"
            self.resultClose = "The connection was closed as expected."


def as_delivered(payload: str | bytes | bytearray) -> str:
    """A payload as the engine hands it to a callback: octets arrive as a str
    with one character per octet."""
    if isinstance(payload, (bytes, bytearray)):
        return bytes(payload).decode("latin-1")
    return payload


class EchoCase(Case):
    """Sends messages and expects each to come back unchanged and in order."""

    MESSAGES: list[tuple[str | bytes, bool]] = []  # (payload, isBinary)

    def __init__(self, protocol: Protocol) -> None:
        super().__init__(protocol)
        self.expected = {"OK": [("message", as_delivered(p), b) for p, b in self.MESSAGES]}
        self.expectedClose = {"closedByMe": True, "closeCode": [1000], "requireClean": True}

    def onOpen(self) -> None:
        for payload, binary in self.MESSAGES:
            self.p.sendMessage(payload, binary)
        self.p.killAfter(10)

    def onMessage(self, payload: str | bytes, isBinary: bool) -> None:
        super().onMessage(payload, isBinary)
        if len(self.received) == len(self.MESSAGES):
            self.judge_echo()
            self.p.sendClose(1000)

    def judge_echo(self) -> None:
        if self.received == self.expected["OK"]:
            self.behavior = "OK"
            self.result = "Received the messages back unchanged."
        else:
            self.behavior = "FAILED"
            self.result = "Did not receive the messages back unchanged."

    def onConnectionLost(self, failedByMe: bool) -> None:
        if self.behavior == "UNIMPLEMENTED":
            self.behavior = "FAILED"
            self.result = "The connection ended before every message came back."
        super().onConnectionLost(failedByMe)
