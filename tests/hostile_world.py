"""Hostile data for the omission walk, built twice from one byte string.

`recipe_from_bytes(data)` reads a small, bounded description of a world from
the bytes: nested dicts, lists and instance dicts, an omitter (kind, key
list, maybe a Python subclass with overrides), and hostile objects mixed
into the data and the key list:

- values whose `__class__` property (read by the number test) runs actions,
  may re-type the value to a fresh class holding a collection and collect
  garbage, and may answer `bool`;
- dict keys whose hash collides with a hidden key and whose `__eq__` runs
  actions (and may answer False while the data is built, then True: a store
  under the equal key then reaches the colliding key's entry), and
  str-subclass keys whose `__hash__` runs actions (stores hash them);
- values with a finaliser, or a weak-reference callback, that runs actions
  when the value is released;
- key-list items whose `__eq__` runs actions and answers True or False;
- overrides of `omit`/`omit_recurse` that call super(), return None, return a
  fresh container or one of the wrong type, or run actions before or after.

Actions change the world: set, delete, add or re-add entries of its
containers, clear them, replace the value under the key being compared,
re-initialise the omitter, set its key list to None or to a list of the
data, change its key list,
raise, collect garbage, walk a container again (with the omitter or with a
copy of it sharing its key list), or run other actions on a short thread
that is joined at once. Each hostile object acts a bounded
number of times, and only while its world is armed.

`World(recipe, native)` builds one world: with native=True the omitter is a
`velmora.omit` object, otherwise the model of `hostile_model`. `run_world`
walks it and returns the outcome, the final state of every container the
world knows and the log of every hostile call, so that two worlds can be
compared whole. Hostile objects reach their world through a weak reference,
so no world is kept alive by its own data; the collector is off during a
walk (only the actions collect), so finalisers run at the same moments in
both worlds.
"""

import collections
import copy
import gc
import sys
import threading
import traceback
import weakref

import hostile_model as hm
import velmora.omit as m

# CPython 3.13.0's dict.clear() of an instance dict (a split table, whose
# values are the object's inline values or, once the object is gone, its own
# copy of them) releases the values before it empties the dict. A finaliser
# or weak-reference callback that the release runs and that changes the dict
# again then frees the copied values twice (another clear), reads freed
# memory, or crashes storing into it; a pure-Python program does it, with
# the module never imported (tests/test_walk_hostile.py runs one). On that
# interpreter a world empties its instance dicts entry by entry instead, each
# value released once its entry is gone; elsewhere it calls clear(). (This
# is also what crashed 3.13.0 in worlds with keys that turn equal under the
# walk, which were once kept out of its worlds for it.)
_INSTANCE_DICT_CLEARS_CRASH_THE_INTERPRETER = sys.version_info[:3] == (3, 13, 0)

TEXTS = ["password", "token", "a", "", "ß", "x" * 70, "id", "b", "**"]
SOURCE_FILES = ("src\\\\velmora\\\\omit", "<stringsource>")
EXCEPTIONS = [ValueError, KeyError, RuntimeError, IndexError]
OVERRIDE_MODES = ["super", "super", "none", "replace", "wrong", "before", "after"]


class Source:
    """Choices read from bytes; zeros once they run out."""

    def __init__(self, data):
        self.data, self.pos = bytes(data), 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        return self.byte() % n if n > 1 else 0

    def flag(self):
        return self.byte() & 1 == 1

    def pick(self, seq):
        return seq[self.below(len(seq))]


# ---- The recipe: plain tuples, read from the bytes once ------------------------

