"""Where a masked dict's new version tag comes from, checked against a model
of the tags themselves (PEP 509): every change gives the dict a tag above
every tag taken before it and below every tag taken after it, so no dict had
it before; the low bits are kept as a store keeps them; a watched dict is
changed through its own stores. On 3.12 and 3.13 the tag is taken from the
interpreter's own counter (the tag_counter gate), which these tests press
from the sides it can be reached by: threads, a fork, a second import,
sub-interpreters, and the gates closed on request. Anything that could take
the interpreter down runs in a subprocess."""

import ctypes
import gc
import json
import sys

import _testcapi

import pytest

from conftest import assert_runs_clean, other_threads_held
from test_interpreter_lines import GATE_NAMES, layout_gates
from velmora.omit import Omitter

version = _testcapi.dict_get_version
LINE = sys.version_info[:2]
# What a store moves the counter by, and the low bits of a tag that are not
# the count (3.12: watcher bits; 3.13: watcher bits and a mutation count).
INCREMENT = {(3, 12): 1 << 8, (3, 13): 1 << 12}.get(LINE, 1)
LOW_BITS = {(3, 12): 0xFF, (3, 13): 0xFFF}.get(LINE, 0)

since_312 = pytest.mark.skipif(LINE < (3, 12), reason="the counter is a static of dictobject.c before 3.12")


def gates():
    return dict(zip(GATE_NAMES, layout_gates()))


def gap_around(change):
    """How far the interpreter's tags move across `change`, with the tag it
    gave the dict it changed: a dict made before and one made after."""
    with other_threads_held():  # nobody else makes or drops a dict meanwhile
        gc.collect()
        gc.disable()
        try:
            before = version({})
            changed = change()
            after = version({})
        finally:
            gc.enable()
    return version(changed) - before, after - version(changed)


@pytest.mark.parametrize("data", [
    {"password": "abc", "n": 1},
    {"password": "abc", "token": "tk", "n": 1},  # two masks, one tag
    {"a": 1, "b": 2, "password": "x" * 40},
], ids=["one", "two in one dict", "last entry"])
def test_a_mask_moves_the_tags_exactly_as_one_store_does(data):
    """Differential: masking a dict and storing its mask moves the
    interpreter's tags by the same steps, and give the dict a tag with the
    same low bits. A counter moved by another increment, at another place,
    or moved twice, shows here. (Dicts made and dropped for a tag move the
    counter twice: then only the order is the model's.)"""
    keys = ["password", "token"]
    masked, stored = dict(data), dict(data)
    omitter = Omitter(keys)
    written = [key for key in keys if key in data]

    def mask():
        omitter.omit(masked)
        return masked

    def store():
        for key in written:
            stored[key] = "*" * len(stored[key])
        return stored

    omitter.omit(dict(data))  # warm up: a first call may make what later calls reuse
    mask_gap, store_gap = gap_around(mask), gap_around(store)
    assert masked == stored
    assert version(masked) & LOW_BITS == version(stored) & LOW_BITS == 0
    assert min(mask_gap) > 0 and min(store_gap) > 0
    state = gates()
    if not state["entry writes"]:
        assert mask_gap == store_gap  # masked through stores
    elif state["tag counter"] or state["tag flips"]:
        # One tag per dict written, taken as a store takes it: the second
        # mask of a dict keeps the first one's tag, as nothing could see the
        # dict between the two.
        assert mask_gap == (store_gap[0] - (len(written) - 1) * INCREMENT, store_gap[1])


@since_312
@pytest.mark.parametrize("bits", [0x100, 0x500, 0xF00, 0x000], ids=["1", "5", "15", "none"])
def test_mutation_bits_of_an_unwatched_dict_are_kept_as_a_store_keeps_them(bits):
    """3.13 counts a watched dict's changes in 4 bits above the watcher bits,
    and keeps them when the dict is no longer watched (its optimiser stops
    watching a globals dict after 15 changes, and the count says why); a
    store keeps all 12 low bits. A mask written in place keeps them too.
    (On 3.12 those bits are the counter's own: the dicts are left alone.)"""
    if LINE < (3, 13) and bits:
        pytest.skip("no mutation count below the counter on 3.12")
    masked, stored = {"password": "abc", "n": 1}, {"password": "abc", "n": 1}
    for d in (masked, stored):
        tag = ctypes.c_uint64.from_address(id(d) + PyDictObject_version_offset())
        tag.value |= bits
    made_before = version({})
    Omitter(["password"]).omit(masked)
    stored["password"] = "***"
    made_after = version({})
    assert masked == stored
    assert version(masked) & LOW_BITS == version(stored) & LOW_BITS == bits
    assert made_before < version(masked) < version(stored) < made_after


