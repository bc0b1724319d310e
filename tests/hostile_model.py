"""In-place model of the omission walk for data that runs Python code
mid-walk.

`ModelOmitter` and `ModelNoTrustOmitter` behave like `velmora.omit.Omitter`
and `NoTrustOmitter`, written with Python's own operations so that hostile
code fires at the same moments as in the module:

- dict pairs are read with the interpreter's own PyDict_Next (through
  ctypes), so positions move exactly as the walk's do; `len(d)` is checked
  before every step, the end included. (`for k, v in d.items()` is the same
  but for one extra check, "dictionary keys changed during iteration", which
  the walk does not make.)
- the current pair is held in two locals, `key` then `value`, rebound in that
  order (old key released first, then old value) and dropped when the walk
  returns or fails, in that order;
- `isinstance(value, bool)` is the number test (it reads `__class__`);
- `key in keys` is should_hide; `d[key] = x` and `lst[i] = x` are the stores;
- a store under a key can reach another entry (a key that now compares
  equal stands before it in the lookup): when the entry read still holds
  the key and the value read afterwards, `x` is written into it in place
  where the module can write entries (its gate open, a combined table of
  the dict's own that nobody watches), and the walk fails otherwise;
- lists are walked by index up to the length noted at the start;
- a Python subclass has its `omit`/`omit_recurse` looked up and called for
  every nested container, and the result must be exactly a dict/list or None.

Failures rise with the exception the module raises, and with the module's
traceback entries recorded on the exception (`entries(exc)`, outermost
first, as conftest.module_entries reports the module's own). Every level
drops what it holds before a failure leaves it, as the module does, so
finalisers run at the same moments on the way out too; and every function
here clears its locals, `self` included, on every way out: a traceback keeps
the frames it passed through alive, and through `f_back` their callers'
frames as they finish, while the module has no frames to keep.
"""

import ctypes
import sys

OMIT, REC = "velmora.omit.Omitter.omit", "velmora.omit.Omitter.omit_recurse"
HIDE_O = ("velmora.omit.Omitter.should_hide", 44)
HIDE_N = ("velmora.omit.NoTrustOmitter.should_hide", 85)

_dict_next = ctypes.pythonapi["PyDict_Next"]  # a function object of its own: argtypes are per object
_dict_next.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_ssize_t),
                       ctypes.POINTER(ctypes.py_object), ctypes.POINTER(ctypes.py_object)]
_dict_next.restype = ctypes.c_int

STORE_MISSED = "a store under a key of the dict reached another entry: the value read was left as it was"

# The model's own module-wide lists (the module's stay untouched).
global_omissions = []
global_trusted = []

_HEAPTYPE = 1 << 9


def entries(exc):
    """The module entries the model added to `exc`, outermost first."""
    return list(reversed(getattr(exc, "_velmora_entries", [])))


def _add(exc, name, line):
    try:
        exc._velmora_entries = getattr(exc, "_velmora_entries", []) + [(name, line)]
    except AttributeError:  # an exception type without a __dict__
        pass
    return exc


def tp_name(obj):
    """The type's tp_name, as the module's messages print it."""
    t = type(obj)
    if t.__flags__ & _HEAPTYPE or t.__module__ == "builtins":
        return t.__name__
    return f"{t.__module__}.{t.__qualname__}"


def _unexpected(expected, obj, name, line):
    return _add(TypeError(f"Expected {expected}, got {tp_name(obj)[:200]}"), name, line)


def _check_argument(target, expected, param="target"):
    if target is not None and type(target) is not expected:
        raise TypeError(f"Argument '{param}' has incorrect type (expected {expected.__name__}, "
                        f"got {tp_name(target)[:200]})")


