"""Mask policies (MaskPolicy in src/velmora/omit/abi.h).

No omitter type with a policy exists yet, so these tests give an ordinary
Omitter a copy of its method table whose mask_policy entry answers with a
policy made with ctypes, following the layouts abi.h declares. Each case
runs in its own interpreter: a layout mistake must not take the suite down.
"""

import pytest

from conftest import assert_runs_clean

PRELUDE = """
import collections, ctypes
import velmora.omit as omit
from velmora.redact import redacted

class MaskPolicy(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("text", ctypes.py_object), ("keep", ctypes.c_ssize_t),
                ("whole", ctypes.c_bool)]

# should_hide, omit, omit_recurse, quiet_should_hide, mask_policy, foreign_code_ran, layout_gates,
# open_str_hook, rule_plan: the whole table, or the walk reads past the copy
SLOTS = 9
POLICY_FN = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
keep_alive = []

def with_policy(omitter, kind, text=None, keep=0, whole=False):
    policy = MaskPolicy(kind, text, keep, whole)
    answer = POLICY_FN(lambda self: ctypes.addressof(policy))
    vtab_field = ctypes.c_void_p.from_address(id(omitter) + object.__basicsize__)
    table = (ctypes.c_void_p * SLOTS).from_buffer_copy((ctypes.c_void_p * SLOTS).from_address(vtab_field.value))
    table[4] = ctypes.cast(answer, ctypes.c_void_p).value
    keep_alive.extend([policy, answer, table])
    vtab_field.value = ctypes.addressof(table)
    return omitter

STARS, FIXED, KEEP_LAST = 0, 1, 2
"""


@pytest.mark.parametrize("case", ["fixed", "keep_last", "whole", "invalid"])
def test_mask_policies(case):
    assert_runs_clean(PRELUDE + {
        "fixed": """
o = with_policy(omit.Omitter(["pw", "codes"]), FIXED, "[redacted]")
data = {"pw": "secret", "codes": ["a", ["b"], {"pw": "c"}], "n": {"pw": "[redacted]"}, "free": "x"}
out = redacted(o, data)
assert out == {"pw": "[redacted]", "codes": ["[redacted]", ["[redacted]"], {"pw": "[redacted]"}],
               "n": {"pw": "[redacted]"}, "free": "x"}, out
assert out["n"] is data["n"]  # already its own mask: shared
assert data["pw"] == "secret"
""",
        "keep_last": """
o = with_policy(omit.Omitter(["card"]), KEEP_LAST, keep=4)
out = redacted(o, {"card": ["4111111111111111", "1234", "abc", "", "ééééé\U0001F600"]})
assert out == {"card": ["************1111", "****", "***", "", "**ééé\U0001F600"]}, out
""",
        "whole": """
o = with_policy(omit.Omitter(["pw", None]), STARS, "[hidden]", whole=True)
odd = collections.OrderedDict(a="b")
data = {"pw": {"x": "y"}, "n": {"pw": 5, "ok": 1, "odd": [1]}, None: "abc", "free": ["v", 1],
        "deep": {"pw": odd}}
try:
    redacted(o, {"free": odd})
except TypeError as exc:
    assert str(exc) == "Expected dict, got collections.OrderedDict"
else:
    raise AssertionError("an OrderedDict under a key not hidden is refused")
out = redacted(o, data)
assert out == {"pw": "[hidden]", "n": {"pw": "[hidden]", "ok": 1, "odd": [1]}, None: "***",
               "free": ["v", 1], "deep": {"pw": "[hidden]"}}, out
assert out["free"] is data["free"]
""",
        "invalid": """
for kind, text, keep, message in ((KEEP_LAST, None, 0, "keeps no characters"),
                                  (FIXED, None, 0, "has no mask text"), (7, None, 0, "unknown kind")):
    o = with_policy(omit.Omitter(["pw"]), kind, text, keep)
    try:
        redacted(o, {"pw": "x"})
    except SystemError as exc:
        assert message in str(exc), exc
    else:
        raise AssertionError(kind)
""",
    }[case])