class _Gen:
    def __init__(self, src):
        self.src, self.hooks, self.nodes, self.aliases = src, 0, 0, 0

    def hid(self):
        self.hooks += 1
        return self.hooks

    def text(self):
        return self.src.pick(TEXTS)

    def limit(self):
        return 1 + self.src.below(3)

    def actions(self, depth=0):
        return [self.action(depth) for _ in range(1 + self.src.below(2))]

    def action(self, depth):
        s = self.src
        op = s.below(15)
        if op == 0:
            return ("set", s.byte(), s.byte(), self.simple(depth))
        if op == 1:
            return ("del", s.byte(), s.byte())
        if op == 2:
            return ("add", s.byte(), self.text(), self.simple(depth))
        if op == 3:
            return ("clear", s.byte())
        if op == 4:
            return ("readd", s.byte(), s.byte())
        if op == 5:
            return ("setarg", self.simple(depth))
        if op == 6:
            return ("reinit", [self.item(depth + 1) for _ in range(s.below(3))])
        if op == 7:
            return ("setstate", s.byte()) if s.flag() else ("setstate_none",)
        if op == 8:
            return ("raise", s.below(len(EXCEPTIONS)))
        if op == 9:
            return ("gc",)
        if op == 10:
            return ("reenter", s.byte()) if s.below(3) else ("copy", s.byte())
        if op == 11 and depth < 2:
            return ("thread", self.actions(depth + 1))
        if op == 12:
            return ("keylist", s.below(3), self.text())
        if op == 13:
            return ("retype",) if s.flag() else ("own", s.below(3))
        return ("setarg", self.simple(depth))

    def simple(self, depth):
        """A value an action stores: made afresh each time it acts."""
        s = self.src
        pick = s.below(8)
        if pick == 0:
            return ("i", s.below(5))
        if pick == 1 and depth < 2:
            return ("fin", self.hid(), self.limit(), self.actions(depth + 1))
        if pick == 2:
            return ("d", False, [(("s", self.text()), ("s", self.text()))])
        if pick == 3:
            return ("l", False, [("s", self.text())])
        if pick == 4:
            return ("n",)
        return ("s", self.text())

    def key(self, depth):
        s = self.src
        pick = s.below(12)
        if pick == 8:
            return ("n",)
        if pick == 9:
            return ("i", s.below(3))
        if pick in (7, 10):
            # At times an answer that is false while the data is built and
            # true once it is walked, and at times no actions: the key then
            # only misleads the lookups of the key it collides with.
            answer = ("late", self.hid(), 0, []) if s.below(3) == 0 else self.answer(depth + 1)
            actions = self.actions(depth + 1) if s.flag() else []
            return ("col", self.hid(), self.limit(), self.text(), answer, actions)
        if pick == 11:
            return ("hk", self.hid(), self.limit(), self.text(), self.actions(depth + 1))
        return ("s", self.text())

    def answer(self, depth):
        """What an `__eq__` answers: False, True, or an object whose
        `__bool__` runs actions and answers one of them."""
        pick = self.src.below(4)
        if pick == 3 and depth < 2:
            return ("truth", self.hid(), self.limit(), self.src.flag(), self.actions(depth + 1))
        return pick == 2

    def item(self, depth):
        """An item of a key list."""
        pick = self.src.below(6)
        if pick == 4:
            return ("n",)
        if pick == 5 and depth < 2:
            return ("eq", self.hid(), self.limit(), self.answer(depth), self.actions(depth + 1))
        return ("s", self.text())

    def value(self, depth):
        s = self.src
        self.nodes += 1
        room = depth < 3 and self.nodes < 24
        pick = s.below(20)
        if pick < 5 or (pick >= 15 and not room):
            return ("s", self.text())
        if pick == 5:
            return s.pick([("i", 7), ("f",), ("b",), ("n",), ("t",), ("y",), ("c",)])
        if pick == 6:
            return ("cls", self.hid(), self.limit(), s.flag(), s.pick(["object", "object", "str", "dict", "list"]),
                    self.actions())
        if pick == 7:
            return ("fin", self.hid(), self.limit(), self.actions())
        if pick == 8:
            return ("weak", self.hid(), self.limit(), self.actions())
        if pick == 9:
            return ("ss", self.text())
        if pick == 10:
            return ("keylist",)
        if pick == 11:
            return s.pick([("od",), ("ls",)])
        if pick == 12 and self.aliases < 2:  # more could nest into exponential walks
            self.aliases += 1
            return ("alias", s.byte())
        if pick in (13, 14, 15, 16):
            return self.container(depth + 1)
        return ("inst", True, [(self.text(), self.value(depth + 1)) for _ in range(s.below(4))])

    def container(self, depth, kind=None):
        s = self.src
        kind = kind or s.pick(["d", "d", "l"])
        anchored = s.below(4) != 0
        if kind == "d":
            entries = []
            for _ in range(s.below(5)):
                key = self.key(depth)
                entries.append((key, self.value(depth)))
                # A colliding key, at times followed by the key it collides
                # with; always when it turns equal only once walked.
                late = key[0] == "col" and type(key[4]) is tuple and key[4][0] == "late"
                if key[0] == "col" and (late or s.below(4) == 0):
                    entries.append((("s", key[3]), self.value(depth) if s.flag() else ("s", self.text())))
            return ("d", anchored, entries)
        return ("l", anchored, [self.value(depth) for _ in range(s.below(5))])