def PyDictObject_version_offset():
    """Where ma_version_tag stands in a dict: after the object header and
    ma_used, on every line."""
    offset = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p) + ctypes.sizeof(ctypes.c_ssize_t)
    probe = {}
    assert ctypes.c_uint64.from_address(id(probe) + offset).value == version(probe)
    return offset


@since_312
@pytest.mark.parametrize("unwatch", [False, True], ids=["watched", "unwatched since"])
def test_watched_dicts_change_only_through_their_own_stores(unwatch):
    """A watched dict is never written in place (its watchers would miss
    the change); one that is watched no more may be, and then carries no
    watcher bit. Either way its tag is the model's."""
    watcher = _testcapi.add_dict_watcher(0)
    data = {"password": "pw", "n": 1}
    try:
        _testcapi.watch_dict(watcher, data)
        watched_bits = version(data) & 0xFF
        if unwatch:
            _testcapi.unwatch_dict(watcher, data)
        before = version({})
        Omitter(["password"]).omit(data)
        after = version({})
        events = _testcapi.get_dict_watcher_events()
    finally:
        _testcapi.clear_dict_watcher(watcher)
    assert watched_bits != 0
    assert data == {"password": "**", "n": 1}
    # (A dict an earlier test watched under this watcher's number may die
    # meanwhile.)
    assert [e for e in events if e != "dealloc"] == ([] if unwatch else ["mod:password:**"])
    assert version(data) & 0xFF == (0 if unwatch else watched_bits)
    assert before < version(data) < after


THREADS = """
import json, sys, threading, _testcapi
from velmora.omit import Omitter
version = _testcapi.dict_get_version
sys.setswitchinterval(1e-6)

class Slow:
    # A key-list item whose comparison runs Python code, where the
    # interpreter may hand the lock to another thread mid-walk.
    def __eq__(self, other):
        return False
    __hash__ = object.__hash__

shared = [{"password": "p%d" % i, "n": i, "token": "t"} for i in range(6)]
conflicts, taken = [], []
stop = threading.Event()

def observe():
    by_tag = {}
    while not stop.is_set():
        for d in shared:
            first = version(d)
            contents = dict(d)
            if version(d) == first and by_tag.setdefault((id(d), first), contents) != contents:
                conflicts.append([first, by_tag[id(d), first], contents])

def mask(n):
    omitter = Omitter(["password", Slow(), "token"])
    own = []
    for i in range(150):
        d = {"password": "s" * (i % 7 + 1), "n": i, "k%d" % n: i}
        omitter.omit(d)
        own.append(version(d))
        omitter.omit({"rows": shared})
        shared[i % len(shared)]["password"] = "again%d" % i
        own.append(version(shared[i % len(shared)]))
    taken.append(own)

observer = threading.Thread(target=observe)
observer.start()
workers = [threading.Thread(target=mask, args=(n,)) for n in range(3)]
for t in workers:
    t.start()
for t in workers:
    t.join()
stop.set()
observer.join()
print(json.dumps([conflicts, taken]))
"""


def test_threads_masking_and_storing_never_share_a_tag():
    """Three threads mask their own dicts and a shared list of dicts and
    store into the shared ones, the lock changing hands inside the walk; a
    fourth reads tags and contents. No two changes take one tag (the
    counter is moved under the lock, read and written with nothing run in
    between), each thread sees its tags rise, and no tag ever stands for
    two contents of a dict."""
    proc = assert_runs_clean(THREADS)
    conflicts, taken = json.loads(proc.stdout)
    assert conflicts == []
    assert len(taken) == 3
    for own in taken:
        assert own == sorted(own) and len(set(own)) == len(own)
    own_dict_tags = [tag for own in taken for tag in own[0::2]]
    assert len(set(own_dict_tags)) == len(own_dict_tags)


