"""Fuzz target: the omission walk against hostile data.

From the fuzzer's bytes, tests/hostile_world.py builds two identical,
independent worlds: nested data, an omitter (maybe a Python subclass with
overrides) and hostile objects mixed into the data and the key list, whose
callbacks (`__class__` properties, `__eq__`, `__hash__`, finalisers, weak
reference callbacks, overrides, short threads) change their own world while
it is walked. One world is walked by velmora.omit, the other by the in-place
model in tests/hostile_model.py; the outcome (result, or exception with its
message and the module's traceback entries), the final state of every
container and the log of hostile calls must be the same. Any difference
raises AssertionError; a crash is a crash.

    python fuzz/fuzz_hostile.py -max_total_time=60 fuzz/corpus-hostile
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
with atheris.instrument_imports():
    import hostile_model  # noqa: F401 - instrumented for coverage
    import hostile_world


def TestOneInput(data):
    hostile_world.check(data)


if __name__ == "__main__":
    # A world needs a few hundred bytes of choices: start there rather than
    # growing the length limit from a few bytes.
    argv = list(sys.argv)
    for flag, default in (("-max_len=", "512"), ("-len_control=", "0")):
        if not any(a.startswith(flag) for a in argv):
            argv.append(flag + default)
    atheris.Setup(argv, TestOneInput)
    atheris.Fuzz()
