"""Command-line faults found in review: signals during the final rename with
threads, rejected lines of several inputs, and three messages that said too
little. Every run is its own process."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from test_cli import velmora, write


@pytest.mark.parametrize("flag", ["--contains", "--contains="])
def test_an_empty_contains_word_is_refused_in_the_flags_words(flag):
    args = [flag + "", ""] if flag == "--contains" else [flag]
    code, out, err = velmora(*args, "--hide", "a", stdin='{"a": "b"}')
    assert (code, out) == (2, "")
    assert "argument --contains: an empty WORD would match every key" in err, err
    assert "contains holds" not in err


@pytest.mark.parametrize("lines", [False, True])
@pytest.mark.parametrize("text, message", [
    ('{"a": "abc', "Unterminated string starting at line 1, column 7"),
    ('{"b": 1,\n "a": "x\ty"}', "Invalid control character at line 2, column 9"),
])
def test_messages_that_point_somewhere_name_the_place(text, message, lines):
    code, out, err = velmora("--hide", "a", *(["--lines"] if lines else []), stdin=text.replace("\n", " ")
                             if lines else text)
    if lines:
        message = message.replace("line 2, column 9", "line 1, column 18")
    assert code == 2 and out == ""
    assert err.rstrip("\n").endswith(message), err


def test_a_keys_file_without_keys_is_refused_or_reported(tmp_path):
    write(tmp_path / "empty.txt", "# nothing yet\n\n   \n")
    write(tmp_path / "keys.txt", "password\n")
    write(tmp_path / "in.json", '{"password": "pw", "name": "Ann"}')
    # Nothing else to hide: the run would mask nothing, which is a mistake.
    code, out, err = velmora("--keys-file", "empty.txt", "in.json", cwd=tmp_path)
    assert (code, out) == (2, "")
    assert "keys file empty.txt holds no key: nothing would be masked" in err, err
    # With other keys the run goes on, and says which file gave nothing.
    code, out, err = velmora("--keys-file", "empty.txt", "--keys-file", "keys.txt", "in.json", cwd=tmp_path)
    assert (code, out) == (0, '{"password": "**", "name": "Ann"}')
    assert err == "velmora: keys file empty.txt holds no key\n"
    # Trusting nothing masks everything: reported, not refused.
    code, out, err = velmora("--trust", "x", "--keys-file", "empty.txt", "in.json", cwd=tmp_path)
    assert (code, out, err) == (0, '{"password": "**", "name": "***"}', "velmora: keys file empty.txt holds no key\n")
    code, out, err = velmora("--keys-file", "empty.txt", "--defaults", "in.json", cwd=tmp_path)
    assert (code, out) == (0, '{"password": "**", "name": "Ann"}') and "holds no key" in err


def test_rejected_lines_of_several_inputs_stay_apart(tmp_path):
    (tmp_path / "a.jsonl").write_bytes(b'{"k": "a"}\n{bad1')
    (tmp_path / "b.jsonl").write_bytes(b'{bad2\n{"k": "b"}\n[bad3')
    (tmp_path / "c.jsonl").write_bytes(b'{"k": "c"}\n')
    for jobs in ("1", "2"):
        code, out, err = velmora("--hide", "k", "--lines", "--skip-invalid", "--rejects", "bad.jsonl", "--jobs", jobs,
                                 "a.jsonl", "b.jsonl", "c.jsonl", cwd=tmp_path)
        assert code == 0 and "skipped 3 invalid lines" in err
        assert out == '{"k": "*"}\n{"k": "*"}\n{"k": "*"}\n'
        assert (tmp_path / "bad.jsonl").read_bytes() == b"{bad1\n{bad2\n[bad3"


# A run with threads whose final link-and-rename is interrupted: the hook on
# os.link sends SIGTERM to the process while the signals are held, and
# lingers there so that a thread that has not blocked the signal would take
# it. The scans record the signal mask of the thread they run in.
INTERRUPTED_AT_RENAME = """
    import os, signal, sys, threading, time
    import velmora.cli.runs

    masks = []
    scan_lines_into = velmora.cli.runs._scan_lines_into

    def recording_scan(*args, **kwargs):
        masks.append(signal.pthread_sigmask(signal.SIG_BLOCK, []))
        return scan_lines_into(*args, **kwargs)

    velmora.cli.runs._scan_lines_into = recording_scan
    link = os.link
    threads_at_link = []

    def interrupting_link(*args, **kwargs):
        link(*args, **kwargs)
        if not threads_at_link:
            threads_at_link.append(threading.active_count())
            os.kill(os.getpid(), signal.SIGTERM)
            time.sleep(0.3)

    os.link = interrupting_link
    import velmora.cli
    code = velmora.cli.main(sys.argv[1:])
    held = {signal.SIGINT, signal.SIGTERM}
    assert masks and all(held <= mask for mask in masks), masks
    assert all(thread is threading.main_thread() for thread in threading.enumerate())
    assert threads_at_link == [1], threads_at_link
    sys.exit(code)
