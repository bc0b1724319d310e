"""Pure-Python model of the omission walk, for JSON-like data made of exact
built-in types (str, int, float, complex, bool, None, dict, list).

`model_omit` and `model_omit_recurse` never touch their argument: they return
a new, redacted deep copy. Keys of str and list values must be exactly str or
None, as in the module; anything the model does not cover raises ValueError.
"""

import copy

_LEFT_ALONE = (bool, int, float, complex, type(None))


def hides_key(kind, keys, key):
    """Whether an omitter of `kind` built on `keys` hides `key`."""
    if kind == "omitter":
        return key in keys
    if kind == "no_trust":
        return key not in keys
    raise ValueError(f"unknown omitter kind {kind!r}")


def _mask(text):
    return "*" * len(text)


def _check_key(key):
    if key is not None and type(key) is not str:
        raise ValueError(f"key of type {type(key).__name__} is refused")


def model_omit(data, should_hide):
    """Redacted copy of a dict: str values are masked under hidden keys,
    lists inherit their key's verdict, dicts decide by their own keys."""
    if type(data) is not dict:
        raise ValueError(f"not modelled: {type(data).__name__}")
    return model_redact_in_place(copy.deepcopy(data), should_hide)


def model_omit_recurse(data, should_hide, do=True):
    """Redacted copy of a list: str items are masked when `do` is true,
    nested lists share `do`, nested dicts decide by their own keys."""
    if type(data) is not list:
        raise ValueError(f"not modelled: {type(data).__name__}")
    return model_redact_in_place(copy.deepcopy(data), should_hide, do)


def model_redact_in_place(data, should_hide, do=True):
    """The walk done in place on `data`, as the module does it: a verdict
    reads whatever its key list holds at that moment, so a key list that is
    itself part of the data decides by what the walk has made of it so far.
    A ValueError leaves `data` partly redacted."""
    if type(data) is dict:
        for key, value in data.items():  # values are replaced, never added
            kind = type(value)
            if kind is str:
                _check_key(key)
                if should_hide(key):
                    data[key] = _mask(value)
            elif kind is dict:
                model_redact_in_place(value, should_hide)
            elif kind is list:
                _check_key(key)
                model_redact_in_place(value, should_hide, bool(should_hide(key)))
            elif kind not in _LEFT_ALONE:
                raise ValueError(f"not modelled: {kind.__name__}")
    elif type(data) is list:
        for i, item in enumerate(data):
            kind = type(item)
            if kind in (dict, list):
                model_redact_in_place(item, should_hide, do)
            elif kind is str:
                if do:
                    data[i] = _mask(item)
            elif kind not in _LEFT_ALONE:
                raise ValueError(f"not modelled: {kind.__name__}")
    else:
        raise ValueError(f"not modelled: {type(data).__name__}")
    return data


def walk_document(omitter, value):
    """The object walk of a parsed JSON document, as the text scanner must
    match it: a value at the top stands under no key, so its verdict is the
    omitter's answer for None (false for an Omitter of str keys, true for a
    NoTrustOmitter); a hidden top-level str gets the omitter's own mask."""
    from velmora.omit import NoTrustOmitter

    hide_top = isinstance(omitter, NoTrustOmitter)
    if type(value) is dict:
        return omitter.omit(value)
    if type(value) is list:
        return omitter.omit_recurse(value, hide_top)
    if type(value) is str and hide_top:
        return omitter.omit_recurse([value], True)[0]
    return value


def same_json(a, b):
    """Equality of parsed JSON that takes NaN as equal to itself and keys in
    order."""
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True
    if type(a) is not type(b):
        return False
    if type(a) is dict:
        return list(a) == list(b) and all(same_json(a[k], b[k]) for k in a)
    if type(a) is list:
        return len(a) == len(b) and all(same_json(x, y) for x, y in zip(a, b))
    return a == b
