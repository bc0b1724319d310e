"""velmora.integrations.sentry with the real sentry-sdk: an error with secrets
in frame locals, request data, extra, breadcrumbs and a log record's extra
is captured through a transport that keeps envelopes in memory (nothing is
sent anywhere), and what would have left the process is checked. The same
runs against sentry-sdk 3 too, installed for the test into a directory of
its own (the test dependencies pin sentry-sdk 2, whose EventScrubber the
benchmark measures)."""

import json
import subprocess
import sys

import pytest

from conftest import SANITIZED, SENTRY_CAPTURE, assert_runs_clean

pytest.importorskip("sentry_sdk", reason="sentry-sdk is not installed (pip install '.[test]')")

HIDDEN = ["password", "card_number", "authorization", "api_key", "cvv"]
SECRETS = ["hunter2", "4111111111111111", "123-cvv", "tok-secret", "key-secret", "4111-log", "crumb-secret",
           "4111-extra", "local-secret", "4111-local", "999-cvv",
           # held by containers other than dicts and lists in the caller's data
           "tuple-cvv", "set-secret", "4111-tuple", "crumb-tuple", "ordered-secret"]
KEPT = ["ann", "pro", "NO", "card declined", "accept-json"]

SCRIPT = SENTRY_CAPTURE + """
import collections, copy, json, logging, sys
from sentry_sdk.integrations.logging import LoggingIntegration
from velmora.integrations.sentry import SentryRedactor
from velmora.omit import Omitter

transport = Capture()
hooks = {}
if HOOKS:
    redactor = SentryRedactor() if HOOKS == "default" else SentryRedactor(Omitter(HIDDEN))
    hooks = dict(before_send=redactor.before_send, before_breadcrumb=redactor.before_breadcrumb)
# Source lines are code, not data, and no hook sees them: from 3.13 the
# interpreter keeps the source of `python -c`, whose literals would show in
# the frames' context lines (as a program run from a file shows them on
# every line). sentry-sdk 3 names the option otherwise.
if int(sentry_sdk.VERSION.split(".")[0]) >= 3:
    no_source = {"data_collection": {"frame_context_lines": 0}}
else:
    no_source = {"include_source_context": False}
sentry_sdk.init(dsn="https://public@sentry.invalid/1", transport=transport, default_integrations=False,
                integrations=[LoggingIntegration(level=logging.INFO, event_level=None)],
                **no_source, **own_scrubber, **hooks)

form = collections.OrderedDict(user="ann", password="hunter2",
                               card={"card_number": "4111111111111111", "cvv": "123-cvv"})
headers = {"authorization": "Bearer tok-secret", "accept": "accept-json"}
log_payload = {"api_key": "key-secret", "plan": "pro"}
crumb_data = {"password": "crumb-secret", "user": "ann", "more": ({"password": "crumb-tuple"},)}
billing = {"card_number": "4111-extra", "country": "NO"}
pairs = ({"card_number": "4111-tuple"}, collections.OrderedDict(password="ordered-secret"))
mine = (form, headers, log_payload, crumb_data, billing, pairs)
snapshot = copy.deepcopy(mine)

logging.getLogger("shop").setLevel(logging.INFO)
logging.getLogger("shop").info("charging", extra={"payload": log_payload, "card_number": "4111-log"})
sentry_sdk.add_breadcrumb(category="auth", message="login", data=crumb_data)

def attach_request(event, hint):
    event["request"] = {"method": "POST", "url": "https://shop.example/pay", "data": form, "headers": headers}
    return event

sentry_sdk.get_current_scope().add_event_processor(attach_request)
sentry_sdk.set_extra("billing", billing)
sentry_sdk.set_extra("pairs", pairs)

def charge(amount):
    password = "local-secret"
    auth = ("ann", "auth-secret")
    history = ({"cvv": "tuple-cvv"},)
    password_hints = {"password": frozenset(["set-secret"])}
    card_number = "4111-local"
    details = {"cvv": "999-cvv", "amount": amount}
    raise ValueError("card declined")

try:
    charge(12)
except ValueError:
    sentry_sdk.capture_exception()
sentry_sdk.flush()
assert mine == snapshot, mine
print(json.dumps(transport.events))
"""


@pytest.fixture(scope="session")
def sentry_sdk_3(tmp_path_factory):
    """A directory holding sentry-sdk 3, put first on the path of the
    scripts that run against it."""
    if SANITIZED:
        pytest.skip("the plain run checks sentry-sdk 3; nothing native differs")
    target = tmp_path_factory.mktemp("sentry-sdk-3")
    proc = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                           "--target", str(target), "sentry-sdk>=3,<4"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return str(target)


@pytest.fixture(params=["installed", "sentry-sdk 3"])
def sdk_path(request):
    """Where sentry-sdk comes from: the one installed, or sentry-sdk 3."""
    return None if request.param == "installed" else request.getfixturevalue("sentry_sdk_3")


def captured(hooks, sdk_path=None):
    code = f"HIDDEN = {HIDDEN!r}\nHOOKS = {hooks!r}\n" + SCRIPT
    env = {"PYTHONPATH": sdk_path} if sdk_path else None
    events = json.loads(assert_runs_clean(code, env=env).stdout)
    assert len(events) == 1
    return events[0]