"""


@pytest.mark.parametrize("rejects", [False, True])
def test_a_signal_during_the_final_rename_leaves_no_temporary(tmp_path, rejects):
    data = b"".join(b'{"k": "secret%d"}\n' % i for i in range(20_000)) + (b"bad\n" if rejects else b"")
    (tmp_path / "in.jsonl").write_bytes(data)
    extra = ["--skip-invalid", "--rejects", "bad.jsonl"] if rejects else []
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERRUPTED_AT_RENAME), "--hide", "k", "--lines",
                           "--jobs", "2", "--batch-size", "500", *extra, "-o", "out.jsonl", "in.jsonl"],
                          cwd=tmp_path, capture_output=True, timeout=120)
    assert b"Traceback" not in proc.stderr, proc.stderr.decode()
    # The signal waited for the rename it came in, then ended the run as it
    # ends any: the rejects are put in place first, and the output after
    # them is then given up.
    assert proc.returncode == 128 + signal.SIGTERM, proc.stderr.decode()
    if rejects:
        assert sorted(os.listdir(tmp_path)) == ["bad.jsonl", "in.jsonl"]
        assert (tmp_path / "bad.jsonl").read_bytes() == b"bad\n"
    else:
        assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl"]
        expected = b"".join(b'{"k": "%s"}\n' % (b"*" * len(b"secret%d" % i)) for i in range(20_000))
        assert (tmp_path / "out.jsonl").read_bytes() == expected


SIGNAL_HELD_WHILE_THE_TEMPORARY_IS_MADE = """
import contextlib, os, signal, sys
import velmora.cli.outfile as outfile
from velmora.cli.signals import Interrupted, interruptible

outfile._anonymous_file = lambda directory: None  # as on a file system without unnamed files

@contextlib.contextmanager
def guard():
    # What holding SIGTERM around the temporary's making comes to: the
    # signal is there as the guard ends.
    yield
    os.kill(os.getpid(), signal.SIGTERM)

try:
    with interruptible(), outfile.replacing("out.json", "out.json", guard) as stream:
        stream.write(b"never")
except Interrupted:
    sys.exit(3)
"""


def test_a_signal_delivered_as_the_temporary_is_made_removes_it(tmp_path):
    proc = subprocess.run([sys.executable, "-c", SIGNAL_HELD_WHILE_THE_TEMPORARY_IS_MADE], cwd=tmp_path,
                          capture_output=True, timeout=60)
    assert proc.returncode == 3, proc.stderr.decode()
    assert os.listdir(tmp_path) == []


SIGNAL_SWALLOWED_BY_A_FINALISER = """
import os, signal, sys
from velmora.cli import signals
from velmora.cli.outfile import replacing
from velmora.cli.signals import Interrupted, interruptible

class Finalised:
    def __del__(self):
        # The handler runs here, inside a finaliser, and Python only prints
        # what it raises.
        os.kill(os.getpid(), signal.SIGTERM)
        for _ in range(1000):
            pass

try:
    with interruptible(), replacing("out.json", "out.json", signals.held) as stream:
        stream.write(b"the run went on")
        Finalised()
except Interrupted as exc:
    sys.exit(exc.signum)
"""


def test_a_signal_swallowed_by_a_finaliser_still_ends_the_run_with_no_output(tmp_path):
    proc = subprocess.run([sys.executable, "-c", SIGNAL_SWALLOWED_BY_A_FINALISER], cwd=tmp_path,
                          capture_output=True, timeout=60)
    assert proc.returncode == signal.SIGTERM, proc.stderr.decode()
    assert proc.stderr == b""  # not printed where it was swallowed either
    assert os.listdir(tmp_path) == []


KILLED_AFTER_THE_LINK = """
import os, sys
import velmora.cli.outfile as outfile
from velmora.cli import main

# What a kill -9 between linking the output and renaming it over the
# target comes to: the process ends with no clean-up at all.
outfile.os.replace = lambda *args, **kwargs: os._exit(9)
sys.exit(main(["--hide", "k", "--lines", "-o", "out.jsonl", "in.jsonl"]))
"""


@pytest.mark.parametrize("existing", [False, True])
def test_a_run_killed_after_the_link_leaves_no_temporary_where_no_file_was(tmp_path, existing):
    # A new output is linked into place in one step: nothing of the run's own
    # is there to leave. Only replacing a file takes a second name, and a
    # kill between the link and the rename leaves that name (with the
    # redacted output in it) beside the untouched file.
    (tmp_path / "in.jsonl").write_bytes(b'{"k": "secret"}\n' * 1000)
    if existing:
        (tmp_path / "out.jsonl").write_bytes(b"old\n")
    proc = subprocess.run([sys.executable, "-c", KILLED_AFTER_THE_LINK], cwd=tmp_path, capture_output=True,
                          timeout=60)
    names = sorted(os.listdir(tmp_path))
    if existing:
        assert proc.returncode == 9 and len(names) == 3, (proc.returncode, names)
        assert (tmp_path / "out.jsonl").read_bytes() == b"old\n"
        leftover = next(tmp_path / n for n in names if n.endswith(".tmp"))
        assert b"secret" not in leftover.read_bytes()
    else:
        assert proc.returncode == 0, proc.stderr.decode()
        assert names == ["in.jsonl", "out.jsonl"]
        assert (tmp_path / "out.jsonl").read_bytes() == b'{"k": "******"}\n' * 1000
