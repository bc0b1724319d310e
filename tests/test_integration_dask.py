"""velmora.integrations.dask: a JSON Lines file redacted on a cluster of
worker processes comes out, byte for byte, as ``velmora --lines`` writes
it, bad lines are placed in the whole file, and a failed run leaves no
output behind."""

import errno
import json
import os
import pathlib
import random
import signal
import subprocess
import sys

import pytest

distributed = pytest.importorskip(
    "distributed", reason="dask[distributed] is not installed (pip install 'velmora[dask]')")
import fsspec  # noqa: E402 - a dependency of dask
import psutil  # noqa: E402 - a dependency of distributed
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import velmora.omit as omit  # noqa: E402
from velmora.detect import Detector  # noqa: E402
from velmora.integrations.dask import InvalidLine, redact_lines  # noqa: E402
from velmora.omit import NoTrustOmitter, Omitter  # noqa: E402
from velmora.rules import RuleOmitter  # noqa: E402
from velmora.scan import scan_lines  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCK = 256 * 1024  # about a dozen blocks of the generated file
HIDE = ["password", "token", "email", "authorization"]
TRUST = ["ts", "level", "event", "user", "path", "status", "n"]


def api_log(rng, i):
    """One API-log record, its keys in several spellings, some text not ASCII."""
    name = rng.choice(["ann", "Łukasz", "Zoë", "李雷", "O'Neil \"Bo\""])
    record = {
        "ts": f"2024-05-02T08:{i % 60:02d}:{i % 59:02d}Z", "level": rng.choice(["info", "warn"]),
        "event": rng.choice(["login", "token.create", "payment"]), "user": name, "n": i,
        rng.choice(["password", "Password", "PASSWORD"]): "hunter2-" + "x" * rng.randint(0, 9),
        "request": {"path": f"/v1/users/{i}", "headers": {"Authorization": "Bearer abc",
                                                          "authorization": "Bearer déf"}},
        "profile": {"email": f"{name}@example.org", "tags": ["a", "ü", "😀"], "token": [1, "t0k", None]},
        "amount": rng.choice([42, -0.5, 1e400, "1E5"]),
    }
    return json.dumps(record, ensure_ascii=rng.random() < 0.3).encode()


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """A few MB: LF and CRLF ends, blank and white-space lines, a byte order
    mark at a line's start, one line longer than a block (some blocks come
    out empty), and a last line without a line break."""
    rng = random.Random(20240502)
    lines = []
    for i in range(9000):
        end = rng.choice([b"\n", b"\n", b"\r\n"])
        lines.append(api_log(rng, i) + end)
        if i % 97 == 0:
            lines.append(rng.choice([b"\n", b"\r\n", b"   \n", b"\t\r\n"]))
    lines[4000] = b"\xef\xbb\xbf" + lines[4000]
    lines[6000] = json.dumps({"password": "p" * (3 * BLOCK), "n": 1}).encode() + b"\n"
    lines.append(api_log(rng, 9000))
    path = tmp_path_factory.mktemp("dask") / "events.jsonl"
    path.write_bytes(b"".join(lines))
    assert 3e6 < path.stat().st_size < 5e6
    return path


def children():
    """This process's child processes, but multiprocessing's resource
    tracker (which lives as long as the interpreter)."""
    return {p.pid for p in psutil.Process().children(recursive=True)
            if "resource_tracker" not in " ".join(p.cmdline())}


@pytest.fixture(scope="module")
def client():
    before = children()
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        workers = client.run(os.getpid)
        assert len(set(workers.values())) == 2 and os.getpid() not in workers.values()
        yield client
    # Shut down cleanly: no worker (or nanny) process outlives the cluster.
    assert not [pid for pid in workers.values() if psutil.pid_exists(pid)]
    assert children() <= before