def recipe_from_bytes(data):
    src = Source(data)
    gen = _Gen(src)
    kind = src.pick(["omitter", "no_trust"])
    keys = [gen.item(0) for _ in range(src.below(5))]
    sub = None
    if src.flag():
        sub = (gen.hid(), src.pick(OVERRIDE_MODES), src.pick(OVERRIDE_MODES), gen.limit(), gen.actions(),
               src.below(4))
    root = gen.container(0, src.pick(["d", "d", "l"]))
    return {"kind": kind, "keys": keys, "sub": sub, "root": root, "do": src.flag()}


# ---- Hostile objects -------------------------------------------------------------

class Hostile:
    """Runs its actions in its world, at most `left` times, while armed."""

    def setup(self, world, hid, limit, actions):
        self.world, self.hid, self.left, self.actions = world.me, hid, limit, actions
        return self

    def __repr__(self):  # messages that show it compare equal across worlds
        return f"<hostile {self.hid}>"

    def __del__(self):
        # Every hostile object's death is logged: it must come at the same
        # moment in both worlds. (Fin acts on it as well.)
        world = self.__dict__.get("world")
        world = world() if world is not None else None
        if world is not None and world.armed:
            world.log.append((self.hid, "gone"))
        self = world = None

    def fire(self, event, arg=None):
        # Hook code clears its locals on the way out, as the model does: a
        # traceback that kept this frame would otherwise keep them alive,
        # and only one of the two worlds might have such a traceback.
        world = self.world()
        try:
            if world is None or not world.armed or self.left <= 0:
                return
            self.left -= 1
            world.log.append((self.hid, event))
            world.perform(self.actions, arg, self)
        finally:
            self = arg = world = None


class ClassHookBase(Hostile):
    """Its `__class__` property runs actions; answers bool or its own class."""

    @property
    def __class__(self):
        try:
            self.fire("class")
            return bool if self.as_bool else type(self)
        finally:
            self = None


class Retyped:
    """What a ClassHook value may be re-typed to; each re-typing makes a fresh
    subclass, so the value's old class is garbage then."""
    items = ["x", {"y": "z"}]


class Fin(Hostile):
    def __del__(self):
        self.fire("del")
        self = None


class Weak(Hostile):
    """A value whose death a weak reference's callback reports."""


class WeakCallback(Hostile):
    def __call__(self, ref):
        self.fire("weak")
        self = ref = None


class Truth(Hostile):
    """An answer of `__eq__` whose truth test runs actions."""

    def __bool__(self):
        try:
            self.fire("bool")
            return self.value
        finally:
            self = None


class Late:
    """An answer of `__eq__` that is false while its world is built and true
    once it is walked: two keys that were distinct when the data went in
    compare equal under the walk."""

    def setup(self, world, hid, limit, actions):
        self.world = world.me
        return self

    def __bool__(self):
        world = self.world()
        try:
            return world is not None and world.armed
        finally:
            self = world = None


class Collide(Hostile):
    """A dict key whose hash is that of a str key, compared by `__eq__`."""

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        try:
            self.fire("eq", other)
            return self.answer
        finally:
            self = other = None


class HookKey(str, Hostile):
    """A str-subclass dict key whose hashing runs actions."""

    def __hash__(self):
        try:
            self.fire("hash")
            return str.__hash__(self)
        finally:
            self = None

    __eq__ = str.__eq__


class EqItem(Hostile):
    """A key-list item: `__eq__` runs actions and answers `answer`."""

    def __hash__(self):
        return hash(("eq", self.hid))

    def __eq__(self, other):
        try:
            self.fire("eq", other)
            return self.answer
        finally:
            self = other = None


class StrValue(str):
    pass


class ListValue(list):
    pass