FORK = """
import json, os, _testcapi
from velmora.omit import Omitter
version = _testcapi.dict_get_version
Omitter(["password"]).omit({"password": "warm"})
at_fork = version({})
read, write = os.pipe()
pid = os.fork()
d = {"password": "abc", "n": 1}
Omitter(["password"]).omit(d)
tag, after = version(d), version({})
if pid == 0:
    os.write(write, json.dumps([tag, after, d]).encode())
    os._exit(0)
os.close(write)
child = json.loads(os.read(read, 4096))
os.waitpid(pid, 0)
print(json.dumps([at_fork, [tag, after, d], child]))
"""


def test_a_forked_child_and_its_parent_each_go_on_from_the_count_at_the_fork():
    """The counter is interpreter memory the child inherits: in each process
    a mask takes a tag past every tag before the fork and before every tag
    after it there."""
    proc = assert_runs_clean(FORK)
    at_fork, parent, child = json.loads(proc.stdout)
    for tag, after, data in (parent, child):
        assert at_fork < tag < after
        assert data == {"password": "***", "n": 1}


REIMPORT = """
import importlib, json, sys, _testcapi
from test_interpreter_lines import layout_gates
import velmora.omit as first
version = _testcapi.dict_get_version
gates = [layout_gates()]
del sys.modules["velmora.omit"]
import velmora.omit as second
gates.append(layout_gates())
importlib.reload(second)
gates.append(layout_gates())
seen = []
for module in (first, second):
    d = {"password": "abc"}
    before = version({})
    module.Omitter(["password"]).omit(d)
    seen.append([before, version(d), version({}), d["password"]])
print(json.dumps([first is second, gates, seen]))
"""


def test_a_second_import_keeps_the_gates_and_the_tags():
    """Importing the module again (after it left sys.modules, or by reload)
    runs no check a second time that could move the counter or change the
    gates under a walk; masks keep taking the model's tags."""
    proc = assert_runs_clean(REIMPORT)
    same, seen_gates, seen = json.loads(proc.stdout)
    assert same
    assert seen_gates[0] == seen_gates[1] == seen_gates[2]
    for before, tag, after, masked in seen:
        assert before < tag < after and masked == "***"


SUBINTERPRETER = """
import gc, json, sys, _testcapi
version = _testcapi.dict_get_version
sub = '''
import json, _testcapi
version = _testcapi.dict_get_version
try:
    from velmora.omit import Omitter
except ImportError as exc:
    print(json.dumps(["refused", str(exc)]))
else:
    d = {"password": "abc", "n": 1}
    before = version({})
    Omitter(["password"]).omit(d)
    e = {"password": "abc", "n": 1}
    e["password"] = "***"
    print(json.dumps(["masked", [before, version(d), version(e), version({})], d]))
'''
if sys.argv[1:] == ["main first"]:
    import velmora.omit
# The main interpreter's tags across a sub-interpreter's run: moved only by
# the main interpreter's own dicts, whatever the sub-interpreter does.
gc.collect()
gc.disable()
empty = [version({}), _testcapi.run_in_subinterp("pass"), version({})]
run = [version({}), _testcapi.run_in_subinterp(sub), version({})]
try:
    from velmora.omit import Omitter
    d = {"password": "xyz"}
    before = version({})
    Omitter(["password"]).omit(d)
    main = [before, version(d), version({}), d]
except ImportError as exc:
    main = str(exc)
print(json.dumps([empty[2] - empty[0], run[2] - run[0], empty[1], run[1], main]))
"""


@since_312
@pytest.mark.parametrize("order", ["main first", "sub first"])
def test_a_sub_interpreter_either_is_refused_or_takes_its_own_counters_tags(order):
    """The counter is per interpreter. With the module first imported by the
    main interpreter, a sub-interpreter sharing its lock is refused cleanly
    and the main one goes on masking. Imported first by the
    sub-interpreter, its masks take the sub-interpreter's own tags, and the
    main interpreter's counter does not move with them."""
    proc = assert_runs_clean(f"import sys; sys.argv[1:] = [{order!r}]\n" + SUBINTERPRETER)
    lines = proc.stdout.splitlines()
    sub_line = json.loads(lines[0])
    empty_gap, run_gap, empty_rc, run_rc, main = json.loads(lines[-1])
    assert empty_rc == run_rc == 0
    assert run_gap == empty_gap
    if order == "main first":
        assert sub_line[0] == "refused"
        before, tag, after, masked = main
        assert before < tag < after and masked == {"password": "***"}
    else:
        kind, (before, masked_tag, stored_tag, after), masked = sub_line
        assert kind == "masked" and masked == {"password": "***", "n": 1}
        assert before < masked_tag < stored_tag < after
        assert masked_tag & LOW_BITS == 0
        assert "one interpreter" in main


