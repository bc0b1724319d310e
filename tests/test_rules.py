"""velmora.rules: construction and its errors, the configuration view, the
verdicts on the keys the exact Omitter leaks, hostile keys, overrides,
collection and leaks."""

import ast
import copy
import gc
import json
import pathlib
import re
import sys
import weakref

import pytest

import velmora.omit as omit
from conftest import assert_no_leak, assert_runs_clean
from velmora.rules import DEFAULT_DENYLIST, RuleNoTrustOmitter, RuleOmitter

TYPES = [RuleOmitter, RuleNoTrustOmitter]

BAD_ARGUMENTS = [
    (dict(patterns=["("]), re.error, "missing ), unterminated subpattern at position 0"),
    (dict(patterns="abc"), TypeError, "patterns must be an iterable of str or re.Pattern (not a single str)"),
    (dict(patterns=5), TypeError, "patterns must be an iterable of str or re.Pattern, not int"),
    (dict(patterns=["a", 5]), TypeError, "patterns items must be str or re.Pattern, not int"),
    (dict(patterns=[re.compile(b"x")]), TypeError, "patterns items must match str keys, not bytes: re.compile(b'x')"),
    (dict(contains="secret"), TypeError, "contains must be an iterable of str (not a single str)"),
    (dict(contains=b"secret"), TypeError, "contains must be an iterable of str, not bytes"),
    (dict(contains=7), TypeError, "contains must be an iterable of str, not int"),
    (dict(contains=["a", 1]), TypeError, "contains items must be str, not int"),
    (dict(contains=["a", ""]), ValueError, "contains holds an empty word, which would match every key"),
    (dict(mask=5), TypeError, "mask must be a str or None, not int"),
    (dict(mask=b"x"), TypeError, "mask must be a str or None, not bytes"),
    (dict(keep_last=-1), ValueError, "keep_last must be a positive int, not -1"),
    (dict(keep_last=0), ValueError, "keep_last must be a positive int, not 0"),
    (dict(keep_last=True), TypeError, "keep_last must be an int or None, not bool"),
    (dict(keep_last="3"), TypeError, "keep_last must be an int or None, not str"),
    (dict(keep_last=2 ** 80), OverflowError, "Python int too large to convert to C ssize_t"),
    (dict(mask="x", keep_last=2), ValueError, "mask and keep_last cannot be combined"),
    (dict(whole=True, keep_last=2), ValueError,
     "keep_last cannot be combined with whole (a whole value is replaced by the fixed mask)"),
    (dict(omissions=("a",)), TypeError, "Argument 'omissions' has incorrect type (expected list, got tuple)"),
]


def arguments_for(cls, kwargs):
    if "omissions" in kwargs and cls is RuleNoTrustOmitter:
        return dict(trusted=kwargs["omissions"]), "'trusted'"
    return kwargs, None


@pytest.mark.parametrize("cls", TYPES)
@pytest.mark.parametrize("kwargs, exc, message", BAD_ARGUMENTS)
def test_bad_arguments_fail_at_construction_and_change_nothing(cls, kwargs, exc, message):
    kwargs, renamed = arguments_for(cls, kwargs)
    if renamed:
        message = message.replace("'omissions'", renamed)
    with pytest.raises(exc) as info:
        cls(**kwargs)
    assert str(info.value) == message
    live = cls(["id"], ignore_case=True, contains=["pin"], patterns=["^x"], mask="M", whole=True)
    before = repr(live), live.__reduce__()
    with pytest.raises(exc):
        live.__init__(**kwargs)
    assert (repr(live), live.__reduce__()) == before
    assert_no_leak(lambda: pytest.raises(exc, cls, **kwargs), repeat=300)


@pytest.mark.parametrize("cls, name", [(RuleOmitter, "RuleOmitter"), (RuleNoTrustOmitter, "RuleNoTrustOmitter")])
def test_argument_binding(cls, name):
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes at most 1 positional argument \(2 given\)$"):
        cls([], ["secret"])
    # CPython's argument parser words this one, and 3.13 changed the words.
    bogus = (rf"^{name}\(\) got an unexpected keyword argument 'bogus'$" if sys.version_info >= (3, 13) else
             rf"^'bogus' is an invalid keyword argument for {name}\(\)$")
    with pytest.raises(TypeError, match=bogus):
        cls(bogus=1)


