import pytest

from varnel._varnel import (PerMessageDeflateOffer, PerMessageDeflateOfferAccept,
                            PerMessageDeflateResponse, PerMessageDeflateResponseAccept)

CLASSES = [PerMessageDeflateOffer, PerMessageDeflateOfferAccept,
           PerMessageDeflateResponse, PerMessageDeflateResponseAccept]


def fields(obj, names):
    return tuple(getattr(obj, n) for n in names)


def test_defaults_positional_and_keyword_construction():
    names = ("acceptNoContextTakeover", "acceptMaxWindowBits",
             "requestNoContextTakeover", "requestMaxWindowBits")
    assert fields(PerMessageDeflateOffer(), names) == (True, True, False, 0)
    assert fields(PerMessageDeflateOffer(False, False, True, 255), names) == (False, False, True, 255)
    assert fields(PerMessageDeflateOffer(requestMaxWindowBits=9), names) == (True, True, False, 9)

    names = ("client_max_window_bits", "client_no_context_takeover",
             "server_max_window_bits", "server_no_context_takeover")
    assert fields(PerMessageDeflateResponse(), names) == (0, False, 0, False)
    assert fields(PerMessageDeflateResponse(12, True, server_no_context_takeover=True),
                  names) == (12, True, 0, True)


def test_accepts_keep_the_very_object_and_store_values_unchecked():
    offer, response = PerMessageDeflateOffer(), PerMessageDeflateResponse()
    accept = PerMessageDeflateOfferAccept(offer)
    assert accept.offer is offer
    assert (accept.requestNoContextTakeover, accept.requestMaxWindowBits) == (False, 0)
    assert (accept.noContextTakeover, accept.windowBits, accept.memLevel) == (None, None, None)
    accept = PerMessageDeflateOfferAccept(offer, True, 3, False, 7, 9)
    assert fields(accept, ("requestNoContextTakeover", "requestMaxWindowBits",
                           "noContextTakeover", "windowBits", "memLevel")) == (True, 3, False, 7, 9)
    accept = PerMessageDeflateResponseAccept(response=response, windowBits=8, memLevel=9)
    assert accept.response is response
    assert (accept.noContextTakeover, accept.windowBits, accept.memLevel) == (None, 8, 9)


@pytest.mark.parametrize("call, error, argument", [
    (lambda: PerMessageDeflateOffer(requestMaxWindowBits=256), OverflowError, "requestMaxWindowBits"),
    (lambda: PerMessageDeflateOffer(requestMaxWindowBits=-10**100), OverflowError, "requestMaxWindowBits"),
    (lambda: PerMessageDeflateOffer(requestMaxWindowBits=3.0), TypeError, "requestMaxWindowBits"),
    (lambda: PerMessageDeflateOffer(1), TypeError, "acceptNoContextTakeover"),
    (lambda: PerMessageDeflateResponse(0, None), TypeError, "client_no_context_takeover"),
    (lambda: PerMessageDeflateOfferAccept(PerMessageDeflateResponse()), TypeError, "offer"),
    (lambda: PerMessageDeflateResponseAccept(PerMessageDeflateOffer()), TypeError, "response"),
    # The first failing argument in parameter order is the one reported.
    (lambda: PerMessageDeflateResponseAccept(PerMessageDeflateResponse(), 1, memLevel=-1), TypeError,
     "noContextTakeover"),
])
def test_strict_conversion_names_the_argument(call, error, argument):
    with pytest.raises(error, match=f"argument '{argument}'"):
        call()


def test_numpy_booleans_are_bools():
    # Debian's numpy is built for the GIL interpreter only.
    numpy = pytest.importorskip(
        "numpy", reason="numpy does not load on this interpreter", exc_type=ImportError)
    offer = PerMessageDeflateOffer(numpy.True_, numpy.False_, numpy.bool_(True))
    assert (offer.acceptNoContextTakeover, offer.acceptMaxWindowBits,
            offer.requestNoContextTakeover) == (True, False, True)
    assert PerMessageDeflateResponseAccept(PerMessageDeflateResponse(), numpy.False_).noContextTakeover is False
    with pytest.raises(TypeError):
        PerMessageDeflateOffer(numpy.int64(1))


def test_classes_are_final_read_only_and_documented():
    accept = PerMessageDeflateOfferAccept(PerMessageDeflateOffer())
    for name in ("offer", "requestMaxWindowBits", "memLevel"):
        with pytest.raises(AttributeError):
            setattr(accept, name, None)
    for cls in CLASSES:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert PerMessageDeflateOffer.__text_signature__ == (
        "(acceptNoContextTakeover=True, acceptMaxWindowBits=True, "
        "requestNoContextTakeover=False, requestMaxWindowBits=0)")
    assert PerMessageDeflateOffer.__doc__ == (
        "A client's permessage-deflate offer \u2014 the compression parameters the client\n"
        "proposes to the server.")
