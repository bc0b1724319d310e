"""A reference model of the in-place walk, and hostile worlds to run it on.

The model is plain Python and does what the walk is documented to do, step
by step in the same order, so that every callback data or key lists can run
(equality tests of key-list items, `__class__` lookups in the number test,
finalisers, overrides, key comparisons in stores) runs at the same point in
the model as in the module. A world is built twice from one description:
once for the module and once for the model, each with its own containers
and hostile objects, which act on their own world. Both are then compared
by what can be seen from Python: the data, the log of callbacks, the
exception, and the text of every str someone kept aside.

Descriptions are plain tuples, so hypothesis draws them and a subprocess can
rebuild the same world.
"""

import sys

from velmora.omit import NoTrustOmitter, Omitter

ALPHABET = "abcdefgh"


# ---- The model walk ---------------------------------------------------------------


class ModelOmitter:
    """An omitter as the walk sees it: a key list, the rule, and the
    Python-level methods a subclass may override (None: not overridden)."""

    def __init__(self, keys, trusting, override=None):
        self.keys = keys
        self.trusting = trusting
        self.override = override  # (world, behaviour) or None

    def should_hide(self, key):
        found = key in self.keys  # list membership: items compared in order
        return not found if self.trusting else found

    # The Python-level methods (skip_override set).
    def omit(self, target):
        return self._entry("omit", target, None)

    def omit_recurse(self, target, do=True):
        return self._entry("omit_recurse", target, do)

    def _entry(self, method, target, do):
        if self.override is not None:
            world, behaviour = self.override
            return behaviour(world, method, target, do, lambda t, d=do: self._walk(method, t, d))
        return self._walk(method, target, do)

    def _walk(self, method, target, do):
        return walk_omit(self, target) if method == "omit" else walk_omit_recurse(self, target, bool(do))

    # Slots 2 and 3 called by the walk for nested containers (skip_override
    # clear): an override answers, and its answer must be of the exact type.
    def _slot(self, method, target, do):
        if self.override is None:
            return self._walk(method, target, do)
        answer = self._entry(method, target, do)
        expected = dict if method == "omit" else list
        if answer is not None and type(answer) is not expected:
            raise TypeError(f"Expected {expected.__name__}, got {type(answer).__name__}")
        return answer


def unexpected(name, obj):
    return TypeError(f"Expected {name}, got {type(obj).__name__}")


def is_number(value):
    # isinstance() looks `__class__` up for anything not exactly bool: the
    # callback runs here, as in the module. A str, dict or list subclass that
    # claims bool is still taken for what its type says (else it would pass
    # unmasked).
    claims_bool = isinstance(value, bool)
    tp = type(value)
    if claims_bool:
        return not issubclass(tp, (str, dict, list))
    return issubclass(tp, (int, float, complex))


def walk_omit(om, target):
    if target is None:
        raise AttributeError("'NoneType' object has no attribute 'items'")
    size = len(target)
    position = 0
    key = value = None  # the pair held, as the loop variables of items()
    try:
        while True:
            if len(target) != size:
                raise RuntimeError("dictionary changed size during iteration")
            # Entries by position, without hashing or comparing anything.
            pairs = list(target.items())
            if position >= len(pairs):
                break
            key, value = pairs[position]
            del pairs
            position += 1
            if is_number(value):
                continue
            tp = type(value)
            if issubclass(tp, str):
                if type(key) is not str and key is not None:
                    raise unexpected("unicode", key)
                if not om.should_hide(key):
                    continue
                if tp is not str:
                    raise unexpected("unicode", value)
                target[key] = "*" * len(value)
            elif issubclass(tp, dict):
                if tp is not dict:
                    raise unexpected("dict", value)
                target[key] = om._slot("omit", value, None)
            elif issubclass(tp, list):
                if type(key) is not str and key is not None:
                    raise unexpected("unicode", key)
                hide = om.should_hide(key)
                if tp is not list:
                    raise unexpected("list", value)
                target[key] = om._slot("omit_recurse", value, hide)
    except BaseException:
        key = None
        value = None
        raise
    return target


def walk_omit_recurse(om, target, do):
    if target is None:
        raise TypeError("object of type 'NoneType' has no len()")
    item = None
    try:
        for i in range(len(target)):
            if i >= len(target):
                raise IndexError("list index out of range")
            item = target[i]
            tp = type(item)
            container = dict if issubclass(tp, dict) else list if issubclass(tp, list) else None
            if container is not None:
                if tp is not container:
                    raise unexpected(container.__name__, item)
                walked = om._slot("omit", item, None) if container is dict else om._slot("omit_recurse", item, do)
                if not (i < len(target) and target[i] is walked):
                    target[i] = walked
                del walked
            elif do and issubclass(tp, str):
                if tp is not str:
                    raise unexpected("unicode", item)
                target[i] = "*" * len(item)
    except BaseException:
        item = None
        raise
    return target