def _entry_writes_open():
    """Whether the module writes dict entries in place: the fifth of the six
    flags that follow the six function pointers of Omitter's table."""
    get_pointer = ctypes.pythonapi["PyCapsule_GetPointer"]
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    import velmora.omit
    table = get_pointer(velmora.omit.Omitter.__dict__["__pyx_vtable__"], None)
    flags = ctypes.c_void_p.from_address(table + 6 * ctypes.sizeof(ctypes.c_void_p)).value
    return ctypes.c_bool.from_address(flags + 4).value


# The dict layout of 3.11 to 3.13 (with the interpreter lock): the keys
# object's and values' pointers after the header, the used count and the
# version tag; in the keys object, its reference count, the log2 sizes and
# kind, and the index table from byte 32, then the entries (hash, key, value
# in general tables, key, value in tables of str keys).
_WORD = ctypes.sizeof(ctypes.c_void_p)
_WATCHED_BITS = 0xFF if sys.version_info >= (3, 12) else 0


def _entry_value_slot(d, index, key, value):
    """The address of entry `index`'s value in `d`, where the module would
    write it in place: None when it would not (or the entry is not `key`,
    `value`)."""
    if not _entry_writes_open():
        return None
    base = id(d)
    keys, values = ctypes.c_void_p.from_address(base + 4 * _WORD).value, ctypes.c_void_p.from_address(base + 5 * _WORD).value
    tag = ctypes.c_uint64.from_address(base + 3 * _WORD).value
    if values or tag & _WATCHED_BITS or ctypes.c_ssize_t.from_address(keys).value != 1:
        return None
    index_bytes, kind = ctypes.c_uint8.from_address(keys + 9).value, ctypes.c_uint8.from_address(keys + 10).value
    entry_words = 2 if kind else 3
    slot = keys + 32 + (1 << index_bytes) + (index * entry_words + entry_words - 2) * _WORD
    if ctypes.c_void_p.from_address(slot).value != id(key) or ctypes.c_void_p.from_address(slot + _WORD).value != id(value):
        return None
    return slot + _WORD


def _mend_store(d, pos, key, value, replacement):
    """After `d[key] = replacement`: the entry read (at `pos`, the walk's
    position, while it still holds `key`; else the first entry that holds
    `key` and `value`) must not keep `value`."""
    at = ctypes.c_ssize_t(pos - 1)
    kbuf, vbuf = ctypes.py_object(), ctypes.py_object()
    found = None
    if pos >= 1 and _dict_next(d, ctypes.byref(at), ctypes.byref(kbuf), ctypes.byref(vbuf)) and at.value == pos \
            and kbuf.value is key:
        found = pos - 1 if vbuf.value is value else None
    else:
        at.value = 0
        while found is None and _dict_next(d, ctypes.byref(at), ctypes.byref(kbuf), ctypes.byref(vbuf)):
            if kbuf.value is key and vbuf.value is value:
                found = at.value - 1
    if found is None:
        return
    slot = _entry_value_slot(d, found, key, value)
    if slot is None:
        raise RuntimeError(STORE_MISSED)
    # The walk holds `value`: dropping the dict's reference runs nothing.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(replacement))
    ctypes.c_void_p.from_address(slot).value = id(replacement)
    ctypes.pythonapi.Py_DecRef(ctypes.py_object(value))


def _is_number(value):
    """The number test; any failure of it (a raising `__class__`) is the
    walk's failure at line 49."""
    try:
        if isinstance(value, bool):
            # A str, dict or list subclass is what its type says, whatever
            # its `__class__` claims.
            return not issubclass(type(value), (str, dict, list))
        return issubclass(type(value), (int, float, complex))
    finally:
        value = None