def command_line(*args, cwd):
    proc = subprocess.run([sys.executable, "-m", "velmora", "--lines", *map(str, args)], cwd=cwd,
                          capture_output=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr.decode("utf-8")


def output_bytes(result):
    return b"".join(pathlib.Path(name).read_bytes() for name in result.files)


OMITTERS = {"hide": (Omitter(HIDE), [a for key in HIDE for a in ("--hide", key)]),
            "trust": (NoTrustOmitter(TRUST), [a for key in TRUST for a in ("--trust", key)])}


@pytest.mark.parametrize("output", ["clean.jsonl", "parts/part-*.jsonl"])
@pytest.mark.parametrize("kind", OMITTERS)
def test_output_is_what_the_command_line_writes(dataset, client, tmp_path, kind, output):
    omitter, flags = OMITTERS[kind]
    code, expected, err = command_line(*flags, dataset, cwd=tmp_path)
    assert (code, err) == (0, "")
    data = dataset.read_bytes()
    assert expected != data and not data.endswith(b"\n") and expected.endswith(b"}")

    result = redact_lines(omitter, dataset, tmp_path / output, blocksize=BLOCK)
    assert output_bytes(result) == expected
    assert result.lines == data.count(b"\n") + 1 and result.errors == []
    if "*" in output:
        # One file per block, named in order; the long line leaves some empty.
        assert result.files == sorted(map(str, (tmp_path / "parts").iterdir()))
        assert len(result.files) >= len(data) // BLOCK
        assert any(os.path.getsize(name) == 0 for name in result.files)
        assert result.files[0].endswith("part-00000.jsonl")
    else:
        assert result.files == [str(tmp_path / output)]
        assert sorted(os.listdir(tmp_path)) == ["clean.jsonl"]  # no temporary left
        umask = os.umask(0o22)
        os.umask(umask)
        assert os.stat(result.files[0]).st_mode & 0o777 == 0o666 & ~umask


def test_workers_are_processes_that_get_the_pickled_omitter(dataset, client, tmp_path):
    # Module-wide keys are copied into the omitter when it is made: the
    # workers, other interpreters, know "email" only from the pickle.
    omit.always_omit(["email"])
    omitter = RuleOmitter(["password", "token"], ignore_case=True, keep_last=2)
    assert list(client.run(omit.globally_hidden).values()) == [[], []]
    (tmp_path / "clean.jsonl").write_bytes(b"replaced, keeping its mode")
    (tmp_path / "clean.jsonl").chmod(0o604)
    with distributed.get_task_stream(client) as tasks:
        result = redact_lines(omitter, dataset, tmp_path / "clean.jsonl", blocksize=BLOCK)
    assert (tmp_path / "clean.jsonl").stat().st_mode & 0o777 == 0o604
    data = dataset.read_bytes()
    reference, errors, _ = scan_lines(omitter, data)
    assert errors == [] and output_bytes(result) == reference
    # Case folding, the mask policy and the module-wide key took effect there.
    assert b'"PASSWORD": "********x' in reference and b'"email": "*' in reference
    assert reference != scan_lines(Omitter(["password", "token", "email"]), data)[0]
    ran = {task["worker"] for task in tasks.data if "-block-" in str(task["key"])}
    workers = client.run(os.getpid)
    assert ran and ran <= set(workers) and os.getpid() not in {workers[w] for w in ran}


def test_the_omitters_own_detector_masks_inside_text_on_the_workers(client, tmp_path):
    """A rule omitter's detect= travels with its pickle and masks on the workers what the walk masks."""
    secret = "relay-pass-2026"
    omitter = RuleOmitter(["password"], detect=Detector([secret], formats=["aws"]))
    docs = [{"password": f"p{i}", "note": f"line {i}: {secret}", "l": ["AKIA" + "ABCDEFGHIJKLMNOP"]} for i in range(400)]
    (tmp_path / "in.jsonl").write_text("".join(json.dumps(d) + "\n" for d in docs))
    result = redact_lines(omitter, tmp_path / "in.jsonl", tmp_path / "out.jsonl", blocksize=4096)
    out = output_bytes(result)
    assert secret.encode() not in out and b"AKIA" not in out
    assert out == b"".join(json.dumps(omitter.omit(d)).encode() + b"\n" for d in docs)


def with_bad_lines(dataset, directory):
    """The data set with bad lines in three blocks, the last line one of them."""
    lines = dataset.read_bytes().split(b"\n")
    lines[6] = b'{"password": tru}'
    lines[len(lines) // 2] = b'{"user": "ann", "password": "unterminated\r'
    lines[-1] = b'["no end"'
    path = directory / "bad.jsonl"
    path.write_bytes(b"\n".join(lines))
    return path


@pytest.mark.parametrize("output", ["clean.jsonl", "parts/part-*.jsonl"])
def test_first_bad_line_stops_the_run_and_leaves_no_output(dataset, client, tmp_path, output):
    source = with_bad_lines(dataset, tmp_path)
    code, _, err = command_line("--hide", "password", source, cwd=tmp_path)
    assert code == 2 and err.count("\n") == 1
    if "*" not in output:
        (tmp_path / output).write_bytes(b"kept")
    before = set(tmp_path.rglob("*"))
    with pytest.raises(InvalidLine) as caught:
        redact_lines(Omitter(["password"]), source, str(tmp_path / output), blocksize=BLOCK)
    assert f"velmora: {caught.value}\n" == err
    assert (caught.value.lineno, caught.value.colno) == (7, 14)
    # The file is not replaced; the parts written by other blocks are removed.
    assert set(tmp_path.rglob("*")) - before <= {tmp_path / "parts"}
    assert not list(tmp_path.rglob("part-*")) and not list(tmp_path.glob(".*"))
    if "*" not in output:
        assert (tmp_path / output).read_bytes() == b"kept"


@pytest.mark.parametrize("output", ["clean.jsonl", "parts/part-*.jsonl"])
def test_skipped_lines_are_reported_as_the_command_line_does(dataset, client, tmp_path, output):
    source = with_bad_lines(dataset, tmp_path)
    code, expected, err = command_line("--hide", "password", "--skip-invalid", source, cwd=tmp_path)
    assert code == 0
    result = redact_lines(Omitter(["password"]), source, str(tmp_path / output), skip_invalid=True,
                          blocksize=BLOCK)
    assert output_bytes(result) == expected
    assert [f"velmora: skipped {e}" for e in result.errors] + ["velmora: skipped 3 invalid lines"] == \
        err.splitlines()
    whole = scan_lines(Omitter(["password"]), source.read_bytes(), skip_invalid=True)[1]
    assert [(e.lineno, e.colno, e.pos, e.msg) for e in result.errors] == \
        [(e.lineno, e.colno, e.pos, e.msg) for e in whole]


# Lines of JSON Lines text, some of them bad, with every kind of line end.
LINE = st.sampled_from([b'{"pw": "ab\\u00e9"}', b'["pw", {"pw": ["x"]}]', b"", b"  ", b"\xef\xbb\xbf{}",
                        b'{"pw": tru}', b'{"pw": "\xff"}', b"[1,]", b'{"a": {"pw": "\xf0\x9f\x98\x80"}}'])
TEXT = st.lists(st.tuples(LINE, st.sampled_from([b"\n", b"\r\n"])), max_size=12).flatmap(
    lambda lines: st.sampled_from([b"", b'{"pw": "end"}', b"bad"]).map(
        lambda last: b"".join(line + end for line, end in lines) + last))


@settings(max_examples=25, deadline=None)
@given(data=TEXT, blocksize=st.integers(1, 64), skip_invalid=st.booleans())
def test_blocks_add_up_to_the_whole_file(client, tmp_path_factory, data, blocksize, skip_invalid):
    # Whatever the blocks, output and faults are those of one scan of the
    # whole file, with faults placed in it.
    directory = tmp_path_factory.mktemp("blocks")
    (directory / "in.jsonl").write_bytes(data)
    omitter = Omitter(["pw"])
    out, errors, lines = scan_lines(omitter, data, skip_invalid=skip_invalid)
    where = [(str(directory / "in.jsonl"), e.lineno, e.colno, e.pos, e.msg) for e in errors]
    try:
        result = redact_lines(omitter, directory / "in.jsonl", directory / "out.jsonl",
                              skip_invalid=skip_invalid, blocksize=blocksize)
    except InvalidLine as exc:
        assert not skip_invalid and where[:1] == [(exc.path, exc.lineno, exc.colno, exc.pos, exc.msg)]
        assert not (directory / "out.jsonl").exists()
        return
    assert (directory / "out.jsonl").read_bytes() == out
    assert (result.lines, [(e.path, e.lineno, e.colno, e.pos, e.msg) for e in result.errors]) == (lines, where)


class Overriding(Omitter):
    def omit(self, target):
        return target


@pytest.mark.parametrize("omitter, source, output, options, exception, message", [
    (Overriding(["pw"]), "in.jsonl", "out.jsonl", {}, TypeError, "cannot honour Overriding.omit()"),
    ({"pw"}, "in.jsonl", "out.jsonl", {}, TypeError, "omitter must be a velmora.omit.Omitter, not set"),
    (Omitter(["pw"]), "in.jsonl", "memory://out.jsonl", {}, ValueError, "one output file is written by the client"),
    (Omitter(["pw"]), "in.jsonl", "out.jsonl", {"blocksize": 0}, ValueError, "blocksize must be a positive"),
    (Omitter(["pw"]), "in.jsonl", "out.jsonl", {"blocksize": "1.5 bytes"}, ValueError, "blocksize must be"),
    (Omitter(["pw"]), "in.jsonl", "out.jsonl", {"timeout": 0}, ValueError, "timeout must be a positive"),
    # OSErrors name the path as given, for a message such as the command
    # line's: "cannot write stale: Is a directory".
    (Omitter(["pw"]), "in.jsonl", "stale/part-*.jsonl", {}, FileExistsError, "1 file matches it already"),
    (Omitter(["pw"]), "in.jsonl", "stale", {}, IsADirectoryError, "Is a directory"),
    (Omitter(["pw"]), "in.jsonl", "nodir/out.jsonl", {}, FileNotFoundError, "No such file or directory"),
    (Omitter(["pw"]), "missing.jsonl", "out.jsonl", {}, FileNotFoundError, "No such file or directory"),
    (Omitter(["pw"]), "stale", "out.jsonl", {}, IsADirectoryError, "Is a directory"),
    (Omitter(["pw"]), "fifo", "out.jsonl", {}, OSError, "not a regular file"),
])
def test_refusals_come_before_any_work(client, tmp_path, omitter, source, output, options, exception, message):
    (tmp_path / "in.jsonl").write_bytes(b'{"pw": "x"}\n')
    (tmp_path / "stale").mkdir()
    (tmp_path / "stale" / "part-00007.jsonl").write_bytes(b"old")
    os.mkfifo(tmp_path / "fifo")
    before = set(tmp_path.rglob("*"))
    named = {name: name if "://" in name else str(tmp_path / name) for name in (source, output)}
    with pytest.raises(exception, match=message.replace("(", r"\(").replace(")", r"\)")) as caught:
        redact_lines(omitter, named[source], named[output], **options)
    if isinstance(caught.value, OSError):
        assert caught.value.filename in (named[source], named[output])
    assert set(tmp_path.rglob("*")) == before


def test_a_full_disk_is_reported_about_the_output(client, tmp_path):
    (tmp_path / "in.jsonl").write_bytes(b'{"pw": "x"}\n' * 100)
    with pytest.raises(OSError) as caught:
        redact_lines(Omitter(["pw"]), tmp_path / "in.jsonl", "/dev/full")
    assert (caught.value.errno, caught.value.filename) == (errno.ENOSPC, "/dev/full")


def test_blocks_are_blocksize_bytes_of_the_file_and_a_line(client, tmp_path):
    # Blocks of the size asked for (with the line that crosses the end), not
    # the file shared out evenly into fewer, larger blocks.
    lines = [b'{"n": %d, "pad": "%s"}\n' % (i, b"x" * (i % 50)) for i in range(600)]
    data = b"".join(lines)
    blocksize = int(len(data) / 10.5)
    (tmp_path / "in.jsonl").write_bytes(data)
    result = redact_lines(Omitter(["none"]), tmp_path / "in.jsonl", tmp_path / "parts" / "p-*.jsonl",
                          blocksize=blocksize)
    assert output_bytes(result) == data
    assert len(result.files) == 11
    assert max(os.path.getsize(name) for name in result.files) < blocksize + max(map(len, lines))


def test_parts_on_another_file_system_appear_only_whole(dataset, tmp_path):
    # A file system without unnamed files (fsspec's in-memory one, which a
    # cluster of threads shares): each part is written under a temporary
    # name, then moved; a failed run leaves neither.
    memory = fsspec.filesystem("memory")
    code, expected, _ = command_line("--hide", "password", dataset, cwd=tmp_path)
    source = with_bad_lines(dataset, tmp_path)
    with distributed.Client(processes=False, n_workers=2, threads_per_worker=2, dashboard_address=":0") as threads:
        result = redact_lines(Omitter(["password"]), dataset, "memory://velmora/ok/part-*.jsonl", blocksize=BLOCK,
                              client=threads)
        with pytest.raises(InvalidLine):
            redact_lines(Omitter(["password"]), source, "memory://velmora/bad/part-*.jsonl", blocksize=BLOCK,
                         client=threads)
    try:
        assert code == 0 and b"".join(memory.cat(name) for name in result.files) == expected
        assert all(name.startswith("memory://") for name in result.files)
        assert sorted(memory.find("/velmora")) == sorted(name.removeprefix("memory://") for name in result.files)
    finally:
        memory.rm("/velmora", recursive=True)


def test_signals_wait_for_the_clean_up():
    # A second Ctrl-C must not cut the removal of parts short: it reaches
    # its handler once the clean-up is done.
    from velmora.integrations.dask import _signals_deferred
    done = []
    with pytest.raises(KeyboardInterrupt):
        with _signals_deferred():
            signal.raise_signal(signal.SIGINT)
            done.append("cleaned up")
    assert done == ["cleaned up"] and signal.getsignal(signal.SIGINT) is signal.default_int_handler


class _SignalledClient:
    """Stands for a client: takes every submission, and a SIGINT arrives as the `at`-th block's submission
    returns."""

    def __init__(self, at):
        self.at, self.blocks, self.scheduler = at, [], None

    def submit(self, *args, key, **kwargs):
        if "-block-" in key:
            self.blocks.append(key)
            if len(self.blocks) == self.at:
                signal.raise_signal(signal.SIGINT)
        return key

    def nthreads(self):
        return {"worker": 64}


class _UnreachableClient(_SignalledClient):
    """Stands for a client whose scheduler died: asking it anything fails the way distributed's connect
    does when the port refuses until its timeout."""

    def __init__(self):
        super().__init__(at=0)
        self.scheduler = type("Scheduler", (), {"address": "tcp://127.0.0.1:9"})()

    def nthreads(self):
        raise OSError("Timed out trying to connect to tcp://127.0.0.1:9 after 2 s")


def test_a_scheduler_that_cannot_be_reached_is_a_lost_one():
    from velmora.integrations.dask import ClusterError, _Run
    run = _Run(_UnreachableClient(), Omitter(["pw"]), (None, "in.jsonl"), "in.jsonl", 10 * 1000, 1000, False, None)
    with pytest.raises(ClusterError, match=r"^lost the scheduler at tcp://127\.0\.0\.1:9$"):
        run.run(lambda index: None, lambda _: None)
    assert run.lost and run.abandon(wait=True) is False


@pytest.mark.parametrize("at", [1, 2, 5])
def test_a_signal_as_a_block_is_submitted_comes_after_its_count(at):
    # The clean-up waits for the blocks the run counts and removes their parts: a block submitted but
    # not counted would write a part after it.
    from velmora.integrations.dask import _Run
    client = _SignalledClient(at)
    run = _Run(client, Omitter(["pw"]), (None, "in.jsonl"), "in.jsonl", 10 * 1000, 1000, False, None)
    with pytest.raises(KeyboardInterrupt):
        run.run(lambda index: None, lambda _: None)
    assert run.submitted == len(client.blocks) == at
    assert [key for _, key in run.pending] == client.blocks


def test_special_files_are_written_to_not_replaced(client, tmp_path):
    (tmp_path / "in.jsonl").write_bytes(b'{"pw": "x"}\n' * 1000)
    os.mkfifo(tmp_path / "fifo")
    os.symlink(tmp_path / "fifo", tmp_path / "link")
    reader = subprocess.Popen(["cat", str(tmp_path / "fifo")], stdout=subprocess.PIPE)
    try:
        redact_lines(Omitter(["pw"]), tmp_path / "in.jsonl", str(tmp_path / "link"), blocksize=1000)
        assert reader.communicate(timeout=60)[0] == b'{"pw": "*"}\n' * 1000
    finally:
        reader.kill()
        reader.wait()
    assert (tmp_path / "fifo").is_fifo() and (tmp_path / "link").is_symlink()
    assert sorted(os.listdir(tmp_path)) == ["fifo", "in.jsonl", "link"]


def test_one_file_at_a_time(client, tmp_path):
    for name in ("a.jsonl", "b.jsonl"):
        (tmp_path / name).write_bytes(b"{}\n")
    with pytest.raises(ValueError, match="names 2 files; give one"):
        redact_lines(Omitter(["pw"]), str(tmp_path / "*.jsonl"), str(tmp_path / "out.jsonl"))


def test_empty_file_makes_an_empty_output(client, tmp_path):
    (tmp_path / "in.jsonl").write_bytes(b"")
    result = redact_lines(Omitter(["pw"]), tmp_path / "in.jsonl", str(tmp_path / "parts" / "p-*.jsonl"))
    assert (result.lines, result.errors, output_bytes(result)) == (0, [], b"")
    assert len(result.files) == 1  # so that ``cat parts/p-*`` finds a file


@pytest.mark.parametrize("flags", [[], ["--skip-invalid"]])
def test_example_script_does_what_the_command_line_does(tmp_path, flags):
    records = (ROOT / "examples" / "records.jsonl").read_bytes().splitlines(keepends=True)
    source = tmp_path / "in.jsonl"
    source.write_bytes(b"".join(records[:3] + [b'{"token": }\r\n'] + records[3:]))
    keys = ["--keys-file", ROOT / "examples" / "keys.txt"]
    code, expected, err = command_line(*keys, *flags, source, cwd=tmp_path)
    proc = subprocess.run([sys.executable, ROOT / "examples" / "dask_redact.py", *map(str, keys), *flags,
                           "--blocksize", "200", source, tmp_path / "out.jsonl"],
                          capture_output=True, timeout=120)
    # What the command line says, and nothing else: Dask's own log lines
    # are kept for --verbose.
    assert (proc.returncode, proc.stdout, proc.stderr.decode()) == (code, b"", err) and err
    assert (tmp_path / "out.jsonl").exists() == (code == 0)
    if code == 0:
        assert (tmp_path / "out.jsonl").read_bytes() == expected


@pytest.mark.parametrize("protocol", ["file", "memory"])
@pytest.mark.parametrize("answers", [[False, True], [False, "lost"]], ids=["called off", "scheduler lost"])
def test_a_part_named_as_its_run_is_called_off_is_taken_back(monkeypatch, tmp_path, protocol, answers):
    # The client's removal pass may come between a worker's last look at the
    # run and its part taking its name: the worker looks once more after.
    import velmora.integrations.dask as integration
    pending = list(answers)

    def called_off(run):
        answer = pending.pop(0)
        if answer == "lost":
            raise integration.ClusterError("a worker could not reach the scheduler")
        return answer
    monkeypatch.setattr(integration, "_called_off", called_off)
    fs = fsspec.filesystem(protocol)
    path = str(tmp_path / "part-0.jsonl") if protocol == "file" else "/velmora-test/part-0.jsonl"
    with pytest.raises((integration._Withdrawn, integration.ClusterError)):
        integration._write_part(fs, path, "run", b'{"a": 1}\n')
    assert not fs.exists(path) and pending == []
    left = os.listdir(tmp_path) if protocol == "file" else fs.find("/velmora-test")
    assert left == []  # no temporary either
