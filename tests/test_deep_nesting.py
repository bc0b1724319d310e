"""Nesting far deeper than any stack, and containers that contain themselves:
every walk ends in RecursionError, the process lives on, and the data is
intact, masked down to the level where the walk stopped and untouched below.
Runs in a subprocess: with the default recursion limit, with a limit of 10**6
(so only the native stack bounds the walk), and in a thread with a 256 KiB
stack."""

import sys
import threading

import pytest

import velmora.omit as m
from conftest import SOURCE_FILE, module_entries, run_python

DEPTH = 100_000
SECRET, MASK = "secret", "******"
OMIT, REC = "velmora.omit.Omitter.omit", "velmora.omit.Omitter.omit_recurse"


class Overriding(m.NoTrustOmitter):
    def omit(self, target):
        return super().omit(target)

    def omit_recurse(self, target, do=True):
        return super().omit_recurse(target, do)


KINDS = {"Omitter": lambda: m.Omitter(["s"]), "NoTrustOmitter": lambda: m.NoTrustOmitter([]),
         "override": lambda: Overriding([])}


def deep_levels(method):
    """Levels outermost first; each holds the secret before its child."""
    if method == "omit":
        levels = [{"s": SECRET}]
        for _ in range(DEPTH - 1):
            levels.append({"s": SECRET, "n": levels[-1]})
    else:
        levels = [[SECRET]]
        for _ in range(DEPTH - 1):
            levels.append([SECRET, levels[-1]])
    levels.reverse()
    return levels


def check_deep(kind, method):
    levels = deep_levels(method)
    try:
        getattr(KINDS[kind](), method)(levels[0])
    except RecursionError as exc:
        entries = module_entries(exc)
    else:
        raise AssertionError("walk finished")
    first = levels[0]["s"] if method == "omit" else levels[0][0]
    secrets = [lv["s"] for lv in levels] if method == "omit" else [lv[0] for lv in levels]
    stop = secrets.count(MASK)
    assert 0 < stop < DEPTH and first == MASK, stop
    assert secrets[:stop] == [MASK] * stop and secrets[stop:] == [SECRET] * (DEPTH - stop)
    child = "n" if method == "omit" else 1
    assert all(levels[i][child] is levels[i + 1] for i in range(DEPTH - 1))
    name, top, bottom, mid = (OMIT, 46, 48, 56) if method == "omit" else (REC, 62, 64, 70)
    assert entries[0] == (name, SOURCE_FILE, top)
    if kind == "override":  # the limit may strike in the override's own frame
        assert {e[2] for e in entries} <= {top, mid, bottom} and entries[-1][2] in (top, bottom)
    else:
        assert entries[1:] == [(name, SOURCE_FILE, mid)] * stop + [(name, SOURCE_FILE, bottom)], (len(entries), stop)


def check_self_containing(kind, method):
    if method == "omit":
        data = {"s": SECRET}
        data["self"] = data
    else:
        data = [SECRET]
        data.append(data)
    try:
        getattr(KINDS[kind](), method)(data)
    except RecursionError:
        pass
    else:
        raise AssertionError("walk finished")
    if method == "omit":
        assert list(data) == ["s", "self"] and data["s"] == MASK and data["self"] is data
    else:
        assert len(data) == 2 and data[0] == MASK and data[1] is data


def run_all(report):
    for check in (check_deep, check_self_containing):
        for kind in KINDS:
            for method in ("omit", "omit_recurse"):
                label = f"{check.__name__}[{kind}-{method}]"
                try:
                    check(kind, method)
                except BaseException as exc:  # noqa: BLE001 - reported to the parent
                    report.append(f"FAIL {label}: {exc!r}")
                else:
                    report.append(f"ok {label}")


def main(mode):
    report = []
    if mode != "default":
        sys.setrecursionlimit(10**6)
    if mode == "thread":
        threading.stack_size(256 * 1024)
        worker = threading.Thread(target=run_all, args=(report,))
        worker.start()
        worker.join()
    else:
        run_all(report)
    print("\n".join(report))
    print("alive")


@pytest.mark.parametrize("mode", ["default", "huge_limit", "thread_small_stack"])
def test_deep_and_cyclic_data_end_in_recursion_error(mode):
    proc = run_python(f"import test_deep_nesting as t; t.main({mode!r})", timeout=300)
    assert proc.returncode == 0 and proc.stdout.endswith("alive\n"), (proc.returncode, proc.stderr[-3000:])
    lines = proc.stdout.splitlines()[:-1]
    assert len(lines) == 12 and all(line.startswith("ok ") for line in lines), "\n".join(lines)
