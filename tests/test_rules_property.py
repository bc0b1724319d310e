"""The rule omitters' verdicts against a pure-Python reference of the rules,
observed through `omit` on generated data: str values, lists of str (which
the walk may decide through the quiet verdict) and nested dicts."""

import re

from hypothesis import given, settings
from hypothesis import strategies as st

import velmora.omit as omit
from velmora.redact import redacted
from velmora.rules import DEFAULT_DENYLIST, RuleNoTrustOmitter, RuleOmitter

# Letters whose case folding is not one character to one: 'ß' and 'ẞ' fold
# to "ss", 'İ' to "i̇", 'ﬀ' to "ff", and the three sigmas to 'σ'.
ALPHABET = "aAsSkKeEi_-ßẞİıIﬀfΣσς"
PATTERNS = ["^a", "(?i)ss$", "σ", "[ΣS]k", "e.e", "(?i)İ", "^$"]

texts = st.text(ALPHABET, max_size=5)
configs = st.fixed_dictionaries({
    "keys": st.lists(texts, max_size=4),
    "ignore_case": st.booleans(),
    "contains": st.lists(st.text(ALPHABET, min_size=1, max_size=3), max_size=3),
    "patterns": st.lists(st.sampled_from(PATTERNS), max_size=2),
    "defaults": st.booleans(),
})
values = st.sampled_from(["v", "vw", ["v", "xyz"], 7, None])
documents = st.dictionaries(st.one_of(texts, st.none(), st.sampled_from(["password", "X-Api-Key", "tokens"])),
                            values, max_size=12)


def rules_match(key, keys, config, *, default_words):
    """What the rules say about a key, as the documentation states them."""
    if type(key) is not str:
        return False
    folded = key.casefold()
    words = [w.casefold() for w in config["contains"]] + (list(DEFAULT_DENYLIST) if default_words else [])
    return ((config["ignore_case"] and folded in {k.casefold() for k in keys})
            or any(w in folded for w in words) or any(re.search(p, key) for p in config["patterns"]))


def hides(key, config, trusting):
    if not trusting:
        keys = config["keys"] + omit.globally_hidden()
        return rules_match(key, keys, config, default_words=config["defaults"]) or key in keys
    keys = list(set(config["keys"]) | set(omit.globally_trusted()))
    denied = config["defaults"] and type(key) is str and any(w in key.casefold() for w in DEFAULT_DENYLIST)
    return denied or not (rules_match(key, keys, config, default_words=False) or key in keys)


def expected(document, config, trusting):
    out = {}
    for key, value in document.items():
        hidden = hides(key, config, trusting)
        if isinstance(value, str):
            value = "*" * len(value) if hidden else value
        elif isinstance(value, list):
            value = ["*" * len(v) for v in value] if hidden else list(value)
        out[key] = value
    return out


def make(config, trusting):
    cls = RuleNoTrustOmitter if trusting else RuleOmitter
    return cls(list(config["keys"]), ignore_case=config["ignore_case"], contains=config["contains"],
               patterns=config["patterns"], defaults=config["defaults"])


@settings(max_examples=400, deadline=None)
@given(config=configs, document=documents, trusting=st.booleans(), module_wide=st.lists(texts, max_size=2))
def test_verdicts_match_the_reference(config, document, trusting, module_wide):
    (omit.always_trust if trusting else omit.always_omit)(module_wide)
    try:
        omitter = make(config, trusting)
        want = expected(document, config, trusting)
        # Walked twice, the second time nested: both the top-level walk and
        # a nested one (with answers remembered from the first) must agree.
        assert omitter.omit({k: list(v) if isinstance(v, list) else v for k, v in document.items()}) == want
        nested = {"n": {k: list(v) if isinstance(v, list) else v for k, v in document.items()}}
        assert omitter.omit(nested)["n"] == want
        # The copy-on-write walk asks the same table: same verdicts, and the
        # document itself left alone.
        pristine = {k: list(v) if isinstance(v, list) else v for k, v in document.items()}
        assert redacted(omitter, document) == want and document == pristine
    finally:
        omit.reset_omissions()
        omit.reset_trusted()
