import random

import pytest

from varnel._varnel import Utf8Validator


def feed(*chunks):
    v = Utf8Validator()
    return [v.validate(c) for c in chunks]


def test_chunks_carry_split_characters():
    assert feed(b"") == [(True, True, 0, 0)]
    greek = bytes.fromhex("CEBAE1BDB9CF83CEBCCEB5")
    assert feed(greek) == [(True, True, 11, 11)]
    assert feed(b"\xe2\x82", b"", b"\xac") == [(True, False, 2, 2), (True, False, 0, 2), (True, True, 1, 3)]
    assert feed(b"\xf0", b"\x9f", b"\x98", b"\x80x") == [
        (True, False, 1, 1), (True, False, 1, 2), (True, False, 1, 3), (True, True, 2, 5)]


def test_failure_is_sticky_until_reset():
    v = Utf8Validator()
    assert v.validate(b"A\xffB") == (False, False, 1, 1)
    assert v.validate(b"ok") == (False, False, 0, 1)
    assert v.reset() is None
    assert v.validate(b"ok") == (True, True, 2, 2)
    # The carried E2 82 starts the invalid sequence; nothing of this chunk counts.
    assert feed(b"\xe2\x82", b"A") == [(True, False, 2, 2), (False, False, 0, 2)]
    assert feed(b"ab\xe2\x82", b"\xacxy\xc3(") == [(True, False, 4, 4), (False, False, 3, 7)]


def test_input_forms():
    assert feed(bytearray(b"\xe2\x82"), "\xac") == [(True, False, 2, 2), (True, True, 1, 3)]
    assert feed("\xff") == [(False, False, 0, 0)]
    v = Utf8Validator()
    v.validate(b"\xe2")
    for bad, error, text in [("\u0100", ValueError, "codepoint U+0100 is not a single byte"),
                             ("a\U0001F600", ValueError, "codepoint U+1F600 is not a single byte"),
                             ("\xe9\ud800\u0100", UnicodeEncodeError, "surrogates"),
                             (memoryview(b"a"), TypeError, "argument 'data': 'memoryview' object"),
                             (1, TypeError, "argument 'data': 'int' object cannot be converted to 'str'")]:
        with pytest.raises(error) as info:
            v.validate(bad)
        assert text in str(info.value)
    assert v.validate(b"\x82\xac") == (True, True, 2, 3)  # state untouched by the errors


def reference(chunks):
    """Expected answers, from the interpreter's own decoder run on each prefix."""
    out, seen, total = [], b"", 0
    for chunk in chunks:
        if out and not out[-1][0]:
            out.append((False, False, 0, total))
            continue
        seen += chunk
        try:
            seen.decode()
            total += len(chunk)
            out.append((True, True, len(chunk), total))
        except UnicodeDecodeError as e:
            if e.reason == "unexpected end of data":
                total += len(chunk)
                out.append((True, False, len(chunk), total))
            else:
                consumed = max(e.start - total, 0)
                total += consumed
                out.append((False, False, consumed, total))
    return out


def test_matches_the_interpreters_decoder_on_random_streams():
    rng = random.Random(7)
    pieces = [b"a", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xed\x9f\xbf", b"\xf4\x8f\xbf\xbf"]
    bad = [b"\x80", b"\xc0", b"\xed\xa0", b"\xf4\x90", b"\xe0\x9f", b"\xff", b"\xf0\x8f"]
    for _ in range(300):
        stream = b"".join(rng.choice(pieces) * rng.choice((1, 1, 40)) for _ in range(rng.randint(0, 30)))
        if rng.random() < 0.5:
            at = rng.randint(0, len(stream))
            stream = stream[:at] + rng.choice(bad) + stream[at:]
        cuts = sorted(rng.randint(0, len(stream)) for _ in range(rng.randint(0, 5)))
        chunks = [stream[a:b] for a, b in zip([0] + cuts, cuts + [len(stream)])]
        assert feed(*chunks) == reference(chunks), chunks



def test_reentrant_call_is_refused_not_blocked():
    v, seen = Utf8Validator(), []

    class Reentrant(bytearray):
        def __buffer__(self, flags):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                v.validate(b"x")
            seen.append(True)
            return memoryview(b"\xc3")

    assert v.validate(Reentrant(b"\xc3")) == (True, False, 1, 1)
    assert seen == [True]
    assert v.validate(b"\xa9") == (True, True, 1, 2)