class ModelOmitter:
    """The model of `Omitter`: `omissions` is its key list."""

    _hide_entry = HIDE_O

    def __init__(self, omissions=None):
        _check_argument(omissions, list, "omissions")
        fresh = list(global_omissions if omissions is None else omissions)
        fresh.extend(global_omissions)
        self.omissions = fresh

    def __setstate__(self, state):
        if type(state) is dict:  # copy.copy of the model object itself
            self.__dict__.update(state)
            return
        self.omissions = state[0]

    # ---- slot 1 ----
    def _should_hide(self, key):
        try:
            return key in self.omissions
        except BaseException as exc:
            _add(exc, *self._hide_entry)
            raise
        finally:
            self = key = None

    # ---- Python-level methods ----
    def omit(self, target):
        _check_argument(target, dict)
        try:
            return self._slot_omit(target, True)
        except BaseException as exc:
            _add(exc, OMIT, 46)
            raise
        finally:
            self = target = None

    def omit_recurse(self, target, do=True):
        try:
            do = do is True or (do is not False and do is not None and bool(do))
        except BaseException as exc:
            _add(exc, REC, 62)
            raise
        _check_argument(target, list)
        try:
            return self._slot_omit_recurse(target, True, do)
        except BaseException as exc:
            _add(exc, REC, 62)
            raise
        finally:
            self = target = None

    # ---- override dispatch ----
    def _dispatch(self, name, target, do):
        """(True, answer) when a Python-level method answered."""
        if type(self) in _OWN_TYPES:
            return False, None
        attr = answer = None
        line = 46 if name == "omit" else 62
        qualname = OMIT if name == "omit" else REC
        try:
            try:
                attr = getattr(self, name)
            except BaseException as exc:
                _add(exc, qualname, line)
                raise
            if attr is _OWN_FUNCTIONS[name]:
                return False, None
            try:
                answer = attr(target) if name == "omit" else attr(target, do)
            except BaseException as exc:
                _add(exc, qualname, line)
                raise
            attr = target = None
            expected = dict if name == "omit" else list
            if answer is not None and type(answer) is not expected:
                raise _unexpected(expected.__name__, answer, qualname, line)
            return True, answer
        finally:
            self = target = attr = answer = None

    # ---- slot 2: dicts ----
    def _slot_omit(self, target, skip_override):
        try:
            return self._walk_dict(target, skip_override)
        finally:
            self = target = None

    def _walk_dict(self, target, skip_override):
        if not skip_override:
            try:
                handled, answer = self._dispatch("omit", target, True)
            except BaseException:
                target = None
                raise
            if handled:
                target = None
                return answer
        if target is None:
            raise _add(AttributeError("'NoneType' object has no attribute 'items'"), OMIT, 48)
        d = target
        target = None
        size = len(d)
        pos = ctypes.c_ssize_t(0)
        kbuf, vbuf = ctypes.py_object(), ctypes.py_object()
        key = value = walked = new_key = new_value = None
        try:
            while True:
                if len(d) != size:
                    raise _add(RuntimeError("dictionary changed size during iteration"), OMIT, 48)
                if not _dict_next(d, ctypes.byref(pos), ctypes.byref(kbuf), ctypes.byref(vbuf)):
                    break
                # Both read before either is dropped (PyDict_Next lends them);
                # then the old key goes, then the old value. (`key, value =
                # ...` would store, and release, `value` first.)
                new_key, new_value = kbuf.value, vbuf.value
                key = new_key
                value = new_value
                new_key = new_value = None
                try:
                    if _is_number(value):
                        continue
                except BaseException as exc:
                    _add(exc, OMIT, 49)
                    raise
                if issubclass(type(value), str):
                    if key is not None and type(key) is not str:
                        raise _unexpected("unicode", key, OMIT, 52)
                    try:
                        hide = self._should_hide(key)
                    except BaseException as exc:
                        _add(exc, OMIT, 52)
                        raise
                    if not hide:
                        continue
                    if type(value) is not str:
                        raise _unexpected("unicode", value, OMIT, 54)
                    try:
                        walked = "*" * len(value)
                        d[key] = walked
                        if walked != value:
                            _mend_store(d, pos.value, key, value, walked)
                    except BaseException as exc:
                        _add(exc, OMIT, 54)
                        raise
                    walked = None
                elif issubclass(type(value), dict):
                    if type(value) is not dict:
                        raise _unexpected("dict", value, OMIT, 56)
                    try:
                        walked = self._slot_omit(value, False)
                        d[key] = walked
                        if walked is not value:
                            _mend_store(d, pos.value, key, value, walked)
                    except BaseException as exc:
                        _add(exc, OMIT, 56)
                        raise
                    walked = None
                elif issubclass(type(value), list):
                    if key is not None and type(key) is not str:
                        raise _unexpected("unicode", key, OMIT, 58)
                    try:
                        hide = self._should_hide(key)
                    except BaseException as exc:
                        _add(exc, OMIT, 58)
                        raise
                    if type(value) is not list:
                        raise _unexpected("list", value, OMIT, 59)
                    try:
                        walked = self._slot_omit_recurse(value, False, bool(hide))
                        d[key] = walked
                        if walked is not value:
                            _mend_store(d, pos.value, key, value, walked)
                    except BaseException as exc:
                        _add(exc, OMIT, 59)
                        raise
                    walked = None
        except BaseException:
            walked = None
            key = None
            value = None
            d = None
            raise
        result, d = d, None
        key = None
        value = None
        return result

    # ---- slot 3: lists ----
    def _slot_omit_recurse(self, target, skip_override, do):
        try:
            return self._walk_list(target, skip_override, do)
        finally:
            self = target = None

    def _walk_list(self, target, skip_override, do):
        if not skip_override:
            try:
                handled, answer = self._dispatch("omit_recurse", target, do)
            except BaseException:
                target = None
                raise
            if handled:
                target = None
                return answer
        if target is None:
            raise _add(TypeError("object of type 'NoneType' has no len()"), REC, 64)
        lst = target
        target = None
        item = walked = None
        try:
            for i in range(len(lst)):
                if i >= len(lst):
                    raise _add(IndexError("list index out of range"), REC, 66)
                item = lst[i]
                if issubclass(type(item), dict):
                    if type(item) is not dict:
                        raise _unexpected("dict", item, REC, 68)
                    try:
                        walked = self._slot_omit(item, False)
                        lst[i] = walked
                    except BaseException as exc:
                        _add(exc, REC, 68)
                        raise
                    walked = None
                elif issubclass(type(item), list):
                    if type(item) is not list:
                        raise _unexpected("list", item, REC, 70)
                    try:
                        walked = self._slot_omit_recurse(item, False, do)
                        lst[i] = walked
                    except BaseException as exc:
                        _add(exc, REC, 70)
                        raise
                    walked = None
                elif do and issubclass(type(item), str):
                    if type(item) is not str:
                        raise _unexpected("unicode", item, REC, 72)
                    try:
                        lst[i] = "*" * len(item)
                    except BaseException as exc:
                        _add(exc, REC, 72)
                        raise
        except BaseException:
            walked = None
            item = None
            lst = None
            raise
        result, lst = lst, None
        item = None
        return result


class ModelNoTrustOmitter(ModelOmitter):
    """The model of `NoTrustOmitter`: hides what `trusted` does not hold."""

    _hide_entry = HIDE_N

    def __init__(self, trusted=None):
        _check_argument(trusted, list, "trusted")
        distinct = set(global_trusted if trusted is None else trusted)
        set.update(distinct, global_trusted)
        self.omissions = None
        self.trusted = list(distinct)

    def __setstate__(self, state):
        if type(state) is dict:
            self.__dict__.update(state)
            return
        self.omissions, self.trusted = state[0], state[1]

    def _should_hide(self, key):
        try:
            return key not in self.trusted
        except BaseException as exc:
            _add(exc, *self._hide_entry)
            raise
        finally:
            self = key = None


_OWN_TYPES = (ModelOmitter, ModelNoTrustOmitter)
_OWN_FUNCTIONS = {"omit": ModelOmitter.omit, "omit_recurse": ModelOmitter.omit_recurse}
