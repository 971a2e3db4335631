"""Docstrings and signatures of every public member of the module, as help() and
inspect show them."""
import copy
import inspect

import pytest

import _testing_protocol
import varnel._varnel as v

EM = "\u2014"

CLASS_DOCS = {
    "FuzzingServer": (
        "A server that runs the conformance cases for a WebSocket client under test.\n"
        "\n"
        "Created by `run_fuzzingserver` and used as an async context manager:\n"
        "entering starts serving, `address`/`port` give the bound endpoint, and\n"
        "`get_result()` returns the per-case results once the client has finished."),
    "PerMessageDeflateOffer": (
        f"A client's permessage-deflate offer {EM} the compression parameters the client\n"
        "proposes to the server."),
    "PerMessageDeflateOfferAccept": (
        "A server's acceptance of a client's permessage-deflate offer, with the\n"
        "compression parameters it settles on."),
    "PerMessageDeflateResponse": (
        "The permessage-deflate parameters the server returned in its handshake\n"
        "response."),
    "PerMessageDeflateResponseAccept": (
        "The client's acceptance of the server's permessage-deflate response,\n"
        "optionally overriding `noContextTakeover` / `windowBits`."),
    "Behavior": "Verdict for a case's message exchange. `value` is the verdict label.",
    "BehaviorClose": "Verdict for a case's closing handshake. `value` is the verdict label.",
    "CaseResult": "The result of one conformance test case.",
    "TrafficStats": "Per-case octet, frame, and message counters for sent and received traffic.",
    "Utf8Validator": (
        "Incremental UTF-8 validator: feed chunks to `validate()` and it tracks\n"
        "validity across calls until `reset()`."),
}

SERVER_DOC = (
    "Serve the WebSocket conformance test cases to a WebSocket client under test.\n"
    "\n"
    "Returns a server to use as an async context manager: entering it starts\n"
    "accepting connections, `address` and `port` give the endpoint to point the\n"
    "client at, and `get_result()` yields the outcome once the client has run\n"
    "every case.\n"
    "\n"
    "Example:\n"
    "    async with run_fuzzingserver(port=9001) as server:\n"
    "        results = await server.get_result()\n"
    "\n"
    "Args:\n"
    "    cases: Case ids or `*` globs to serve, e.g. `[\"1.*\", \"9.7.1\"]`. The whole\n"
    "        suite is served when omitted.\n"
    "    exclude_cases: Case ids or `*` globs to remove from the selection.\n"
    "    host: Address to bind. Defaults to `127.0.0.1`.\n"
    "    port: Port to bind. Pass `0` for an ephemeral port and read the chosen\n"
    "        one back from `port`.\n"
    "\n"
    "Returns:\n"
    "    A `FuzzingServer` to use as an `async with` context manager.")

RESULT_DOCS = {
    'case_id': 'Case id, e.g. `"1.1.1"`.',
    'case_index': '1-based position of this case in the run.',
    'description': "The case's `DESCRIPTION` text.",
    'expectation': f"The case's `EXPECTATION` text {EM} what a conformant peer should do.",
    'agent': f'Name of the peer under test {EM} from its `Server` header (client mode) or\n'
             'the `agent` it reported (server mode).',
    'started': 'ISO-8601 UTC timestamp of when the case started.',
    'duration': 'Case run time, in milliseconds.',
    'report_time': 'Whether the report shows `duration` (set by the timing cases, 9.x/12.x).',
    'report_compression_ratio': 'Whether the report shows the compression ratio (set by the 12.x cases).',
    'behavior': 'Verdict for the message exchange.',
    'behavior_close': 'Verdict for the closing handshake.',
    'expected': 'Accepted event sequences, keyed by the verdict each would yield.',
    'expected_close': 'Expected close parameters: who closes, whether a clean close is required,\n'
                      'and the acceptable close codes.',
    'received': 'The events actually observed: messages, pings, and pongs.',
    'result': 'Prose explaining `behavior`, e.g. "Actual events match at least one\n'
              'expected." or "Actual events differ from any expected."',
    'result_close': 'Prose explaining `behavior_close`, e.g. "Connection was properly closed"\n'
                    'or "The close code should have been ...".',
    'wirelog': 'Ordered wire-log trace of octets, frames, and timer events.',
    'create_wirelog': 'Whether the wire log was captured (disabled for very large payloads).',
    'closed_by_me': 'Whether varnel sent the close frame first.',
    'failed_by_me': 'Whether varnel failed the connection on a protocol error (by sending a\n'
                    'close or dropping the TCP).',
    'dropped_by_me': 'Whether varnel dropped the TCP connection.',
    'was_clean': f'Whether the closing handshake completed cleanly {EM} close sent and\n'
                 'received, then the responsible side dropped the connection.',
    'was_not_clean_reason': 'Why the close was not clean, when `was_clean` is false.',
    'was_server_connection_drop_timeout': 'Whether varnel expected the server to drop the connection '
                                          'but it did not\nin time (client mode).',
    'was_open_handshake_timeout': 'Whether the opening handshake timed out.',
    'was_close_handshake_timeout': 'Whether the closing handshake timed out.',
    'local_close_code': 'The close code varnel sent, if any.',
    'local_close_reason': 'The close reason varnel sent, if any.',
    'remote_close_code': 'The close code the peer sent, if any.',
    'remote_close_reason': 'The close reason the peer sent, if any.',
    'is_server': 'Whether varnel acted as the server (the peer under test is the client).',
    'create_stats': 'Whether octet and frame statistics were collected.',
    'rx_octet_stats': 'Count of socket reads by size.',
    'rx_frame_stats': 'Count of received frames by opcode.',
    'tx_octet_stats': 'Count of socket writes by size.',
    'tx_frame_stats': 'Count of sent frames by opcode.',
    'http_request': 'The opening-handshake request, verbatim.',
    'http_response': 'The opening-handshake response, verbatim.',
    'traffic_stats': 'Traffic and compression counters for the case.',
    'passed': f'Whether the case passed {EM} both `behavior` and `behavior_close` are\n'
              'acceptable (`OK`, `NON-STRICT`, or `INFORMATIONAL`).',
}

