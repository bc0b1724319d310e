"""Faults found in review, kept as regression cases."""

import ctypes

import pytest

import velmora.omit as omit
from conftest import assert_runs_clean, module_entries


@pytest.mark.parametrize(
    "extend, reset, read",
    [("always_omit", "reset_omissions", "globally_hidden"), ("always_trust", "reset_trusted", "globally_trusted")],
)
def test_extend_reads_the_list_after_binding(extend, reset, read):
    # A keyword whose __eq__ resets the module-wide list while the call binds
    # its arguments: the extension must land in the list that is current then.
    proc = assert_runs_clean(f"""
        import velmora.omit as m
        m.{extend}(["old"])
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                m.{reset}()
                return str.__eq__(self, other)
        assert m.{extend}(**{{Key("targets"): ["password"]}}) is None
        print(m.{read}())
        x = [1]; y = [2]; print(x, y)
    """)
    assert proc.stdout.splitlines() == ["['password']", "[1] [2]"]


def legacy_str(text):
    """A str made through the legacy wide-char API, not yet readied."""
    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
    s = api.PyUnicode_FromUnicode(None, len(text))
    buffer = (ctypes.c_wchar * len(text)).from_address(api.PyUnicode_AsUnicode(s))
    buffer[:] = text
    return s


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_legacy_str_values_are_masked_to_their_length():
    value = legacy_str("secret")
    assert omit.Omitter(["pw"]).omit({"pw": value}) == {"pw": "******"}
    assert omit.Omitter().omit_recurse([legacy_str("abc")]) == ["***"]


class Raising:
    def __getattr__(self, name):
        raise AttributeError("custom message")


class WithOddDict(omit.Omitter):
    @property
    def __dict__(self):
        return Raising()


def test_restore_keeps_the_exception_of_a_failed_update_lookup():
    with pytest.raises(AttributeError, match="^custom message$") as info:
        WithOddDict().__setstate__((["a"], {}))
    assert module_entries(info) == [
        ("velmora.omit.Omitter.__setstate_cython__", "<stringsource>", 17),
        ("velmora.omit.__pyx_unpickle_Omitter__set_state", "<stringsource>", 14),
    ]


def test_value_taken_out_by_the_number_test_stays_held():
    # A str subclass whose __class__ (read by the number test) empties the
    # dict: the pair must still be alive for the checks that follow.
    proc = assert_runs_clean("""
        import velmora.omit as m
        def build():
            d = {}
            class S(str):
                @property
                def __class__(self):
                    d.clear()
                    return str
            d["".join(["se", "cret"])] = S("value")
            return d
        d = build()
        try:
            m.Omitter(["secret"]).omit(d)
        except TypeError as e:
            print(e, d)
    """)
    assert proc.stdout.splitlines() == ["Expected unicode, got S {}"]
