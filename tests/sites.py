"""The module's traceback sites, read from the table the extension is built
from (src/velmora/omit/sites.h), so that the tests name each site as the
code does: `S.OmitStrMask` is ("velmora.omit.Omitter.omit", SOURCE_FILE, 54),
the (name, file, line) triple that `module_entries` gives."""

import os
import re
import types

from conftest import SOURCE_FILE, STRINGSOURCE

_TABLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "velmora", "omit",
                      "sites.h")
_FILES = {"kSourceFile": SOURCE_FILE, "kStringSource": STRINGSOURCE}
_ROW = re.compile(r'X\((\w+),\s*"([^"]+)",\s*(\w+),\s*(\d+)\)')


def _read():
    with open(_TABLE, encoding="utf-8") as f:
        rows = _ROW.findall(f.read())
    assert rows, f"no sites found in {_TABLE}"
    return {name: (qualname, _FILES[file], int(line)) for name, qualname, file, line in rows}


SITES = _read()
S = types.SimpleNamespace(**SITES)


def at(name):
    """(qualified name, line) of a site, as the hostile-code cases compare them."""
    qualname, _, line = SITES[name]
    return qualname, line
