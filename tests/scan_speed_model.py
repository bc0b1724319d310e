"""Generated JSON texts together with the exact bytes the scanner must write
for them, for the scanner's fast paths: keys told up front and their
filter, keys with escapes, white space before tokens, star masks of every
length, deep nesting and many distinct keys.

A text is built from pieces, and each piece knows its own output: white
space, numbers and keys pass through byte for byte, and a string value
under a hidden key becomes one "*" per code point as Python counts them
(an escaped surrogate pair is one, a lone escaped surrogate is one).
Verdicts follow the omitter's walk: a member by its key, an array by the
verdict of its key (its items, nested arrays too, inherit it), a nested
object by its own keys, a top-level value by the verdict of no key.

Also runnable as a script, `python scan_speed_model.py BASELINE.so SEED
COUNT`: scans generated valid and broken texts with the installed
velmora.scan and with the build at BASELINE.so, on every vector path, and
prints every difference of output or error (none: the last line is
"same N").
"""

import random

SPACES = ["", "", "", " ", " ", "  ", "\t", "\r\n", "\n", "\r", " \t", "\t ", " \r\n  "]
LINE_SPACES = ["", "", "", " ", " ", "  ", "\t", " \t", "\t ", "   \t  "]  # no line break
NUMBERS = ["0", "-0", "1", "-12.5e+3", "1E9", "3.25", "12345678901234567890", "true", "false", "null", "NaN",
           "Infinity", "-Infinity"]
# Keys of every kind the filter of told keys sorts by: empty and one byte,
# keys that share length and first and last byte but differ in the middle,
# keys around the 8 and 16 bytes the table compares by word, non-ASCII
# keys, and keys that only decode to something after their escapes.
KEYS = ["", "p", "q", "pw", "pass", "pxss", "paxs", "password", "passwerd", "a" * 15, "a" * 16, "a" * 17,
        "a" * 8 + "b" + "a" * 8, "a" * 40, "a" * 19 + "b" + "a" * 20, "é", "ké", "密码", "\U0001f600", "k\U0001f600y",
        "token", "id", "/", "a/b", "\ud800", "\udc00x", 'q"t', "b\\s", "t\tab"]
TOLD = ["pw", "pass", "password", "a" * 16, "a" * 17, "a" * 40, "é", "密码", "\U0001f600", "", "p", "/", "a/b",
        "\ud800", 'q"t', "b\\s", "t\tab"]
# String bodies as (raw JSON, code points).
PIECES = [("a", 1), ("Z", 1), ("é", 1), ("密", 1), ("\U0001f600", 1), ('\\"', 1), ("\\\\", 1), ("\\/", 1),
          ("\\n", 1), ("\\u00e9", 1), ("\\u00E9", 1), ("\\ud83d\\ude00", 1), ("\\ud800", 1), ("\\udc00", 1),
          ("\\u0000", 1), ("\x7f", 1)]


def escape_key(key, rnd, rate):
    """The body of a JSON string for `key`, with some characters escaped
    (those JSON requires always)."""
    out = []
    for ch in key:
        cp = ord(ch)
        if ch in '"\\' or cp < 0x20:
            out.append({'"': '\\"', "\\": "\\\\", "\t": "\\t"}.get(ch) or "\\u%04x" % cp)
        elif 0xD800 <= cp < 0xE000:
            out.append("\\u%04x" % cp)
        elif rnd.random() < rate:
            if ch == "/" and rnd.random() < 0.5:
                out.append("\\/")
            elif cp > 0xFFFF:
                cp -= 0x10000
                out.append("\\u%04x\\u%04X" % (0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF)))
            else:
                out.append(("\\u%04x" if rnd.random() < 0.5 else "\\u%04X") % cp)
        else:
            out.append(ch)
    return "".join(out)


def string_body(rnd):
    """(raw body, code points): runs of one piece and mixes, 0 to 70 long."""
    n = rnd.choice([0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 70, rnd.randrange(71)])
    if rnd.random() < 0.5:
        raw, count = rnd.choice(PIECES[:5])
        return raw * n, count * n
    chosen = [rnd.choice(PIECES) for _ in range(n)]
    # A lone high surrogate escaped right before a lone low one makes a pair:
    # one code point.
    pairs = sum(1 for a, b in zip(chosen, chosen[1:]) if a[0] == "\\ud800" and b[0] == "\\udc00")
    return "".join(r for r, _ in chosen), sum(c for _, c in chosen) - pairs


