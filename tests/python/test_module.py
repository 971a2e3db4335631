import subprocess
import sys
import textwrap

import pytest

import varnel
import varnel._varnel as engine

REGISTRATION_ORDER = [
    "FuzzingServer", "run_fuzzingclient", "run_fuzzingserver",
    "PerMessageDeflateOffer", "PerMessageDeflateOfferAccept",
    "PerMessageDeflateResponse", "PerMessageDeflateResponseAccept",
    "Behavior", "BehaviorClose", "CaseResult", "TrafficStats", "Utf8Validator",
]


def test_all_lists_built_members_in_registration_order():
    assert engine.__all__ == [n for n in REGISTRATION_ORDER if n in engine.__all__]
    for name in engine.__all__:
        assert getattr(engine, name) is not None
    for hidden in ("Protocol", "Factory", "Coroutine", "FailureError"):
        assert not hasattr(engine, hidden)


def test_module_definition():
    assert engine.__name__ == "varnel._varnel"
    assert engine.__doc__ == ""


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


def test_import_needs_no_case_package_and_starts_no_thread():
    out = run_python("""
        import sys, threading
        sys.modules['varnel.cases'] = None   # any import of it would fail
        before = threading.active_count()
        import varnel._varnel
        assert 'varnel.cases' in sys.modules and sys.modules['varnel.cases'] is None
        import os
        assert len(os.listdir('/proc/self/task')) == 1, os.listdir('/proc/self/task')
        print('ok')
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_reimport_after_removal_reuses_the_types():
    out = run_python("""
        import sys, warnings
        warnings.simplefilter('error')
        import varnel._varnel as first
        del sys.modules['varnel._varnel']
        import varnel._varnel as second
        assert first is not second
        assert first.__all__ == second.__all__
        for name in first.__all__:
            a, b = getattr(first, name), getattr(second, name)
            if isinstance(a, type):
                assert a is b, name
            else:  # functions are bound to their own module object
                assert a.__self__ is first and b.__self__ is second, name
        print('ok')
    """)
    assert out.returncode == 0, out.stderr


def test_failure_error_carries_results():
    results = [object(), object()]
    err = varnel.FailureError("2 of 9 cases failed", results)
    assert err.results is results
    assert str(err) == "2 of 9 cases failed"
    with pytest.raises(varnel.FailureError):
        raise err


def test_module_exports_only_its_init_function():
    # Anything else exported could bind to another extension's copy of the same
    # library code loaded into this process.
    nm = subprocess.run(["nm", "-D", "--defined-only", engine.__file__],
                        capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit__varnel"]


def test_only_the_main_interpreter_loads_the_module():
    out = run_python("""
        import asyncio, _interpreters
        import varnel._varnel as engine
        for kind in ("legacy", "isolated"):
            sub = _interpreters.create(_interpreters.new_config(kind))
            failed = _interpreters.exec(sub, "import varnel._varnel")
            _interpreters.destroy(sub)
            assert failed is not None, kind
            print(kind, failed.type.__name__, failed.msg)
        try:  # the main interpreter's module is unharmed
            asyncio.run(engine.run_fuzzingclient("ws://127.0.0.1:9", cases=["1.1.1"]))
        except Exception as e:
            print(type(e).__name__)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "legacy ImportError module varnel._varnel does not support loading in subinterpreters",
        "isolated ImportError module varnel._varnel does not support loading in subinterpreters",
        "FailureError",
    ]


def test_a_module_object_dropped_before_its_exec_step_ran_frees_cleanly():
    out = run_python("""
        import gc, importlib.util
        spec = importlib.util.find_spec("varnel._varnel")
        unexecuted = importlib.util.module_from_spec(spec)
        del unexecuted
        gc.collect()
        import varnel._varnel as engine   # the module proper is unharmed
        print(engine.Behavior.OK.value)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "OK"


def test_the_module_links_no_library_that_takes_process_wide_locks():
    # A child of fork() could find such a lock held by a parent thread it does
    # not have, and wait for it for ever: OpenSSL's generator and digests take one.
    readelf = subprocess.run(["readelf", "-d", engine.__file__], capture_output=True, text=True, check=True)
    needed = [line for line in readelf.stdout.splitlines() if "(NEEDED)" in line]
    assert needed and not [line for line in needed if "libcrypto" in line or "libssl" in line]
