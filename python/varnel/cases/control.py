"""Ping and pong of RFC 6455 sections 5.5.2 and 5.5.3."""

from typing import TYPE_CHECKING

from .case import Case, as_delivered

if TYPE_CHECKING:
    from varnel._varnel import Protocol


class PingAnswered(Case):
    DESCRIPTION = "Send a ping with the payload 'ping payload'."
    EXPECTATION = "Receive a pong carrying the same payload (RFC 6455 5.5.3)."
    PAYLOAD = b"ping payload"

    def __init__(self, protocol: Protocol) -> None:
        super().__init__(protocol)
        self.expected = {"OK": [("pong", as_delivered(self.PAYLOAD))]}
        self.expectedClose = {"closedByMe": True, "closeCode": [1000], "requireClean": True}

    def onOpen(self) -> None:
        self.p.sendFrame(opcode=9, payload=self.PAYLOAD)
        self.p.killAfter(10)

    def onPong(self, payload: str) -> None:
        super().onPong(payload)
        if payload == as_delivered(self.PAYLOAD):
            self.behavior = "OK"
            self.result = "Received a pong with the ping's payload."
        else:
            self.behavior = "FAILED"
            self.result = "Received a pong with a different payload."
        self.p.sendClose(1000)

    def onConnectionLost(self, failedByMe: bool) -> None:
        if self.behavior == "UNIMPLEMENTED":
            self.behavior = "FAILED"
            self.result = "No pong arrived before the connection ended."
        super().onConnectionLost(failedByMe)


class PingEmpty(PingAnswered):
    DESCRIPTION = "Send a ping with an empty payload."
    EXPECTATION = "Receive a pong with an empty payload."
    PAYLOAD = b""
