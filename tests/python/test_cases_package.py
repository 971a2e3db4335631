"""The bundled case package: what the engine requires of it."""

from varnel.cases import CASES

ATTRIBUTES = ["behavior", "behaviorClose", "DESCRIPTION", "EXPECTATION", "result",
              "resultClose", "reportTime", "reportCompressionRatio", "expected",
              "expectedClose", "received", "trafficStats"]
CALLBACKS = ["onOpen", "onMessage", "onPing", "onPong", "onClose", "onConnectionLost"]


class FakeProtocol:
    """Records what a case sends, for judging the cases without a connection."""

    def __init__(self):
        self.sent = []
        self.remoteCloseCode = 1000
        self.wasClean = True
        self.droppedByMe = False

    def sendMessage(self, payload=None, isBinary=False, fragmentSize=None, sync=False,
                    doNotCompress=False):
        self.sent.append(("message", payload, isBinary))

    def sendFrame(self, opcode, payload=None, **kw):
        self.sent.append(("frame", opcode, payload))

    def sendClose(self, code=None, reason=None):
        self.sent.append(("close", code, reason))

    def killAfter(self, seconds):
        pass


def test_index_shape():
    assert CASES
    for case_id, cls in CASES.items():
        assert isinstance(case_id, str) and all(p.isdigit() for p in case_id.split("."))
        assert callable(cls)


def test_every_case_has_the_attributes_and_callbacks():
    for cls in CASES.values():
        case = cls(FakeProtocol())
        for name in ATTRIBUTES:
            assert hasattr(case, name), (cls, name)
        assert isinstance(case.reportTime, bool)
        assert isinstance(case.reportCompressionRatio, bool)
        for name in CALLBACKS:
            assert callable(getattr(case, name)), (cls, name)


def test_echo_case_judges_echo_and_close():
    p = FakeProtocol()
    case = CASES["1.1.2"](p)
    case.onOpen()
    assert p.sent == [("message", "Hello, world!", False)]
    case.onMessage("Hello, world!", False)
    assert p.sent[-1] == ("close", 1000, None)
    case.onClose(True, 1000, "")
    case.onConnectionLost(False)
    assert (case.behavior, case.behaviorClose) == ("OK", "OK")


def test_echo_case_fails_on_wrong_echo_or_lost_connection():
    case = CASES["1.2.1"](FakeProtocol())
    case.onOpen()
    case.onMessage(b"wrong", True)
    case.onConnectionLost(False)
    assert case.behavior == "FAILED"

    p = FakeProtocol()
    p.droppedByMe = True
    case = CASES["1.1.1"](p)
    case.onOpen()
    case.onConnectionLost(True)
    assert (case.behavior, case.behaviorClose) == ("FAILED", "FAILED")


def test_ping_case_needs_matching_pong():
    p = FakeProtocol()
    case = CASES["2.1"](p)
    case.onOpen()
    assert p.sent == [("frame", 9, b"ping payload")]
    case.onPong(b"other")
    assert case.behavior == "FAILED"
    p.remoteCloseCode = 1002
    case.onConnectionLost(False)
    assert case.behaviorClose == "WRONG CODE"