class Builder:
    """Texts and their expected outputs for an omitter whose verdict of a
    decoded key (None: the top level) is `hides(key)`."""

    def __init__(self, rnd, hides, escape_rate=0.15, max_depth=6, keys=KEYS, spaces=SPACES):
        self.rnd = rnd
        self.spaces = spaces
        self.hides = hides
        self.escape_rate = escape_rate
        self.max_depth = max_depth
        self.keys = keys

    def space(self):
        return self.rnd.choice(self.spaces) if self.rnd.random() < 0.6 else ""

    def string(self, hidden):
        raw, count = string_body(self.rnd)
        text = '"' + raw + '"'
        return text, ('"' + "*" * count + '"' if hidden else text)

    def value(self, depth, hidden):
        """A value whose verdict (as a string or an array) is `hidden`."""
        c = self.rnd.random()
        if depth >= self.max_depth or c < 0.45:
            if self.rnd.random() < 0.7:
                return self.string(hidden)
            n = self.rnd.choice(NUMBERS)
            return n, n
        if c < 0.7:
            return self.array(depth, hidden, self.rnd.randrange(5))
        return self.object(depth, self.rnd.randrange(6))

    def array(self, depth, hidden, n):
        parts = [self.item(depth, hidden) for _ in range(n)]
        gap = self.space()
        return ("[" + ",".join(t for t, _ in parts) + gap + "]",
                "[" + ",".join(e for _, e in parts) + gap + "]")

    def item(self, depth, hidden):
        a, b = self.space(), self.space()
        t, e = self.value(depth + 1, hidden)
        return a + t + b, a + e + b

    def member(self, depth, key=None):
        key = self.rnd.choice(self.keys) if key is None else key
        raw = escape_key(key, self.rnd, self.escape_rate)
        a, b, c, d = self.space(), self.space(), self.space(), self.space()
        t, e = self.value(depth + 1, self.hides(key))
        head = a + '"' + raw + '"' + b + ":" + c
        return head + t + d, head + e + d

    def object(self, depth, n, keys=None):
        parts = [self.member(depth, None if keys is None else keys[i]) for i in range(n)]
        gap = self.space()
        return ("{" + ",".join(t for t, _ in parts) + gap + "}",
                "{" + ",".join(e for _, e in parts) + gap + "}")

    def document(self):
        a, b = self.space(), self.space()
        t, e = self.value(0, self.hides(None))
        return a + t + b, a + e + b

    def nested(self, depth):
        """A text nested `depth` levels deep in a random mix of arrays and
        objects, a string at the bottom: the nesting stack outgrows its first
        storage at every depth around its size."""
        opens, closes_t = [], []
        hidden = self.hides(None)
        for _ in range(depth):
            if self.rnd.random() < 0.5:
                opens.append("[" + self.space())
                closes_t.append(self.space() + "]")
            else:
                key = self.rnd.choice(self.keys)
                opens.append("{" + self.space() + '"' + escape_key(key, self.rnd, self.escape_rate) + '":')
                closes_t.append("}")
                hidden = self.hides(key)
        t, e = self.string(hidden)
        tail = "".join(reversed(closes_t))
        return "".join(opens) + t + tail, "".join(opens) + e + tail


def mutate(rnd, data):
    """`data` with a byte or two deleted, inserted or cut off at the end."""
    b = bytearray(data)
    for _ in range(rnd.randrange(1, 3)):
        if not b:
            break
        i = rnd.randrange(len(b))
        k = rnd.random()
        if k < 0.3:
            del b[i]
        elif k < 0.6:
            b.insert(i, rnd.choice(b' ,:[]{}"\\\t\r\nx1e.-\x00\xc3\xff'))
        else:
            del b[i:]
    return bytes(b)


# Small texts whose every single edit is tried: the delimiters the scanner
# looks for first, at every place.
EDIT_SEEDS = [b'{"pw": "x", "a": [1, "y", {}], "b": {"c": []}}', b'[ "a" ,{"pw":[]} , 2 ]',
              b'{"k\\u0061":\t"v"\r\n}', b'[[],{},[{}]]']