def hidden_values(node, found):
    """Every value under a hidden key, anywhere in the event."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key in HIDDEN:
                found.append(value)
            hidden_values(value, found)
    elif isinstance(node, list):
        for item in node:
            hidden_values(item, found)
    return found


def test_nothing_secret_leaves_the_process(sdk_path):
    event = captured(hooks=True, sdk_path=sdk_path)
    sent = json.dumps(event)
    assert [s for s in SECRETS if s in sent] == []
    assert [k for k in KEPT if k not in sent] == []
    masked = hidden_values(event, [])
    assert len(masked) >= 9
    stars = [v for value in masked for v in (value if isinstance(value, list) else [value])]
    assert all(isinstance(v, str) and v and set(v) == {"*"} for v in stars), masked
    frame = event["exception"]["values"][0]["stacktrace"]["frames"][-1]
    assert frame["function"] == "charge" and frame["vars"]["amount"] == "12"
    assert event["breadcrumbs"]["values"][-1]["data"]["user"] == "ann"


def test_without_the_hooks_the_secrets_would_leave(sdk_path):
    # The control: the same program without the hooks sends them all.
    sent = json.dumps(captured(hooks=False, sdk_path=sdk_path))
    assert [s for s in SECRETS + ["auth-secret"] if s not in sent] == []


def test_an_event_the_walk_refuses_is_dropped_and_a_breadcrumb_keeps_what_it_can():
    import collections

    from velmora.integrations.sentry import SentryRedactor

    redactor = SentryRedactor(hide=["password"])
    assert redactor.before_send({"extra": {"x": {1: "int key"}}}, {}) is None
    assert redactor.before_send({"extra": {"x": collections.OrderedDict(password="pw")}}, {}) is None
    data = {"password": "pw", "odd": collections.OrderedDict(a="b"), "pairs": ({"password": "x"},)}
    crumb = {"message": "m", "data": data, "category": {1: "int key"}}
    assert redactor.before_breadcrumb(crumb, {}) == {
        "message": "m", "data": {"password": "**", "odd": {"a": "b"}, "pairs": [{"password": "*"}]},
        "category": "<withheld: TypeError while redacting>"}
    assert data["password"] == "pw" and data["pairs"] == ({"password": "x"},)
    with pytest.raises(TypeError, match="takes exactly one of"):
        SentryRedactor(hide=["a"], trust=["b"])


def test_the_default_hooks_fold_case_and_hide_whole_values(sdk_path):
    # Without arguments the hooks use the rules' default denylist, matched
    # ignoring case and inside longer names, and sentry-sdk 2's own list,
    # ignoring case (a frame local `auth` is one of its names), and hide
    # whole values.
    event = captured(hooks="default", sdk_path=sdk_path)
    sent = json.dumps(event)
    denied = ["hunter2", "tok-secret", "key-secret", "crumb-secret", "local-secret", "auth-secret"]
    assert [s for s in denied if s in sent] == []
    assert event["request"]["headers"]["authorization"] == "[Filtered]"
    assert event["request"]["data"]["password"] == "[Filtered]"
    assert event["breadcrumbs"]["values"][-1]["data"] == {"password": "[Filtered]", "user": "ann",
                                                          "more": [{"password": "[Filtered]"}]}
    assert [k for k in KEPT if k not in sent] == []

    from velmora.integrations.sentry import SentryRedactor
    from velmora.rules import DEFAULT_DENYLIST

    redactor = SentryRedactor()
    assert redactor.omitter.defaults and redactor.omitter.whole and redactor.omitter.mask == "[Filtered]"
    assert redactor.before_send({"extra": {"X-Api-Key": 7, "dbPassword": {"a": "b"}, "n": "keep"}}, {}) == {
        "extra": {"X-Api-Key": "[Filtered]", "dbPassword": "[Filtered]", "n": "keep"}}
    assert "password" in DEFAULT_DENYLIST


def test_the_default_hooks_cover_the_names_sentry_sdk_2_scrubs():
    # Read from the installed sentry-sdk 2 (sentry-sdk 3 has no such list):
    # every name, in its own spelling and in other cases, is hidden whole.
    scrubber = pytest.importorskip("sentry_sdk.scrubber", reason="sentry-sdk 3 has no default denylist")
    from velmora.integrations.sentry import DEFAULT_KEYS, SentryRedactor

    names = list(scrubber.DEFAULT_DENYLIST) + list(scrubber.DEFAULT_PII_DENYLIST)
    assert set(names) <= set(DEFAULT_KEYS)
    spellings = {f"k{i}": spelling for i, spelling in enumerate(
        spelling for name in names for spelling in (name, name.upper(), name.lower(), name.title()))}
    extra = {key: {spelling: ("ann", "hunter2")} for key, spelling in spellings.items()}
    event = SentryRedactor().before_send({"extra": extra, "user": {"author": "Ann"}}, {})
    assert all(list(value.values()) == ["[Filtered]"] for value in event["extra"].values())
    assert event["user"] == {"author": "Ann"}  # "auth" is a name, not a word inside others