VALIDATE_DOC = (
    "Validate the next chunk of bytes, continuing from previous calls.\n\n"
    "Args:\n"
    "    data: The bytes to validate (a `bytes`, or a `str` of code points\n"
    "        0\u2013255).\n\n"
    "Returns:\n"
    "    A tuple `(valid, ends_on_codepoint, consumed, total)`: whether the\n"
    "    stream is still valid UTF-8, whether it ends on a complete code\n"
    "    point, the bytes consumed from this chunk, and the bytes consumed\n"
    "    since the last `reset()`.")

GET_RESULT_DOC = (
    "Wait for the run to finish and return the per-case results.\n"
    "\n"
    "The client under test ends the run once it has driven every case.\n"
    "\n"
    "Returns:\n"
    "    The result of each case, in case order.\n"
    "\n"
    "Raises:\n"
    "    FailureError: If any case did not pass. Its `results` attribute holds\n"
    "        the same results that would otherwise be returned.")

# Members of the classes: (signature of the unbound method, docstring), or for a
# property (None, docstring). None as a docstring: the member has none.
VERDICT_MEMBERS = {
    "__int__": ("(self, /)", None),
    "__repr__": ("(self, /)", None),
    "__eq__": ("(self, /, other)", None),
    "__ne__": ("(self, /, other)", None),
}
MEMBERS = {
    "FuzzingServer": {
        "__aenter__": ("(self, /)",
                       "Start serving and return the server, now bound to `address` and `port`."),
        "__aexit__": ("(self, /, _exc_type=None, _exc_value=None, _traceback=None)",
                      "Stop the server, closing it if the run has not already finished."),
        "get_result": ("(self, /)", GET_RESULT_DOC),
        "port": (None, f"The bound TCP port {EM} the real port chosen by the OS when `0` was\n"
                       "requested. Available once serving has started."),
        "address": (None, "The bound IP address. Available once serving has started."),
    },
    "PerMessageDeflateOffer": {name: (None, None) for name in (
        "acceptNoContextTakeover", "acceptMaxWindowBits", "requestNoContextTakeover",
        "requestMaxWindowBits")},
    "PerMessageDeflateOfferAccept": {name: (None, None) for name in (
        "offer", "requestNoContextTakeover", "requestMaxWindowBits", "noContextTakeover",
        "windowBits", "memLevel")},
    "PerMessageDeflateResponse": {name: (None, None) for name in (
        "client_max_window_bits", "client_no_context_takeover", "server_max_window_bits",
        "server_no_context_takeover")},
    "PerMessageDeflateResponseAccept": {name: (None, None) for name in (
        "response", "noContextTakeover", "windowBits", "memLevel")},
    "Behavior": {**VERDICT_MEMBERS,
                 "value": (None, "The verdict's string form, e.g. `\"NON-STRICT\"`.")},
    "BehaviorClose": {**VERDICT_MEMBERS,
                      "value": (None, "The verdict's string form, e.g. `\"WRONG CODE\"`.")},
    "CaseResult": {**{name: (None, doc) for name, doc in RESULT_DOCS.items()},
                   "__repr__": ("(self, /)", None)},
    "TrafficStats": {"__json__": ("(self, /)", None), "__deepcopy__": ("(self, /, _memo)", None)},
    "Utf8Validator": {
        "validate": ("(self, /, data)", VALIDATE_DOC),
        "reset": ("(self, /)", "Discard carried-over state and start validating a fresh stream."),
    },
}