def test_the_configuration_is_a_read_only_view():
    r = RuleOmitter(["Password"], ignore_case=True, contains=["Secret"], patterns=["^x_", re.compile("(?i)pin")],
                    mask="[Filtered]", whole=True, defaults=True)
    assert (r.keys, r.ignore_case, r.contains, r.mask, r.keep_last, r.whole, r.defaults) == (
        ("Password",), True, ("Secret",), "[Filtered]", None, True, True)
    assert r.patterns == (re.compile("^x_"), re.compile("(?i)pin"))
    assert repr(r) == ("RuleOmitter(['Password'], ignore_case=True, contains=('Secret',), patterns=(re.compile('^x_'),"
                       " re.compile('(?i)pin', re.IGNORECASE)), mask='[Filtered]', whole=True, defaults=True)")
    assert repr(RuleNoTrustOmitter(keep_last=4)) == "RuleNoTrustOmitter([], keep_last=4)"
    assert repr(RuleOmitter(mask="")) == "RuleOmitter([], mask='')"
    assert RuleOmitter(whole=True).mask == "[Filtered]"
    with pytest.raises(AttributeError):
        r.contains = ("x",)
    bare = RuleOmitter.__new__(RuleOmitter)
    assert (bare.keys, bare.contains, bare.patterns, bare.mask, bare.whole) == (None, (), (), None, False)
    assert repr(bare) == "RuleOmitter(None)"