def single_edits(data):
    """`data` with one byte deleted, or one delimiter, space or letter put in,
    at every place."""
    for i in range(len(data) + 1):
        if i < len(data):
            yield data[:i] + data[i + 1:]
        for c in b',:[]{}" \t1x':
            yield data[:i] + bytes([c]) + data[i:]


def encode(text):
    return text.encode("utf-8", "surrogatepass")


# ---- The baseline comparison -------------------------------------------------------


def omitters(rnd):
    from velmora.omit import NoTrustOmitter, Omitter
    from velmora.rules import RuleNoTrustOmitter, RuleOmitter

    told = rnd.sample(TOLD, rnd.randrange(0, 7)) + ([None] if rnd.random() < 0.3 else [])
    plain = [k for k in told if k is not None]
    return [Omitter(told), NoTrustOmitter(told), RuleOmitter(plain, contains=["ass"], whole=rnd.random() < 0.5),
            RuleOmitter(plain, patterns=["^a{16}$", "ok"], mask="[é]"), RuleOmitter(plain, ignore_case=True, keep_last=2),
            RuleNoTrustOmitter(plain, contains=["id"], whole=True, mask="x"), RuleNoTrustOmitter(plain, keep_last=3)]


def outcome(module, function, *args, **kwargs):
    try:
        result = getattr(module, function)(*args, **kwargs)
    except module.ScanError as exc:
        return ("error", exc.msg, exc.pos, exc.lineno, exc.colno, str(exc))
    except Exception as exc:  # noqa: BLE001 - the kind and words are what is compared
        return ("raised", type(exc).__name__, str(exc))
    if isinstance(result, tuple):
        out, errors, lines = result
        return ("ok", out, [(e.msg, e.pos, e.lineno, e.colno) for e in errors], lines)
    return ("ok", result)


def compare_with_baseline(baseline_path, seed, count):
    import importlib.util

    import velmora.scan as current
    from velmora.detect import Detector
    from velmora.omit import Omitter

    spec = importlib.util.spec_from_file_location("velmora.scan", baseline_path)
    baseline = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(baseline)
    detectors = [None, Detector(["zqxwvu", "abcdefgh"]), Detector(formats=["jwt"])]
    rnd = random.Random(seed)
    differences = 0
    for _ in range(count):
        for omitter in omitters(rnd):
            b = Builder(rnd, lambda key: False)
            pick = rnd.random()
            if pick < 0.1:
                text, _ = b.nested(rnd.randrange(55, 140))
            elif pick < 0.3:
                text, _ = b.object(0, rnd.randrange(10, 80), [rnd.choice(KEYS + ["k%d" % i]) for i in range(80)])
            else:
                text, _ = b.document()
            data = encode(text)
            if rnd.random() < 0.4:
                data = mutate(rnd, data)
            lines = b"\n".join([data] + [encode(b.document()[0]).replace(b"\n", b" ") if rnd.random() < 0.7
                                         else mutate(rnd, encode(b.value(0, False)[0])) for _ in range(3)])
            detect = rnd.choice(detectors)
            calls = [("scan", data, {}), ("scan", data, {"detect": detect}), ("scan", data, {"compact": True}),
                     ("scan", data, {"indent": 1}), ("scan_lines", lines, {"detect": detect}),
                     ("scan_lines", lines, {"skip_invalid": True})]
            for path in current._paths():
                current._set_path(path)
                baseline._set_path(path)
                for function, arg, kwargs in calls:
                    want = outcome(baseline, function, omitter, arg, **kwargs)
                    got = outcome(current, function, omitter, arg, **kwargs)
                    if want != got:
                        differences += 1
                        print("DIFFERENT", path, function, kwargs, type(omitter).__name__, repr(arg[:400]),
                              "\n  was", repr(want)[:400], "\n  now", repr(got)[:400])
    omitter = Omitter(["pw", "k\u0061"])
    for path in current._paths():
        current._set_path(path)
        baseline._set_path(path)
        for seed_text in EDIT_SEEDS:
            for data in single_edits(seed_text):
                for function in ("scan", "scan_lines"):
                    want = outcome(baseline, function, omitter, data)
                    got = outcome(current, function, omitter, data)
                    if want != got:
                        differences += 1
                        print("DIFFERENT", path, function, repr(data), "\n  was", want, "\n  now", got)
    print("same" if differences == 0 else "differences", differences)


if __name__ == "__main__":
    import sys

    compare_with_baseline(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
