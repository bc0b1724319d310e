"""velmora.integrations.dask on a real cluster, as an operator runs it: a
``dask scheduler`` and two ``dask worker`` processes on 127.0.0.1, each in
a process group of its own (as if on a machine of its own), and
examples/dask_redact.py as the client. Workers, the scheduler and the
client are killed mid-run; each case checks the exit status, what the
operator reads, the output and what is left in the directory.

The workers load dask_paced_worker.py: every block takes a little longer
and leaves a mark, so that "mid-run" is a count of blocks done, whatever
the machine's speed."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

distributed = pytest.importorskip(
    "distributed", reason="dask[distributed] is not installed (pip install 'velmora[dask]')")
import fsspec  # noqa: E402 - a dependency of dask

from velmora.omit import Omitter  # noqa: E402
from velmora.scan import scan_lines  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "dask_redact.py"
PACED = pathlib.Path(__file__).resolve().parent / "dask_paced_worker.py"
PACE = 0.1  # seconds more for each block on the workers
BLOCK = 16 * 1024
HIDE = ["password", "token"]
LIMIT = 90  # seconds for any start, run or clean-up: a bound, never a measure
MODES = {"one file": "out/clean.jsonl", "parts": "out/part-*.jsonl"}


def wait_until(predicate, what, limit=LIMIT):
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up after {limit} s waiting for {what}")
        time.sleep(0.05)


def stop(proc, signum=signal.SIGKILL):
    """Signal the process group of ``proc`` (a process started in a session
    of its own: its id is the group's), and reap it."""
    if proc.poll() is None:
        os.killpg(proc.pid, signum)
    proc.wait(timeout=LIMIT)
    try:  # what it started and left behind, such as a worker under a nanny
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class Cluster:
    """A scheduler and workers on 127.0.0.1, each started in a session of its
    own and stopped by its process id, with a client of the test's own to
    watch them."""

    def __init__(self, directory):
        self.directory = directory
        self.marks = directory / "marks"
        self.marks.mkdir()
        self.env = dict(os.environ, VELMORA_TEST_PACE=str(PACE), VELMORA_TEST_MARKS=str(self.marks))
        self.scheduler = None
        self.workers = []
        self.watcher = None
        self.started = 0

    def spawn(self, *args):
        self.started += 1
        with open(self.directory / f"log-{self.started}.txt", "wb") as log:
            return subprocess.Popen([sys.executable, "-m", "dask", *args], env=self.env, stdout=log,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)

    def start(self):
        info = self.directory / f"scheduler-{self.started}.json"
        # The time-outs end a cluster that a killed test run left behind.
        self.scheduler = self.spawn("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                    "--scheduler-file", str(info), "--idle-timeout", "600")
        wait_until(lambda: info.exists() and info.stat().st_size > 0 or self.scheduler.poll() is not None,
                   "the scheduler")
        assert self.scheduler.poll() is None
        self.address = json.loads(info.read_text())["address"]
        self.watcher = distributed.Client(self.address, timeout=LIMIT)
        self.add_workers(2)

    def add_workers(self, count):
        new = [self.spawn("worker", self.address, "--nthreads", "1", "--no-dashboard", "--death-timeout", "60",
                          "--preload", str(PACED)) for _ in range(count)]
        self.workers += new
        self.watcher.wait_for_workers(len(self.live_workers()), timeout=LIMIT)

    def live_workers(self):
        self.workers = [proc for proc in self.workers if proc.poll() is None]
        return self.workers

    def kill_workers(self, count):
        for proc in self.live_workers()[:count]:
            stop(proc)
        wait_until(lambda: len(self.watcher.nthreads()) == len(self.live_workers()), "the scheduler to notice")

    def kill_scheduler(self):
        self.watcher.close()
        self.watcher = None
        stop(self.scheduler)
        for proc in self.workers:
            stop(proc, signal.SIGTERM)

    def healthy(self):
        """Two idle workers on a live scheduler, whatever the last test did."""
        if self.scheduler.poll() is not None or self.watcher is None:
            self.stop()
            self.start()
        missing = 2 - len(self.live_workers())
        if missing > 0:
            self.add_workers(missing)
        self.idle()
        return self

    def idle(self):
        """Wait until no task runs on any worker, those given up included."""
        wait_until(lambda: not any(self.watcher.run(lambda dask_worker: dask_worker.state.executing_count)
                                   .values()), "the workers to be idle")

    def marked(self):
        return len(os.listdir(self.marks))

    def stop(self):
        if self.watcher is not None:
            self.watcher.close()
            self.watcher = None
        for proc in [*self.workers, self.scheduler]:
            if proc is not None:
                stop(proc)
        self.workers = []


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    cluster = Cluster(tmp_path_factory.mktemp("cluster"))
    try:
        cluster.start()
        yield cluster
    finally:
        cluster.stop()


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """About 35 blocks of API-log lines, some of them long, and what the
    command line writes for them."""
    lines = []
    for i in range(3000):
        record = {"user": f"u{i}", "password": f"pw-{i}", "n": i, "token": ["t" * (i % 40), i]}
        if i % 500 == 7:
            record["blob"] = "b" * (3 * BLOCK // 2)  # a line longer than a block
        lines.append(json.dumps(record).encode() + (b"\r\n" if i % 3 else b"\n"))
    path = tmp_path_factory.mktemp("input") / "in.jsonl"
    path.write_bytes(b"".join(lines))
    flags = [arg for key in HIDE for arg in ("--hide", key)]
    proc = subprocess.run([sys.executable, "-m", "velmora", "--lines", *flags, path], capture_output=True,
                          timeout=LIMIT, check=True)
    return path, proc.stdout


def run_client(cluster, dataset, directory, output, fault=None, extra=(), scheduler=None, source=None):
    """Run the example into ``output`` (relative to ``directory``), and once
    a few blocks are done, call ``fault`` with the client's process. Gives
    (exit status, standard error, blocks done before the run, blocks done
    when the fault came)."""
    (directory / "out").mkdir(exist_ok=True)
    flags = [arg for key in HIDE for arg in ("--hide", key)]
    before = done = cluster.marked()
    with open(directory / "client.err", "wb") as err:
        client = subprocess.Popen([sys.executable, EXAMPLE, *flags, "--scheduler", scheduler or cluster.address,
                                   "--blocksize", str(BLOCK), *extra, source or dataset[0], output],
                                  stdout=subprocess.DEVNULL, stderr=err, stdin=subprocess.DEVNULL, cwd=directory,
                                  start_new_session=True)
    try:
        if fault is not None:
            wait_until(lambda: cluster.marked() >= done + 4 or client.poll() is not None, "blocks to be done")
            assert client.poll() is None, "the run ended before the fault"
            done = cluster.marked()
            fault(client)
        client.wait(timeout=LIMIT)
    finally:
        stop(client)
    return client.returncode, (directory / "client.err").read_text(), before, done


def left_in(directory):
    """Every file under ``directory``'s output directory, hidden ones too."""
    return sorted(str(path.relative_to(directory)) for path in (directory / "out").rglob("*"))


def parts_of(path):
    """What each part holds: the lines that start in its block, redacted."""
    fs = fsspec.filesystem("file")
    return {f"out/part-{i:05d}.jsonl": scan_lines(Omitter(HIDE), fs.read_block(str(path), offset, BLOCK, b"\n"))[0]
            for i, offset in enumerate(range(0, path.stat().st_size, BLOCK))}


def output_bytes(directory, mode):
    if mode == "one file":
        return (directory / "out" / "clean.jsonl").read_bytes()
    return b"".join(path.read_bytes() for path in sorted((directory / "out").glob("part-*.jsonl")))


def replace_every_worker(cluster):
    cluster.kill_workers(2)
    cluster.add_workers(2)


FAULTS = {"none": None, "one worker killed": lambda cluster: cluster.kill_workers(1),
          "every worker killed and replaced": replace_every_worker}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("fault", FAULTS)
def test_the_run_rides_out_lost_workers(cluster, dataset, tmp_path, mode, fault):
    cluster.healthy()
    inject = FAULTS[fault] and (lambda client: FAULTS[fault](cluster))
    code, err, *_ = run_client(cluster, dataset, tmp_path, MODES[mode], inject)
    assert (code, err) == (0, "")
    assert output_bytes(tmp_path, mode) == dataset[1]
    assert left_in(tmp_path) == (["out/clean.jsonl"] if mode == "one file" else sorted(parts_of(dataset[0])))


@pytest.mark.parametrize("mode", MODES)
def test_a_lost_scheduler_ends_the_run_in_one_line_and_leaves_nothing(cluster, dataset, tmp_path, mode):
    cluster.healthy()
    code, err, *_ = run_client(cluster, dataset, tmp_path, MODES[mode], lambda client: cluster.kill_scheduler())
    assert (code, err) == (1, f"velmora: lost the scheduler at {cluster.address}\n")
    assert left_in(tmp_path) == []
    # Workers that lose the scheduler close: what they were redacting is
    # withdrawn, not written.
    for proc in cluster.workers:
        proc.wait(timeout=LIMIT)
    assert left_in(tmp_path) == []


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_stops_the_run_at_once_and_leaves_nothing(cluster, dataset, tmp_path, mode, signum):
    cluster.healthy()
    code, err, before, done = run_client(cluster, dataset, tmp_path, MODES[mode],
                                         lambda client: client.send_signal(signum))
    assert (code, err) == (128 + signum, "")
    assert left_in(tmp_path) == []
    cluster.idle()
    assert left_in(tmp_path) == []  # and nothing came later
    # The blocks not started were called off: only those in flight ran (two
    # per worker thread at most, with one more that may have begun while
    # the signal was on its way).
    assert cluster.marked() - done <= 5 and cluster.marked() - before < len(parts_of(dataset[0]))


@pytest.mark.parametrize("mode", MODES)
def test_a_killed_client_leaves_only_whole_parts(cluster, dataset, tmp_path, mode):
    cluster.healthy()
    code, err, *_ = run_client(cluster, dataset, tmp_path, MODES[mode], lambda client: client.kill())
    assert code == -signal.SIGKILL
    cluster.idle()
    left = left_in(tmp_path)
    if mode == "one file":
        assert left == []  # the temporary had no name
    else:
        # The parts written, and those of the blocks that were running:
        # each whole, none a temporary.
        expected = parts_of(dataset[0])
        assert left and set(left) <= set(expected)
        assert {name: (tmp_path / name).read_bytes() for name in left} == {name: expected[name] for name in left}


def test_with_no_workers_the_run_gives_up_after_the_timeout(cluster, dataset, tmp_path):
    cluster.healthy()
    cluster.kill_workers(2)
    code, err, *_ = run_client(cluster, dataset, tmp_path, MODES["parts"], extra=["--timeout", "2"])
    assert (code, err) == (1, "velmora: no block finished in 2 s (no workers connected to the scheduler)\n")
    assert left_in(tmp_path) == []


@pytest.mark.parametrize("source, output, scheduler, message", [
    (None, "nodir/out.jsonl", None, "cannot write nodir/out.jsonl: No such file or directory"),
    (None, "out", None, "cannot write out: Is a directory"),
    (None, "out/part-*.jsonl", None, "cannot write out/part-*.jsonl: 1 file matches it already, "
                                     "such as {tmp}/out/part-00003.jsonl; remove them first"),
    ("in.jsonl", "out/clean.jsonl", None, "cannot read in.jsonl: No such file or directory"),
    # Dask's own words follow: "Timed out trying to connect to ... after 2 s".
    (None, "out/clean.jsonl", "tcp://127.0.0.1:9", "cannot reach the scheduler: "),
])
def test_operator_errors_come_in_one_line(cluster, dataset, tmp_path, source, output, scheduler, message):
    cluster.healthy()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "part-00003.jsonl").write_bytes(b"stale")
    code, err, before, _ = run_client(cluster, dataset, tmp_path, output, extra=["--timeout", "2"],
                                      scheduler=scheduler, source=source)
    expected = f"velmora: {message.format(tmp=tmp_path)}"
    assert code == 1 and err.count("\n") == 1
    assert err.startswith(expected) if expected.endswith(": ") else err == expected + "\n"
    assert left_in(tmp_path) == ["out/part-00003.jsonl"]
    assert cluster.marked() == before  # refused before any work