CONSTRUCTORS = {
    "FuzzingServer": "()",
    "PerMessageDeflateOffer": "(acceptNoContextTakeover=True, acceptMaxWindowBits=True, "
                              "requestNoContextTakeover=False, requestMaxWindowBits=0)",
    "PerMessageDeflateOfferAccept": "(offer, requestNoContextTakeover=False, requestMaxWindowBits=0, "
                                    "noContextTakeover=None, windowBits=None, memLevel=None)",
    "PerMessageDeflateResponse": "(client_max_window_bits=0, client_no_context_takeover=False, "
                                 "server_max_window_bits=0, server_no_context_takeover=False)",
    "PerMessageDeflateResponseAccept": "(response, noContextTakeover=None, windowBits=None, memLevel=None)",
    "Behavior": "()",
    "BehaviorClose": "()",
    "CaseResult": "()",
    "TrafficStats": "()",
    "Utf8Validator": "()",
}

# What the classes hold besides the members above: the interpreter's own entries
# and the shared verdict objects.
NOT_MEMBERS = {"__new__", "__init__", "__doc__", "__module__", "__hash__", "__dict__",
               "__weakref__", "__firstlineno__", "__static_attributes__"}
VERDICT_OBJECTS = {"OK", "NON_STRICT", "FAILED", "UNIMPLEMENTED", "INFORMATIONAL", "ERROR",
                   "WRONG_CODE", "UNCLEAN", "FAILED_BY_CLIENT"}


@pytest.mark.parametrize("name", sorted(CLASS_DOCS))
def test_class_doc_signature_and_members(name):
    cls = getattr(v, name)
    assert cls.__doc__ == CLASS_DOCS[name]
    assert str(inspect.signature(cls)) == CONSTRUCTORS[name]
    members = MEMBERS[name]
    present = {k for k in vars(cls) if k not in NOT_MEMBERS and k not in VERDICT_OBJECTS}
    assert present == set(members)
    for member, (sig, doc) in members.items():
        obj = vars(cls)[member]
        assert obj.__doc__ == doc, member
        if sig is None:
            assert isinstance(obj, property), member
        else:
            assert str(inspect.signature(obj)) == sig, member


def test_entry_functions():
    client, server = v.run_fuzzingclient, v.run_fuzzingserver
    assert str(inspect.signature(client)) == "(url, cases=None, exclude_cases=None, concurrency=1)"
    assert str(inspect.signature(server)) == "(cases=None, exclude_cases=None, *, host=None, port=9001)"
    assert server.__doc__ == SERVER_DOC
    first, *rest = client.__doc__.split("\n\n")
    assert first == "Run the WebSocket conformance test cases against a WebSocket server."
    assert [part.split("\n")[0] for part in rest] == ["Args:", "Returns:", "Raises:"]
    assert "FailureError" in rest[-1]
    kinds = {p.name: p.kind for p in inspect.signature(server).parameters.values()}
    assert kinds["host"] is kinds["port"] is inspect.Parameter.KEYWORD_ONLY


def test_bound_methods_and_keyword_arguments():
    validator = v.Utf8Validator()
    assert str(inspect.signature(validator.validate)) == "(data)"
    assert validator.validate(data=b"ok") == (True, True, 2, 2)
    assert str(inspect.signature(v.Behavior.OK.__eq__)) == "(other)"
    assert v.Behavior.OK.__eq__(other=v.Behavior.OK) is True
    assert v.Behavior.OK.__ne__(other=0) is NotImplemented
    assert inspect.signature(v.PerMessageDeflateOffer).bind(requestMaxWindowBits=9)
    with pytest.raises(TypeError, match="unexpected keyword argument 'dat'"):
        validator.validate(dat=b"")
    with pytest.raises(TypeError):
        validator.validate()
    with pytest.raises(TypeError):
        validator.reset(1)


def test_objects_made_by_bare_new_are_refused_not_read():
    for name in ("FuzzingServer", "Behavior", "CaseResult"):
        cls = getattr(v, name)
        bare = cls.__new__(cls)
        with pytest.raises(TypeError, match="not initialized"):
            repr(bare) if name != "FuzzingServer" else bare.get_result()


def test_deepcopy_takes_any_memo_and_copies_current_counters():
    p = _testing_protocol.new_protocol(False)
    p.sendMessage(b"abc")
    stats = p.trafficStats
    for memo in (None, {}, 0, object()):
        snapshot = stats.__deepcopy__(memo)
        assert type(snapshot) is type(stats) and snapshot is not stats
        assert snapshot.__json__() == stats.__json__()
    before = stats.__json__()
    p.sendMessage(b"more")
    assert snapshot.__json__() == before != stats.__json__()
    assert copy.deepcopy(stats).__json__() == stats.__json__()
    assert stats.__deepcopy__(_memo=None).__json__() == stats.__json__()
    fresh = v.TrafficStats()
    assert fresh.__deepcopy__(None).__json__() == fresh.__json__()
    with pytest.raises(TypeError):
        stats.__deepcopy__(None, None)