def make_subclass(world, base, sub):
    hid, omit_mode, rec_mode, limit, actions, own = sub
    me = world.me
    state = {"left": limit}

    def enter(name, mode, target):
        w = me()
        try:
            if w is None or not w.armed:
                return "super"
            w.log.append((hid, name, mode))
            if mode in ("before", "after"):
                if state["left"] <= 0:
                    return "super"
                state["left"] -= 1
                if mode == "before":
                    w.perform(actions, target, None)
            return mode
        finally:
            w = target = None  # (see Hostile.fire)

    class Sub(base):
        def omit(self, target):
            result = None
            try:
                mode = enter("omit", omit_mode, target)
                if mode == "none":
                    return None
                if mode == "replace":
                    return {"password": "fresh", "n": 1}
                if mode == "wrong":
                    return ["wrong"]
                result = super().omit(target)
                if mode == "after" and me() is not None:
                    me().perform(actions, target, None)
                return result
            finally:
                self = target = result = None

        def omit_recurse(self, target, do=True):
            result = None
            try:
                mode = enter("omit_recurse", rec_mode, target)
                if mode == "none":
                    return None
                if mode == "replace":
                    return ["fresh", {"password": "x"}]
                if mode == "wrong":
                    return {"wrong": 1}
                result = super().omit_recurse(target, do)
                if mode == "after" and me() is not None:
                    me().perform(actions, target, None)
                return result
            finally:
                self = target = result = None

    return Sub


# ---- A world -------------------------------------------------------------------------

