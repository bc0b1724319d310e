"""How the walk of copies of list items, handed to super() by an override, scales with the list's length.

Each super() on a copy looks for the members of the container the override was handed that the copy was made
of: a large container's members are filed once by what they hold, so n copies must cost O(n), not n * n
member comparisons, also when every item holds the same objects (identical items: each copy matches every
item). Run it with two builds and compare the times. Run by hand:

    python bench/member_copies_scale.py
"""

import sys
import time

from velmora.rules import RuleOmitter


class Items(RuleOmitter):
    def omit_recurse(self, target, do=False):
        if target and all(type(v) is dict for v in target):
            for i, v in enumerate(list(target)):
                target[i] = super().omit(dict(v))
            return target
        return super().omit_recurse(target, do)


def main(sizes):
    o = Items(paths=["$.l[*].s"])
    for n in sizes:
        same = {"l": [{"s": None, "t": 1} for _ in range(n)]}
        distinct = {"l": [{"s": "x" + str(i), "t": i} for i in range(n)]}
        for name, doc in (("identical items", same), ("distinct items", distinct)):
            t = time.perf_counter()
            RuleOmitter.omit(o, doc)
            print(f"{n:7d} {name:16s} {time.perf_counter() - t:.4f}s")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [1000, 2000, 4000, 8000])
