"""What a rule omitter whose rules keep the tail of a secret must make of a
document, and hostile documents to try it on.

The model is plain Python and knows nothing of how the walk stores a mask:
a hidden str becomes a new str, '*' for every code point but the last
`keep` (all '*' when the str has `keep` code points or fewer), or the fixed
text of a `mask` policy. Containers are changed where they stand, as the
walk changes them, so a container met twice is seen the second time with
the first visit's masks.

A document is described by plain tuples, so that hypothesis can draw it
and a subprocess can build the very same one:

    ("s", text, hold)       a str value, and who else holds it (HOLDS)
    ("d", [(key, node)])    a dict
    ("l", [node])           a list
    ("i", n)                an int (numbers are kept)
    ("same", tag, text)     one str object, shared by every place of `tag`

Each str is built afresh from its text (never a constant of this module).
"""

import ctypes
import sys

from velmora.rules import RuleOmitter

# Who else holds a str value of the document when the walk starts.
HOLDS = (
    "fresh",   # the document alone
    "stash",   # a list outside the document
    "hash",    # nobody, but its hash was computed
    "intern",  # the interpreter's table of interned strs
    "utf8",    # nobody, but its UTF-8 form was asked for (non-ASCII: a copy)
    "wstr",    # nobody, but its wchar_t form was asked for (3.11 keeps it)
    "const",   # the constants of a code object
    "keyed",   # also a key of a dict outside the document
    "ctypes",  # a ctypes.py_object outside the document
)

KEYS = ("iban", "card", "pin", "name", "acct", "deep", "x")
EXACT = ("iban", "card", "pin")


def fresh(text):
    """A str equal to `text` that nobody else holds: built by a join of
    one-character pieces, never a constant, never interned."""
    return "".join([c for c in text]) if len(text) != 1 else text[:1] + ""


def raw(text):
    """The code units of `text`, surrogates included."""
    return text.encode("utf-8", "surrogatepass")


# ---- Omitters ---------------------------------------------------------------------


def policy_of(spec):
    """("keep", n) / ("mask", text) / None, as a policy dict."""
    if spec is None:
        return None
    kind, arg = spec
    return {"keep_last": arg} if kind == "keep" else {"mask": arg}


def make_omitter(config, detect=None):
    """config: (default, key_policies, paths) where default is a policy spec
    for the omitter's own (None: '*' per code point), key_policies maps
    exact keys to specs and paths maps "$.acct" / "$..deep" to specs."""
    default, key_policies, paths = config
    kwargs = {}
    if default is not None:
        kwargs["keep_last" if default[0] == "keep" else "mask"] = default[1]
    policies = {}
    for rule, spec in list(key_policies) + list(paths):
        if spec is not None:
            policies[rule] = policy_of(spec)
    return RuleOmitter(list(EXACT), paths=[p for p, _ in paths], policies=policies or None, detect=detect, **kwargs)


class Model:
    def __init__(self, config):
        default, key_policies, paths = config
        self.default = default
        self.key_policies = dict(key_policies)
        self.paths = dict(paths)

    @staticmethod
    def mask(spec, value):
        if spec is None:
            return "*" * len(value)
        kind, arg = spec
        if kind == "mask":
            return arg
        n = len(value)
        return "*" * n if n <= arg else "*" * (n - arg) + value[n - arg:]

    def omit(self, doc):
        self._dict(doc, top=True, subtree=None)
        return doc

    def _member(self, key, top, subtree):
        """(hidden, selected, policy spec, subtree for the value)."""
        path = None
        if top and key == "acct" and "$.acct" in self.paths:
            path = "$.acct"
        if key == "deep" and "$..deep" in self.paths:
            path = "$..deep"
        if path is not None:
            # A deeper path with no policy of its own leaves the search to
            # the rest: the subtree above, the key, the omitter's own.
            own = self.paths[path]
            inner = ("path", own) if own is not None else (subtree if subtree is not None else ("path", None))
            return True, True, self._policy(key, inner), inner
        if subtree is not None:
            return True, True, self._policy(key, subtree), subtree
        hidden = key in EXACT
        return hidden, False, self._policy(key, None), None

    def _policy(self, key, subtree):
        if subtree is not None and subtree[1] is not None:
            return subtree[1]
        if key in self.key_policies and self.key_policies[key] is not None:
            return self.key_policies[key]
        return self.default

    def _dict(self, d, top, subtree):
        for key in list(d):
            value = d[key]
            hidden, _, spec, inner = self._member(key, top, subtree)
            if type(value) is str:
                if hidden:
                    d[key] = self.mask(spec, value)
            elif type(value) is list:
                self._list(value, hidden, spec, inner)
            elif type(value) is dict:
                self._dict(value, False, inner)

    def _list(self, items, hidden, spec, subtree):
        for i, item in enumerate(items):
            if type(item) is str:
                if hidden:
                    items[i] = self.mask(spec, item)
            elif type(item) is list:
                self._list(item, hidden, spec, subtree)
            elif type(item) is dict:
                self._dict(item, False, subtree)


