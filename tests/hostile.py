"""Objects that run code at the moment a walk, a store, a comparison or a
release touches them, shared by the test areas. Each takes the code to run
as a callable."""

import velmora.omit as m


class Hook:
    """Runs `fn` at most `limit` times (always when None)."""

    def __init__(self, fn, limit=None):
        self.fn, self.limit = fn, limit

    def fire(self):
        if self.limit is None or self.limit > 0:
            self.limit = None if self.limit is None else self.limit - 1
            self.fn()


class ClassHook(Hook):
    """A value whose `__class__` lookup, made by the walk's number test, fires."""

    @property
    def __class__(self):
        self.fire()
        return ClassHook


class EqHook(Hook):
    """A key-list item whose `__eq__` fires and answers False."""

    def __eq__(self, other):
        self.fire()
        return False

    __hash__ = object.__hash__


class RaisingEq:
    """A key-list item whose equality test raises KeyError('eq')."""

    def __eq__(self, other):
        raise KeyError("eq")

    __hash__ = object.__hash__


class Finaliser:
    """Runs `fn` when it is freed."""

    def __init__(self, fn):
        self.fn = fn

    def __del__(self):
        self.fn()


class IntSub(int):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class PassThrough(m.Omitter):
    """A Python subclass that overrides nothing: its nested containers go
    through the override dispatch and find the built-in methods."""


class PassThroughNoTrust(m.NoTrustOmitter):
    """The same for NoTrustOmitter."""


class LateEqual:
    """A dict key that hashes like `text` and compares equal to nothing but
    itself until `turned` is set, then to everything, running `hook` (a
    Hook) first: two keys that were distinct when the data went in collide
    under the walk."""

    def __init__(self, text, hook=None):
        self.text, self.hook, self.turned = text, hook, False

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if not self.turned:
            return other is self
        if self.hook is not None:
            self.hook.fire()
        return True

    def __repr__(self):
        return f"LateEqual({self.text!r})"