class World:
    def __init__(self, recipe, native):
        self.native, self.recipe = native, recipe
        self.me = weakref.ref(self)
        self.armed = False
        self.log, self.anchors, self.done, self.weakrefs = [], [], [], []
        self.instance_dicts = []
        if recipe["kind"] == "omitter":
            base = m.Omitter if native else hm.ModelOmitter
        else:
            base = m.NoTrustOmitter if native else hm.ModelNoTrustOmitter
        cls = make_subclass(self, base, recipe["sub"]) if recipe["sub"] else base
        self.inst_type = type("Inst", (), {})
        self.omitter = cls([self.make_item(x) for x in recipe["keys"]])
        # The module's own functions, unbound, in the instance dict: the
        # walk then calls no method for nested containers, and remembers
        # the dict versions that let it skip the lookup.
        base_type = m.Omitter if native else hm.ModelOmitter
        self.own = {"omit": base_type.omit, "omit_recurse": base_type.omit_recurse}
        if recipe["sub"]:
            self.set_own(recipe["sub"][5])
        self.keylist = self.key_list()
        self.copy = copy.copy(self.omitter)
        self.root = self.make(recipe["root"])

    def set_own(self, which):
        """0: none, 1: omit, 2: omit_recurse, 3: both, in the instance dict."""
        for bit, name in ((1, "omit"), (2, "omit_recurse")):
            if which & bit:
                self.omitter.__dict__[name] = self.own[name]
            else:
                self.omitter.__dict__.pop(name, None)

    def walk(self, c, do=True):
        """Walk `c` as the Python-level call through the class does."""
        cls = type(self.omitter)
        return cls.omit(self.omitter, c) if type(c) is dict else cls.omit_recurse(self.omitter, c, do)

    def key_list(self):
        o = self.omitter
        index = 0 if self.recipe["kind"] == "omitter" else 1
        if self.native:
            reduced = o.__reduce__()
            return reduced[2][index] if len(reduced) > 2 else None
        return o.omissions if index == 0 else o.trusted

    # -- building --
    def hostile(self, cls, s):
        return cls().setup(self, s[1], s[2], s[-1])

    def make_answer(self, s):
        if type(s) is bool:
            return s
        if s[0] == "late":
            return self.hostile(Late, s)
        truth = self.hostile(Truth, s)
        truth.value = s[3]
        return truth

    def make_item(self, s):
        if s[0] == "eq":
            item = self.hostile(EqItem, s)
            item.answer = self.make_answer(s[3])
            return item
        return None if s[0] == "n" else s[1]

    @staticmethod
    def fresh(text):
        """An equal str object of its own, as parsed data has, rather than
        the one shared constant (identity would decide every comparison)."""
        return text.encode("utf-8").decode("utf-8")

    def make_key(self, s):
        if s[0] == "col":
            key = self.hostile(Collide, s)
            key.text, key.answer = s[3], self.make_answer(s[4])
            return key
        if s[0] == "hk":
            return str.__new__(HookKey, s[3]).setup(self, s[1], s[2], s[4])
        if s[0] == "n":
            return None
        return self.fresh(s[1]) if s[0] == "s" else s[1]

    def make(self, s):
        k = s[0]
        if k == "s":
            return self.fresh(s[1])
        if k == "i":
            return s[1]
        simple = {"f": 1.5, "b": True, "n": None, "t": (1, "x"), "y": b"xy", "c": 2j}
        if k in simple:
            return simple[k]
        if k == "ss":
            return StrValue(s[1])
        if k == "od":
            return collections.OrderedDict(a="b")
        if k == "ls":
            return ListValue(["ab"])
        if k == "keylist":
            return self.keylist
        if k == "alias":
            return self.done[s[1] % len(self.done)] if self.done else None
        if k == "cls":
            base = {"object": (), "str": (str,), "dict": (dict,), "list": (list,)}[s[4]]
            cls = type("ClassHook", (ClassHookBase, *base), {})
            obj = (str.__new__(cls, "secret") if s[4] == "str" else cls()).setup(self, s[1], s[2], s[-1])
            obj.as_bool = s[3]
            return obj
        if k == "fin":
            return self.hostile(Fin, s)
        if k == "weak":
            obj = self.hostile(Weak, s)
            self.weakrefs.append(weakref.ref(obj, self.hostile(WeakCallback, s)))
            return obj
        if k == "inst":
            holder = self.inst_type()
            for name, v in s[2]:
                setattr(holder, self.fresh(name), self.make(v))
            made = holder.__dict__
            self.instance_dicts.append(made)
        elif k == "d":
            made = {}
            for key, v in s[2]:
                made[self.make_key(key)] = self.make(v)
        else:
            made = [self.make(v) for v in s[2]]
        if s[1]:
            self.anchors.append(made)
            self.done.append(made)
        return made

    # -- acting --
    def anchor(self, r):
        return self.anchors[r % len(self.anchors)] if self.anchors else self.root

    def store(self, c, slot, recipe):
        """c[slot] = a new value, held here until the store is over: once
        the interpreter has specialised the store, it hands its own
        reference to the container, and a finaliser run by the store could
        otherwise free the new value at once (or not, before that)."""
        value = self.make(recipe)
        try:
            c[slot] = value
        finally:
            self = c = slot = value = None

    def perform(self, actions, arg, owner):
        try:
            for action in actions:
                self.act(action, arg, owner)
        finally:
            self = actions = arg = owner = action = None

    def act(self, a, arg, owner):
        try:
            op = a[0]
            if op in ("set", "del", "readd"):
                c = self.anchor(a[1])
                if not c:
                    return
                slot = list(c)[a[2] % len(c)] if type(c) is dict else a[2] % len(c)
                if op == "set":
                    self.store(c, slot, a[3])
                elif op == "del":
                    del c[slot]
                elif type(c) is dict:
                    value = c.pop(slot)
                    c[slot] = value
                else:
                    c.append(c.pop(slot))
            elif op == "add":
                c = self.anchor(a[1])
                if type(c) is dict:
                    self.store(c, a[2], a[3])
                else:
                    c.append(self.make(a[3]))
            elif op == "clear":
                c = self.anchor(a[1])
                if _INSTANCE_DICT_CLEARS_CRASH_THE_INTERPRETER and any(c is d for d in self.instance_dicts):
                    for slot in list(c):
                        c.pop(slot, None)
                else:
                    c.clear()
            elif op == "setarg":
                if arg is None or type(arg) is str:
                    for c in self.anchors:
                        if type(c) is dict and arg in c:
                            self.store(c, arg, a[1])
            elif op == "reinit":
                self.omitter.__init__([self.make_item(x) for x in a[1]])
            elif op == "setstate_none":
                self.omitter.__setstate__((None,) if self.recipe["kind"] == "omitter" else (None, None))
            elif op == "setstate":
                # A list of the data becomes the key list: the walk may then
                # mask the very keys it decides by.
                lists = [c for c in self.anchors if type(c) is list]
                keys = lists[a[1] % len(lists)] if lists else None
                self.omitter.__setstate__((keys,) if self.recipe["kind"] == "omitter" else (None, keys))
            elif op == "raise":
                raise EXCEPTIONS[a[1]]("hostile")
            elif op == "gc":
                gc.collect()
            elif op == "reenter":
                self.walk(self.anchor(a[1]))
            elif op == "copy":
                # Another omitter sharing the key list (copy.copy shares it)
                # walks a container: it may mask the keys this one decides by.
                c = self.anchor(a[1])
                other = self.copy
                if type(c) is dict:
                    type(other).omit(other, c)
                else:
                    type(other).omit_recurse(other, c, True)
            elif op == "own":
                if hasattr(self.omitter, "__dict__"):
                    if a[1] == 2:  # a change of the class dict
                        type(self.omitter).touched = getattr(type(self.omitter), "touched", 0) + 1
                    else:
                        self.set_own(3 * a[1])
            elif op == "thread":
                errors = []

                def body():
                    try:
                        self.perform(a[1], arg, owner)
                    except BaseException as exc:  # noqa: BLE001 - reported in the log
                        errors.append(type(exc).__name__)
                worker = threading.Thread(target=body)
                worker.start()
                worker.join()
                self.log.append(("thread", errors))
            elif op == "keylist":
                kl = self.keylist
                if type(kl) is not list:
                    return
                if a[1] == 0:
                    kl.append(a[2])
                elif a[1] == 1:
                    kl.clear()
                else:
                    kl[:] = [a[2]]
            elif op == "retype":
                if isinstance(owner, ClassHookBase):  # reads its class: fires nothing more
                    new = type("Retyped", (Retyped,), {"items": [["x"], {"y": "z"}]})
                    object.__dict__["__class__"].__set__(owner, new)
                    gc.collect()
        finally:
            # (See Hostile.fire.)
            self = a = arg = owner = c = slot = value = other = kl = keys = lists = worker = body = new = None

    # -- observing --
    def describe(self, obj, seen):
        t = type(obj)
        if t in (str, int, float, bool, complex, bytes, tuple) or obj is None:
            return (t.__name__, obj)
        if t in (dict, list, collections.OrderedDict, ListValue):
            if id(obj) in seen:
                return ("seen", seen[id(obj)])
            seen[id(obj)] = len(seen)
            if t is dict or t is collections.OrderedDict:
                return (t.__name__, [(self.describe(k, seen), self.describe(v, seen)) for k, v in obj.items()])
            return (t.__name__, [self.describe(v, seen) for v in obj])
        if issubclass(t, str):
            return (t.__name__, str.__str__(obj))
        return ("hostile", t.__name__, getattr(obj, "__dict__", {}).get("hid"))

    def state(self):
        seen = {}
        current = self.key_list()
        return [self.describe(x, seen) for x in [self.root, *self.anchors, self.keylist, current]]