def test_types_extend_the_base_types():
    for cls, base in zip(TYPES, [omit.Omitter, omit.NoTrustOmitter]):
        assert cls.__base__ is base and isinstance(cls(), omit.Omitter)
        assert type(cls.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    assert DEFAULT_DENYLIST[:2] == ("password", "passwd") and all(w == w.casefold() for w in DEFAULT_DENYLIST)


LEAKED_BY_EXACT_MATCHING = {
    "Authorization": "Bearer abc", "authorization": "Basic xyz", "X-Api-Key": "k-123", "db_password": "hunter2",
    "stripeSecretKey": "sk_live_42", "Set-Cookie": "sid=1", "client_secret": "cs", "user": "ann", "id": "7",
}


def test_defaults_hide_the_spellings_exact_matching_leaks():
    data = dict(LEAKED_BY_EXACT_MATCHING)
    RuleOmitter(defaults=True).omit(data)
    assert {k for k, v in data.items() if v == LEAKED_BY_EXACT_MATCHING[k]} == {"user", "id"}
    assert omit.Omitter(["authorization", "password", "api_key", "secret"]).omit(
        dict(LEAKED_BY_EXACT_MATCHING)) != data  # exact keys miss most of them


def test_trusting_rules_and_never_trusted_defaults():
    n = RuleNoTrustOmitter(["id"], ignore_case=True, contains=["name"], defaults=True)
    data = {"ID": "7", "user_name": "ann", "name_token": "t", "Id": ["1"], "email": "a@b", "n": {"id": "8"}}
    assert n.omit(data) == {"ID": "7", "user_name": "ann", "name_token": "*", "Id": ["1"], "email": "***",
                            "n": {"id": "8"}}


class StrKey(str):
    def __hash__(self):
        return str.__hash__(self)


@pytest.mark.parametrize("cls", TYPES)
def test_only_exact_str_keys_meet_the_rules(cls):
    r = cls(["Pin", None, 5], ignore_case=True, contains=["pin"], patterns=["None"])
    hidden = cls is RuleOmitter
    data = {None: "n", "PIN": "p", 5: {"pin": "q"}}
    assert r.omit(data) == {None: "*" if hidden else "n", "PIN": "*" if hidden else "p", 5: {"pin": data[5]["pin"]}}
    assert data[5]["pin"] == ("*" if hidden else "q")
    with pytest.raises(TypeError, match="^Expected unicode, got StrKey$"):
        r.omit({StrKey("pin"): "x"})  # the walk's own rule for str values


class Exploding:
    def __eq__(self, other):
        raise ZeroDivisionError("boom")

    __hash__ = object.__hash__


@pytest.mark.parametrize("cls", TYPES)
def test_rules_answer_before_a_raising_key_item_is_compared(cls):
    r = cls(["a", Exploding()], contains=["secret"])
    assert r.omit({"my_secret": "s"}) == {"my_secret": "*" if cls is RuleOmitter else "s"}
    with pytest.raises(ZeroDivisionError, match="boom"):
        r.omit({"other": "x"})


def test_reinitialising_from_a_key_comparison_during_a_walk():
    # Each comparison re-initialises the omitter being walked with other
    # rules and another mask: the walk goes on, nothing is freed under it.
    assert_runs_clean("""
        from velmora.rules import RuleOmitter
        configs = [dict(contains=["a"], mask="M", whole=True), dict(patterns=["b$"], keep_last=1), dict()]
        class Reinit:
            calls = 0
            def __eq__(self, other):
                Reinit.calls += 1
                r.__init__(["k", Reinit()], **configs[Reinit.calls % 3])
                return False
            __hash__ = object.__hash__
        r = RuleOmitter(["k", Reinit()], contains=["a"])
        data = {f"k{i}": ["x" * i, {f"a{i}": "y" * i}] for i in range(200)}
        r.omit(data)
        assert Reinit.calls > 100
        print(r)
    """)


def test_repr_survives_a_key_whose_repr_reinitialises_the_omitter():
    assert_runs_clean("""
        from velmora.rules import RuleOmitter
        class Key:
            def __repr__(self):
                r.__init__(["other"], mask="M")  # lets go of the list being shown
                [bytearray(64) for _ in range(1000)]
                return "Key"
        r = RuleOmitter([Key(), "x" * 50, "y"], contains=["pin"])
        first, second = repr(r), repr(r)  # one state each: before, then after
        assert first == "RuleOmitter([Key, '" + "x" * 50 + "', 'y'], contains=('pin',))", first
        assert second == "RuleOmitter(['other'], mask='M')", second
    """)


class Audited(RuleOmitter):
    def omit(self, target):
        target["_seen"] = True
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        target.append("added")
        return super().omit_recurse(target, do)


def test_python_subclasses_still_override_the_walk():
    data = {"card": {"PIN": "1234"}, "pins": ["1"], "x": [{"Pin": "9"}]}
    assert Audited(contains=["pin"]).omit(data) == {
        "card": {"PIN": "****", "_seen": True}, "pins": ["*", "*****"], "x": [{"Pin": "*", "_seen": True}, "added"],
        "_seen": True}


@pytest.mark.parametrize("cls", TYPES)
def test_cycles_through_subclass_attributes_are_collected(cls):
    sub = type("Sub", (cls,), {})
    r = sub(contains=["x"], mask="M")
    r.me = r
    ref = weakref.ref(r)
    del r
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("cls", TYPES)
def test_no_leaks_in_construction_walks_and_views(cls):
    def build():
        return cls(["id"], ignore_case=True, contains=["Secret", "ẞ"], patterns=["^x"], mask="[F]", whole=True,
                   defaults=True)

    r = build()
    assert_no_leak(build, repeat=500)
    assert_no_leak(lambda: r.__init__(["a"], contains=["b"], keep_last=3), repeat=500)
    assert_no_leak(lambda: r.omit({"ID": "1", "X_y": ["v"], "SECRETS": "s", "ss": {"q": "r"}, None: "n"}))
    assert_no_leak(lambda: (repr(r), r.keys, r.contains, r.patterns, r.mask, r.keep_last), repeat=500)


def readme_table_of_modes():
    """The legend (column name: expression) and the rows of the README's
    table of modes, each row a key, its sample and one cell per column."""
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("<!-- rules-modes"):].split("\n\n")
    # A legend line may go on after its expression with what the column shows.
    legend = dict(re.findall(r"^- \*\*(.+?)\*\*: `([^`]+)`(?::.*)?$", section[0], re.M))
    table = [[cell.strip() for cell in line.strip("|").split("|")] for line in section[1].splitlines()]
    assert table[0][2:] == list(legend)
    return legend, table[2:]