# ---- Building a document ------------------------------------------------------------


class World:
    """One document built from a description, and everything outside it
    that holds a str of it, with the code units each one had."""

    def __init__(self, description):
        self.outside = []  # (object, code units it must keep)
        self.keepalive = []  # what holds them: stash lists, dicts, code objects
        self.shared = {}
        self.keys = {}  # one object per key text, as json.loads shares them
        self.doc = self.node(description)

    def text(self, text, hold):
        s = fresh(text)
        if hold == "stash":
            self.keepalive.append(s)
            self.outside.append((s, raw(text)))
        elif hold == "hash":
            hash(s)
        elif hold == "intern":
            s = sys.intern(s)
            self.outside.append((s, raw(text)))
        elif hold == "utf8":
            try:
                as_utf8(s)
            except UnicodeEncodeError:
                pass
        elif hold == "wstr":
            as_wstr(s)
        elif hold == "const":
            code = compile(repr(text), "<kept-tail>", "eval")
            s = eval(code)  # the constant itself: the code object keeps it
            self.keepalive.append(code)
            self.outside.append((s, raw(text)))
        elif hold == "keyed":
            self.keepalive.append({s: 1})
            self.outside.append((s, raw(text)))
        elif hold == "ctypes":
            self.keepalive.append(ctypes.py_object(s))
            self.outside.append((s, raw(text)))
        return s

    def node(self, description):
        tag = description[0]
        if tag == "s":
            return self.text(description[1], description[2])
        if tag == "same":
            _, name, text = description
            if name not in self.shared:
                self.shared[name] = fresh(text)
            return self.shared[name]
        if tag == "i":
            return description[1]
        if tag == "l":
            return [self.node(item) for item in description[1]]
        d = {}
        for key, value in description[1]:
            d[self.keys.setdefault(key, fresh(key))] = self.node(value)
        return d


def as_utf8(s):
    """PyUnicode_AsUTF8AndSize: a str keeps the UTF-8 it makes (for ASCII,
    the UTF-8 is its own text)."""
    f = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    f.restype, f.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.POINTER(ctypes.c_ssize_t)]
    size = ctypes.c_ssize_t()
    address = f(s, ctypes.byref(size))
    if address is None:
        raise UnicodeEncodeError("utf-8", s, 0, len(s), "surrogates")
    return ctypes.string_at(address, size.value)


def as_wstr(s):
    """The wchar_t form a 3.11 str keeps once asked for (PyUnicode_AsUnicode,
    gone from 3.12 on); None where there is none to keep."""
    f = getattr(ctypes.pythonapi, "PyUnicode_AsUnicode", None)
    if f is None or sys.version_info >= (3, 12):
        return None
    f.restype, f.argtypes = ctypes.c_void_p, [ctypes.py_object]
    address = f(s)
    if address is None:
        return None
    return ctypes.wstring_at(address, len(s))


def strs_of(node, out=None):
    """Every str value and item of a document, with its place."""
    out = [] if out is None else out
    if type(node) is dict:
        for key, value in node.items():
            if type(value) is str:
                out.append(value)
            else:
                strs_of(value, out)
    elif type(node) is list:
        for item in node:
            if type(item) is str:
                out.append(item)
            else:
                strs_of(item, out)
    return out


def plain(node):
    """The document as plain data (a copy: no object shared with it)."""
    if type(node) is dict:
        return {fresh(k): plain(v) for k, v in node.items()}
    if type(node) is list:
        return [plain(v) for v in node]
    if type(node) is str:
        return fresh(node)
    return node