def native_entries(exc):
    """The module's own traceback entries; every one the walk adds names
    the module's source file."""
    return [(f.name, f.lineno) if f.filename == SOURCE_FILES[0] else (f.name, f.lineno, f.filename)
            for f in traceback.extract_tb(exc.__traceback__) if f.filename in SOURCE_FILES]


_unraisable = []


def _record_unraisable(info):
    _unraisable.append(("unraisable", type(info.exc_value).__name__, str(info.exc_value)))


def run_world(world):
    """Walk the world's root with its omitter: (outcome, state, log)."""
    hook, sys.unraisablehook = sys.unraisablehook, _record_unraisable
    _unraisable.clear()
    was_enabled = gc.isenabled()
    gc.disable()
    world.armed = True
    result = None
    try:
        root = world.root
        result = world.walk(root, world.recipe["do"])
        outcome = ("ok", "same" if result is root else world.describe(result, {}))
    except BaseException as exc:  # noqa: BLE001 - the outcome compared
        found = native_entries(exc) if world.native else hm.entries(exc)
        context = exc.__context__
        outcome = ("raised", type(exc).__name__, str(exc), found,
                   None if context is None else (type(context).__name__, str(context)))
        context = None
    finally:
        world.armed = False
        if was_enabled:
            gc.enable()
        sys.unraisablehook = hook
    world.log.extend(_unraisable)
    result = None
    return outcome, world.state(), world.log


def differential(data):
    """Build the world of `data` (bytes, or a recipe) twice, walk one with the
    module and one with the model, and return both results."""
    recipe = data if type(data) is dict else recipe_from_bytes(data)
    native = run_world(World(recipe, True))
    model = run_world(World(recipe, False))
    # Garbage of earlier worlds (their classes are cycles) is collected now
    # and then: a world is disarmed once walked, so whatever its objects do
    # when collected, here or in an action's collection, changes nothing.
    _runs[0] += 1
    if _runs[0] % 25 == 0:
        gc.collect()
    return recipe, native, model


_runs = [0]


def check(data):
    """AssertionError when the module and the model differ on `data`
    (bytes, or a recipe)."""
    recipe, native, model = differential(data)
    for what, a, b in zip(("outcome", "state", "log"), native, model):
        assert a == b, f"{what} differs\nrecipe: {recipe!r}\nmodule: {a!r}\nmodel:  {b!r}"
    return native