LEGEND, ROWS = readme_table_of_modes()


def test_the_readme_table_of_modes_has_paths_and_types():
    expressions = " ".join(LEGEND.values())
    for needed in ("paths=", "$..", "numbers=\"zero\"", "numbers=\"digits\"", "booleans="):
        assert needed in expressions
    assert len(ROWS) >= 8


@pytest.mark.parametrize("name", list(LEGEND))
@pytest.mark.parametrize("how", ["omit", "redacted", "scan"])
def test_the_readme_table_of_modes_is_what_the_modes_do(name, how):
    """Each column is what its omitter makes of the sample, walked in place,
    copied by redacted() (which leaves the sample as it was), and scanned as
    JSON text."""
    from velmora.redact import redacted
    from velmora.scan import scan

    sample = {row[0].strip("`"): ast.literal_eval(row[1].strip("`")) for row in ROWS}
    column = 2 + list(LEGEND).index(name)
    expected = {row[0].strip("`"): ast.literal_eval(row[column].strip("`")) for row in ROWS}
    namespace = {"Omitter": omit.Omitter, "RuleOmitter": RuleOmitter, "RuleNoTrustOmitter": RuleNoTrustOmitter}
    omitter = eval(LEGEND[name], namespace)
    if how == "omit":
        got = omitter.omit(copy.deepcopy(sample))
    elif how == "redacted":
        before = copy.deepcopy(sample)
        got = redacted(omitter, sample)
        assert sample == before
    else:
        got = json.loads(scan(omitter, json.dumps(sample).encode()))
    assert got == expected
    # Types too: a zeroed float stays a float, a bool is not taken for an int.
    assert repr(got) == repr(expected)


@pytest.mark.parametrize("kind", ["omit", "walk_list"])
def test_signal_handlers_run_by_a_long_regex_search_meet_a_held_walk(kind):
    """A regex search lets signal handlers run every few thousand steps. A
    handler that empties the data while keys are matched must find the walk
    holding what it works on: the walk ends in an exception or finishes, and
    the process lives."""
    assert_runs_clean(f"""
        import signal, velmora.rules as r
        slow = "a" * 22 + "!"  # (a+)+$ backtracks for a long time on this key
        data = {{}}
        def build():
            data.clear()
            for i in range(40):
                data[f"{{slow}}{{i}}"] = "secret"
                data[f"k{{i}}"] = ["x", {{"n": "y"}}]
        fired = []
        def handler(signum, frame):
            fired.append(1)
            data.clear()
        signal.signal(signal.SIGALRM, handler)
        o = r.RuleOmitter(patterns=[r"(a+)+$"])
        for _ in range(3):
            build()
            signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
            try:
                o.{kind if kind == "omit" else "omit_recurse"}({"data" if kind == "omit" else "[data, data]"})
            except RuntimeError as exc:
                assert str(exc) == "dictionary changed size during iteration", exc
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        assert fired, "no signal arrived during the walks"
    """)


def test_pattern_answers_remembered_by_key_text_stay_right():
    """The patterns' answers are remembered by key text, in a table far
    smaller than the keys below: each answer must be the one for its own
    text, on every walk, whatever was remembered before; and no key object
    is kept alive by it."""
    import random
    import sys

    pattern = re.compile(r"(?i)to+ken|^k\d*7$|é")
    o = RuleOmitter(patterns=[pattern])
    keys = [f"k{i}" for i in range(2000)] + ["token", "TOOOKEN", "xtokenx", "clé", "k", "", "k" * 48, "k" * 49]
    rng = random.Random(5)
    for _ in range(3):
        rng.shuffle(keys)
        data = {k: "v" for k in keys}
        o.omit(data)
        assert [k for k in keys if data[k] == "*"] == [k for k in keys if pattern.search(k)]
    key = "".join(["ka", "pi7"])
    before = sys.getrefcount(key)
    o.omit({key: "x"})
    assert sys.getrefcount(key) == before