ISOLATED = """
import json
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
from velmora.omit import Omitter
interp = interpreters.create()
interpreters.run_string(interp, '''
try:
    import velmora.omit
except ImportError as exc:
    print("refused:", exc)
else:
    print("imported")
''')
interpreters.destroy(interp)
d = {"password": "abc"}
Omitter(["password"]).omit(d)
print(json.dumps(d))
"""


@since_312
def test_an_interpreter_with_its_own_lock_is_refused():
    """The module keeps state for one interpreter and one lock: an isolated
    sub-interpreter cannot import it, and the main one is unharmed."""
    proc = assert_runs_clean(ISOLATED)
    first, last = proc.stdout.splitlines()
    assert first.startswith("refused:")
    assert json.loads(last) == {"password": "***"}


CLOSED = """
import json, _testcapi
from test_interpreter_lines import layout_gates
from velmora.omit import Omitter, NoTrustOmitter
version = _testcapi.dict_get_version
last, seen, scratch = version({}), [], {}
for step in range(40):
    rows = [{"password": "p" * (i + 1), "n": i} for i in range(step % 4 + 1)]
    (Omitter(["password"]) if step % 2 else NoTrustOmitter(["n"])).omit({"rows": rows})
    tags = [version(d) for d in rows]
    assert all(last < t for t in tags) and len(set(tags)) == len(tags), (last, tags)
    assert all(t & LOW == 0 for t in tags), tags
    seen += tags
    last = max(tags)
    scratch[step % 3] = step
    assert version(scratch) > last
    last = version(scratch)
assert version({}) > last and len(set(seen)) == len(seen)
print(json.dumps(layout_gates()))
"""


@pytest.mark.parametrize("closed", ["", "tag_counter", "tag_flips", "tag_counter,tag_flips", "dict_watcher",
                                    "entry_writes"])
def test_every_source_of_tags_gives_the_models_tags(closed):
    """Whichever source the tags come from (the counter, a flipped dict of
    the module's own, dicts made and dropped, or stores when nothing is
    written in place), each masked dict ends with a tag above every tag
    before it and below every tag after it, none shared."""
    proc = assert_runs_clean(CLOSED.replace("LOW", str(LOW_BITS)), env={"VELMORA_CLOSE_GATES": closed})
    state = dict(zip(GATE_NAMES, json.loads(proc.stdout)))
    requested = set(closed.split(","))
    assert state["tag counter"] == (LINE >= (3, 12) and not requested & {"tag_counter", "tag_flips"})


class WatchOnCall:
    """A key-list item whose n-th comparison starts watching the dict being
    walked, and keeps what the dict held then."""

    def __init__(self, watcher, target, call):
        self.watcher, self.target, self.call, self.calls, self.held = watcher, target, call, 0, None

    def __eq__(self, other):
        self.calls += 1
        if self.calls == self.call:
            _testcapi.watch_dict(self.watcher, self.target)
            self.held = dict(self.target)
        return False

    __hash__ = object.__hash__


@since_312
@pytest.mark.parametrize("call", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("keys", [["password", "x", "token", "y"], ["a", "password", "token", "secret"]],
                         ids=["first", "later"])
def test_a_dict_watched_mid_walk_tells_its_watcher_of_every_later_mask(call, keys):
    """Code the walk runs (a key's comparison) may start watching the very
    dict being walked, after some of its masks are written: each mask made
    after that reaches the watcher, as a store would, and the dict's tag
    keeps the watcher's bit."""
    data = {key: "s" + key for key in keys}
    watcher = _testcapi.add_dict_watcher(0)
    item = WatchOnCall(watcher, data, call)
    try:
        Omitter([item, "password", "token", "secret"]).omit(data)
        events = _testcapi.get_dict_watcher_events()
    finally:
        _testcapi.clear_dict_watcher(watcher)
    masked = {key for key in keys if key in ("password", "token", "secret")}
    assert data == {key: "*" * (len(key) + 1) if key in masked else "s" + key for key in keys}
    if item.held is None:
        assert events == []  # fewer comparisons than `call`: never watched
    else:
        assert sorted(e for e in events if e != "dealloc") == sorted(
            f"mod:{key}:{'*' * (len(key) + 1)}" for key in masked if item.held[key] == "s" + key)
        assert version(data) & 0xFF
