"""velmora.scan under mask policies (MaskPolicy in src/velmora/omit/abi.h).

As in test_redact_mask_policy.py: an ordinary omitter gets a copy of its
method table whose mask_policy entry answers with a policy made with
ctypes. The text scanner must mask as the copy-on-write walk does (checked
against velmora.redact on parsed data) while copying everything else byte
for byte. Each case runs in its own interpreter.
"""

import pytest

from conftest import assert_runs_clean
import velmora.scan as vscan
from test_redact_mask_policy import PRELUDE

SCAN_PRELUDE = PRELUDE + """
import json
from velmora.scan import scan, scan_lines

def agrees(o, text):
    value = json.loads(text)
    # A top-level list stands under no key: NoTrustOmitter hides its strings.
    expected = redacted(o, value, isinstance(o, omit.NoTrustOmitter)) if type(value) is list else \
        redacted(o, value)
    got = json.loads(scan(o, text.encode()))
    assert got == expected, (got, expected)
"""


@pytest.mark.parametrize("path", vscan._paths())
@pytest.mark.parametrize("case", ["fixed", "keep_last", "whole", "invalid"])
def test_scan_follows_the_mask_policy(case, path):
    assert_runs_clean(env={"VELMORA_SCAN_PATH": path}, code=SCAN_PRELUDE + {
        "fixed": r"""
o = with_policy(omit.Omitter(["pw", "codes"]), FIXED, 'x"\\\n\ud800é')
text = '{"pw": "secret", "codes": ["a", ["b"], {"pw": "c"}, 1e400], "free": "\\u00e9"}'
assert scan(o, text.encode()) == (
    b'{"pw": "x\\"\\\\\\n\\ud800\xc3\xa9", "codes": ["x\\"\\\\\\n\\ud800\xc3\xa9", ["x\\"\\\\\\n\\ud800\xc3\xa9"], '
    b'{"pw": "x\\"\\\\\\n\\ud800\xc3\xa9"}, 1e400], "free": "\\u00e9"}')
agrees(o, text)
t = with_policy(omit.NoTrustOmitter(["id"]), FIXED, "[x]")
assert scan(t, b'"top"') == b'"[x]"'
assert scan_lines(t, b'["a", {"id": "1"}]\n{"b": "c"}') == (b'["[x]", {"id": "1"}]\n{"b": "[x]"}', [], 2)
""",
        "keep_last": r"""
o = with_policy(omit.Omitter(["card"]), KEEP_LAST, keep=4)
text = '{"card": ["4111111111111111", "1234", "abc", "", "\\u00e9\\u00e9\u00e9\u00e9\u00e9\\ud83d\\ude00"]}'
assert scan(o, text.encode()) == \
    '{"card": ["************1111", "****", "***", "", "**\u00e9\u00e9\u00e9\\ud83d\\ude00"]}'.encode()
agrees(o, text)
""",
        "whole": r"""
o = with_policy(omit.Omitter(["pw"]), STARS, "[hidden]", whole=True)
text = ('{"pw": {"x": "y"}, "n": {"pw": 5, "ok": 1, "odd": [1]}, "free": ["v", 1], '
        '"deep": {"pw": [1, {"pw": "z"}]}, "pw": "abc", "pw": null, "l": [{"pw": -1E5}]}')
assert scan(o, text.encode()) == (
    b'{"pw": "[hidden]", "n": {"pw": "[hidden]", "ok": 1, "odd": [1]}, "free": ["v", 1], '
    b'"deep": {"pw": "[hidden]"}, "pw": "[hidden]", "pw": "[hidden]", "l": [{"pw": "[hidden]"}]}')
agrees(o, text)
# Under a hidden key nothing inside is asked about or checked twice.
t = with_policy(omit.NoTrustOmitter(["id"]), STARS, "[h]", whole=True)
assert scan(t, b'["ab", {"id": {"k": "v"}, "x": {"k": "v"}}]') == b'["**", {"id": {"k": "[h]"}, "x": "[h]"}]'
agrees(t, '["ab", {"id": {"k": "v"}, "x": {"k": "v"}}]')
""",
        "invalid": """
from velmora.scan import ScanError
for kind, text, keep, message in ((KEEP_LAST, None, 0, "keeps no characters"),
                                  (FIXED, None, 0, "has no mask text"), (7, None, 0, "unknown kind")):
    o = with_policy(omit.Omitter(["pw"]), kind, text, keep)
    for call in (lambda: scan(o, b'{"pw": "x"}'), lambda: scan_lines(o, b"{}")):
        try:
            call()
        except SystemError as exc:
            assert message in str(exc), exc
        else:
            raise AssertionError(kind)
""",
    }[case])
