"""False positives on real JSON nobody here wrote: the JSON data files that
ship with packages on this machine (the AWS SDK's service models and
examples, the Google Cloud SDK's files, ISO codes). Every string in them
is scanned with the default formats, as the JSON scanner would see it
(decoded); what is found must be one of the real hits named here."""

import glob
import gzip
import json
import os

import pytest

from velmora.detect import Detector

CORPORA = {
    # The AWS SDK's request examples, and every tenth service model.
    "botocore": sorted(glob.glob("/root/.pyenv/versions/*/lib/python*/site-packages/botocore/data/*/*/examples-1.json"))
    + sorted(glob.glob("/root/.pyenv/versions/*/lib/python*/site-packages/botocore/data/*/*/service-2.json.gz"))[::10],
    "google-cloud-sdk": sorted(glob.glob("/usr/lib/google-cloud-sdk/platform/gsutil/**/*.json", recursive=True))
    + sorted(glob.glob("/usr/lib/google-cloud-sdk/platform/bq/**/*.json", recursive=True)),
    "iso-codes": sorted(glob.glob("/usr/share/iso-codes/json/*.json")),
}


def strings(doc):
    stack = [doc]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            yield item
        elif isinstance(item, dict):
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)


def real_hit(kinds, found, text):
    """The hits these corpora hold for real, by what they look like."""
    if kinds == ("aws",):
        return found.endswith("EXAMPLE")  # the AWS documentation's example key ids
    if kinds == ("private-key",):
        return "PRIVATE KEY-----" in text  # test keys of the Cloud SDK, a documented example
    return False


@pytest.mark.parametrize("corpus", sorted(CORPORA))
def test_default_formats_find_only_real_hits_in_real_json(corpus):
    files = CORPORA[corpus]
    if not files:
        pytest.skip(f"no {corpus} JSON files on this machine")
    detector = Detector()
    scanned, unexplained, hits = 0, [], {}
    for path in files:
        raw = open(path, "rb").read()
        if path.endswith(".gz"):
            raw = gzip.decompress(raw)
        try:
            doc = json.loads(raw)
        except ValueError:
            continue
        for text in strings(doc):
            scanned += len(text)
            for begin, end, kinds in detector.find(text):
                hits[kinds] = hits.get(kinds, 0) + 1
                if not real_hit(kinds, text[begin:end], text):
                    unexplained.append((os.path.basename(path), kinds, text[max(0, begin - 30):end + 10]))
    assert scanned > 100_000
    assert unexplained == [], unexplained[:10]