# ---- Hostile worlds -------------------------------------------------------------------


def fresh(text):
    """A str of `text` that nobody else holds, never hashed nor interned."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


class World:
    """Containers by number, what callbacks kept aside, and the log."""

    def __init__(self, real):
        self.real = real
        self.containers = []
        self.log = []
        self.stash = []
        self.count = 0
        self.omitter = None
        self.dead = True  # callbacks act only once the world is built

    def label(self, prefix):
        self.count += 1
        return f"{prefix}{self.count}"

    def container_id(self, obj):
        for i, c in enumerate(self.containers):
            if c is obj:
                return i
        return -1

    def walk(self, target):
        if type(target) is dict:
            return self.omitter.omit(target)
        return self.omitter.omit_recurse(target, True)

    def act(self, label, actions):
        if self.dead:  # being built, or a finaliser run by a later collection
            return
        for action in actions:
            self.log.append((label, action[0]))
            run_action(self, action)


def slot_of(container, slot):
    """The key or index `slot` picks in `container`, or None when empty."""
    if type(container) is dict:
        keys = list(container)
        return (keys[slot % len(keys)],) if keys else None
    return (slot % len(container),) if container else None


def read_slot(container, where):
    if type(container) is dict:
        for k, v in list(container.items()):  # by identity: no comparisons
            if k is where[0]:
                return v
        return None
    return container[where[0]] if where[0] < len(container) else None


def run_action(world, action):
    kind = action[0]
    if kind == "raise":
        raise ValueError("raised by a callback")
    if kind == "unstash":
        world.stash.clear()
        return
    container = world.containers[action[1] % len(world.containers)]
    if kind == "omit":
        try:
            world.walk(container)
        except RecursionError:
            world.log.append(("nested", "RecursionError"))
        except Exception as exc:  # noqa: BLE001 - the model must fail alike
            world.log.append(("nested", type(exc).__name__, str(exc)))
        return
    if kind == "add":
        if type(container) is dict:
            container[world.label("added")] = fresh("added")
        else:
            container.append(build_leaf(world, action[2]))
        return
    if kind == "pop":
        if type(container) is list and container:
            container.pop()
        return
    where = slot_of(container, action[2])
    if where is None:
        return
    if kind == "set":
        container[where[0]] = build_leaf(world, action[3])
        return
    value = read_slot(container, where)
    if type(value) is not str:
        return
    if kind == "stash":
        world.stash.append((value, value.encode("utf-8", "surrogatepass")))
    elif kind == "hash":
        hash(value)
    elif kind == "intern":
        sys.intern(value)


class Fin:
    """A value whose finaliser acts."""

    def __init__(self, world, actions):
        self.world, self.actions, self.name = world, actions, world.label("fin")

    def __del__(self):
        try:
            self.world.act(self.name, self.actions)
        except Exception as exc:  # noqa: BLE001 - a finaliser's failure is only printed
            self.world.log.append((self.name, "failed", type(exc).__name__))


def claiming(base):
    class Claims(base):
        """A value whose `__class__` (read by the number test) acts and
        claims another type."""

        def __new__(cls, world, claim, actions, *args):
            return base.__new__(cls, *args)

        def __init__(self, world, claim, actions, *args):
            self.world, self.claim, self.actions = world, claim, actions
            self.name = world.label("cls")

        @property
        def __class__(self):
            actions, self.actions = self.actions, ()
            self.world.act(self.name, actions)
            return self.claim

    Claims.__name__ = "Claims" + base.__name__.capitalize()
    return Claims


CLAIMS = {"object": claiming(object), "str": claiming(str), "list": claiming(list)}
CLAIMED = {"bool": bool, "int": int, "object": object, "float": float}


class HostileItem:
    """A key-list item whose comparison acts, then answers."""

    def __init__(self, world, answer, actions, index):
        self.world, self.answer, self.actions = world, answer, actions
        self.name = world.label("item")
        self.index = index

    def __eq__(self, other):
        actions, self.actions = self.actions, ()
        self.world.act(self.name, actions)
        if self.answer == "raise":
            raise LookupError("raised by a key-list item")
        return self.answer

    def __hash__(self):
        return 1000003 + self.index


class HostileKey:
    """A dict key whose hash is a str key's, and whose comparison acts and
    answers False."""

    def __init__(self, world, text, actions):
        self.world, self.text, self.actions = world, text, actions
        self.name = world.label("key")

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        actions, self.actions = self.actions, ()
        self.world.act(self.name, actions)
        return False


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


def build_leaf(world, leaf):
    kind = leaf[0]
    if kind == "s":
        return fresh(leaf[1])
    if kind == "i":
        return leaf[1]
    if kind == "n":
        return None
    if kind == "fin":
        return Fin(world, leaf[1])
    if kind == "cls":
        base, claim, actions = leaf[1], leaf[2], leaf[3]
        args = ("abc",) if base == "str" else ()
        return CLAIMS[base](world, CLAIMED[claim], actions, *args)
    if kind == "sub":
        return {"str": lambda: StrSub("sub"), "dict": lambda: DictSub(a="x"), "list": lambda: ListSub(["x"])}[leaf[1]]()
    raise AssertionError(leaf)


def build_key(world, key):
    if key[0] == "s":
        return key[1]  # keys are hashed anyway: literals will do
    if key[0] == "none":
        return None
    return HostileKey(world, key[1], key[2])


def build_node(world, node):
    if node[0] == "d":
        d = {}
        world.containers.append(d)
        for key, child in node[1]:
            d[build_key(world, key)] = build_node(world, child)
        return d
    if node[0] == "l":
        lst = []
        world.containers.append(lst)
        for child in node[1]:
            lst.append(build_node(world, child))
        return lst
    return build_leaf(world, node)


def override_behaviour(mode):
    """What a subclass's `omit` and `omit_recurse` do: log, then the walk,
    or an answer of their own."""

    def behaviour(world, method, target, do, walk):
        world.log.append(("override", method, world.container_id(target)))
        if mode == "log":
            return walk(target)
        if mode == "none":
            return None if world.container_id(target) != 0 else walk(target)
        if mode == "wrong":
            return 5 if world.container_id(target) != 0 else walk(target)
        if mode == "unwalked":
            return target
        raise AssertionError(mode)

    return behaviour


def real_subclass(base, mode):
    behaviour = override_behaviour(mode) if mode != "plain" else None

    if behaviour is None:
        return type("Plain" + base.__name__, (base,), {})

    def omit(self, target):
        return behaviour(self.world, "omit", target, None, lambda t: base.omit(self, t))

    def omit_recurse(self, target, do=True):
        return behaviour(self.world, "omit_recurse", target, do, lambda t, d=do: base.omit_recurse(self, t, d))

    return type("Over" + base.__name__, (base,), {"omit": omit, "omit_recurse": omit_recurse})


def build_world(description, real):
    """(data, key list, trusting, override) -> (world, root)."""
    data, items, trusting, override = description
    world = World(real)
    root = build_node(world, data)
    keys = []
    for i, item in enumerate(items):
        keys.append(item[1] if item[0] == "s" else HostileItem(world, item[1], item[2], i))
    if real:
        base = NoTrustOmitter if trusting else Omitter
        cls = base if override is None else real_subclass(base, override)
        om = cls(keys)
        if override is not None:
            om.world = world
    else:
        if trusting:
            keys = list(set(keys))  # the real one's order: the same hashes, the same insertions
        om = ModelOmitter(keys, trusting)
        if override not in (None, "plain"):
            om.override = (world, override_behaviour(override))
    world.omitter = om
    world.dead = False
    world.log.clear()  # building compared and hashed: only the walk counts
    return world, root


def dump(world, root):
    """What Python sees of the world's containers, by number."""
    seen = {}

    def show(obj):
        tp = type(obj)
        if tp is dict or tp is list:
            if id(obj) in seen:
                return ("ref", seen[id(obj)])
            seen[id(obj)] = len(seen)
            if tp is dict:
                return ("d", [(show(k), show(v)) for k, v in list(obj.items())])
            return ("l", [show(v) for v in list(obj)])
        if tp in (str, int, float, bool) or obj is None:
            return (tp.__name__, obj)
        return ("obj", tp.__name__, getattr(obj, "name", None))

    return [show(c) for c in [root] + world.containers]


def run(description, real):
    """Build a world, walk its root, and say what came of it."""
    world, root = build_world(description, real)
    error = None
    result = None
    try:
        result = world.walk(root)
    except RecursionError:
        error = ("RecursionError",)
    except Exception as exc:  # noqa: BLE001
        error = (type(exc).__name__, str(exc))
    kept = [(bytes(saved), value.encode("utf-8", "surrogatepass")) for value, saved in world.stash]
    outcome = {
        "error": error,
        "result": "root" if result is root else dump(world, result)[0] if result is not None else None,
        "data": dump(world, root),
        "log": list(world.log),
        "kept": kept,
    }
    world.stash.clear()
    world.dead = True
    return outcome
