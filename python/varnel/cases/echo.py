"""Data messages of RFC 6455 section 5.6, echoed back by the peer."""

from .case import EchoCase


class TextEmpty(EchoCase):
    DESCRIPTION = "Send a text message with an empty payload."
    EXPECTATION = "Receive the echo of the text message with an empty payload."
    MESSAGES = [("", False)]


class TextSmall(EchoCase):
    DESCRIPTION = "Send a text message with the payload 'Hello, world!'."
    EXPECTATION = "Receive the same text message back."
    MESSAGES = [("Hello, world!", False)]


class TextUtf8(EchoCase):
    DESCRIPTION = "Send a text message holding characters outside ASCII."
    EXPECTATION = "Receive the same text message back, its UTF-8 intact."
    MESSAGES = [("κόσμε — \u20ac \U0001F600", False)]


class BinarySmall(EchoCase):
    DESCRIPTION = "Send a binary message with 16 octets 0x00 to 0x0f."
    EXPECTATION = "Receive the same binary message back."
    MESSAGES = [(bytes(range(16)), True)]


class BinaryMedium(EchoCase):
    DESCRIPTION = "Send a binary message of 65536 octets (a 64-bit length field)."
    EXPECTATION = "Receive the same binary message back."
    MESSAGES = [(bytes(i % 251 for i in range(65536)), True)]
