"""The command line as a person meets it: on a terminal, in pipes, killed
mid-write, on big and on malformed input. Every run is its own process."""

import json
import os
import pty
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from test_cli import velmora, write

COMMAND = [sys.executable, "-m", "velmora"]


def start(args, cwd, **kwargs):
    return subprocess.Popen(COMMAND + [str(a) for a in args], cwd=cwd, **kwargs)


def run_on_terminal(args, chunks, pause, cwd, stdout_tty=False):
    """stdin a pipe fed in `chunks` with `pause` seconds between them,
    stderr (and stdout) a pseudo-terminal. Returns (status, stdout, terminal)."""
    master, slave = pty.openpty()
    proc = start(args, cwd, stdin=subprocess.PIPE, stdout=slave if stdout_tty else subprocess.PIPE, stderr=slave)
    os.close(slave)
    screen, out = [], []
    readers = [threading.Thread(target=lambda: screen.append(read_terminal(master)))]
    if not stdout_tty:
        readers.append(threading.Thread(target=lambda: out.append(proc.stdout.read())))
    for reader in readers:
        reader.start()
    for chunk in chunks:
        proc.stdin.write(chunk)
        proc.stdin.flush()
        time.sleep(pause)
    proc.stdin.close()
    status = proc.wait(timeout=60)
    for reader in readers:
        reader.join(timeout=60)
    os.close(master)
    return status, b"".join(out), screen[0]


def read_terminal(fd):
    seen = b""
    while True:
        try:
            data = os.read(fd, 4096)
        except OSError:  # EIO: every writer has gone
            return seen
        if not data:
            return seen
        seen += data


def test_piping_into_velmora_from_a_terminal_shows_progress_and_works(tmp_path):
    # The run lasts over a second with no total known (a pipe): the
    # progress line must cope, and is cleared at the end.
    chunks = [b'{"password": "x", "n": 1e400}\n' * 20_000] * 4
    status, out, screen = run_on_terminal(["--hide", "password", "--lines"], chunks, 0.4, tmp_path)
    assert status == 0, screen
    assert out == b'{"password": "*", "n": 1e400}\n' * 80_000
    assert b"velmora: " in screen and b" MB, " in screen and b"MB/s" in screen
    assert b"error" not in screen and screen.endswith(b"\r\x1b[K")
    status, out, screen = run_on_terminal(["--hide", "password", "--lines", "-q"], chunks[:2], 0.4, tmp_path)
    assert (status, screen) == (0, b"")


def test_documents_show_progress_too(tmp_path):
    chunks = [b"["] + [b'{"password": "xy"},' * 30_000] * 3 + [b"{}]"]
    status, out, screen = run_on_terminal(["--hide", "password"], chunks, 0.4, tmp_path)
    assert status == 0, screen
    assert out == b"[" + b'{"password": "**"},' * 90_000 + b"{}]"
    assert b"MB/s" in screen and screen.endswith(b"\r\x1b[K")


def test_the_reported_command_runs_on_a_terminal(tmp_path):
    status, _, screen = run_on_terminal(["--hide", "password", "--lines"], [b'{"password":"x"}\n'], 0, tmp_path,
                                        stdout_tty=True)
    assert status == 0 and screen.replace(b"\r\n", b"\n") == b'{"password":"*"}\n'


def test_progress_of_files_names_the_total(tmp_path):
    write(tmp_path / "big.jsonl", '{"password": "xyz"}\n' * 400_000)
    master, slave = pty.openpty()
    proc = start(["--hide", "password", "--lines", "big.jsonl"], tmp_path, stdin=subprocess.DEVNULL,
                 stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    # A slow reader keeps the run going long enough to show progress.
    got = b""
    while chunk := proc.stdout.read(1 << 16):
        got += chunk
        time.sleep(0.01)
    assert proc.wait(timeout=60) == 0
    screen = read_terminal(master)
    os.close(master)
    assert got == b'{"password": "***"}\n' * 400_000
    assert b" of 8.0 MB (" in screen, screen


def directory_listing(path):
    return sorted(os.listdir(path))


def processes_mentioning(text):
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(pid)
        except OSError:
            continue
    return found


def wait_for(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


def open_files_of(pid):
    links = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            links.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            continue
    return links


@pytest.mark.parametrize("how, jobs, status", [
    (signal.SIGTERM, 1, 128 + signal.SIGTERM), (signal.SIGINT, 1, 128 + signal.SIGINT),
    (signal.SIGKILL, 1, -signal.SIGKILL), (signal.SIGKILL, 2, -signal.SIGKILL),
    (signal.SIGTERM, 2, 128 + signal.SIGTERM),
])
def test_a_killed_run_leaves_nothing_behind(tmp_path, how, jobs, status):
    work = tmp_path / "work"
    work.mkdir()
    write(work / "out.jsonl", "previous contents")
    proc = start(["--hide", "k", "--lines", "--jobs", jobs, "-o", "out.jsonl", "-"], work, stdin=subprocess.PIPE,
                 stderr=subprocess.PIPE)
    proc.stdin.write(b'{"k": "secret"}\n' * 300_000)
    proc.stdin.flush()
    # The output is an unnamed file in the target's directory, already open.
    assert wait_for(lambda: any(link.startswith(str(work) + "/#") for link in open_files_of(proc.pid)))
    proc.send_signal(how)
    assert proc.wait(timeout=30) == status
    assert b"Traceback" not in proc.stderr.read()
    assert directory_listing(work) == ["out.jsonl"]
    assert (work / "out.jsonl").read_text() == "previous contents"
    assert wait_for(lambda: not processes_mentioning(str(work)))


def test_without_unnamed_files_the_named_temporary_is_removed_on_sigterm(tmp_path):
    code = ("import sys, velmora.cli as cli, velmora.cli.outfile; cli.outfile._anonymous_file = lambda directory: None; "
            "sys.exit(cli.main(sys.argv[1:]))")
    proc = subprocess.Popen([sys.executable, "-c", code, "--hide", "k", "--lines", "-o", "out.jsonl"], cwd=tmp_path,
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(b'{"k": "v"}\n' * 1000)
    proc.stdin.flush()
    assert wait_for(lambda: any(name.endswith(".tmp") for name in os.listdir(tmp_path)))
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=30) == 128 + signal.SIGTERM
    assert directory_listing(tmp_path) == []
    # And it is renamed into place when all goes well.
    done = subprocess.run([sys.executable, "-c", code, "--hide", "k", "-o", "out.json"], cwd=tmp_path,
                          input=b'{"k": "vv"}', capture_output=True)
    assert done.returncode == 0 and directory_listing(tmp_path) == ["out.json"]
    assert (tmp_path / "out.json").read_bytes() == b'{"k": "**"}'


def test_output_through_a_symlink_a_fifo_and_keeping_the_mode(tmp_path):
    write(tmp_path / "in.json", '{"k": "abc", "n": 1E5}')
    (tmp_path / "real").mkdir()
    write(tmp_path / "real" / "target.json", "old")
    os.chmod(tmp_path / "real" / "target.json", 0o640)
    os.symlink("real/target.json", tmp_path / "link.json")
    assert velmora("--hide", "k", "-o", "link.json", "in.json", cwd=tmp_path) == (0, "", "")
    assert os.path.islink(tmp_path / "link.json")
    assert (tmp_path / "real" / "target.json").read_bytes() == b'{"k": "***", "n": 1E5}'
    assert os.stat(tmp_path / "real" / "target.json").st_mode & 0o777 == 0o640
    assert directory_listing(tmp_path / "real") == ["target.json"]

    os.mkfifo(tmp_path / "pipe")
    received = []
    reader = threading.Thread(target=lambda: received.append((tmp_path / "pipe").read_bytes()))
    reader.start()
    assert velmora("--hide", "k", "-o", "pipe", "in.json", cwd=tmp_path) == (0, "", "")
    reader.join(timeout=30)
    assert received == [b'{"k": "***", "n": 1E5}']
    assert stat_is_fifo(tmp_path / "pipe")
    assert velmora("--hide", "k", "-o", "/dev/null", "in.json", cwd=tmp_path) == (0, "", "")


def stat_is_fifo(path):
    import stat
    return stat.S_ISFIFO(os.stat(path).st_mode)


def test_documents_pass_through_byte_for_byte(tmp_path):
    text = ('\ufeff{"pw": "h\\u00e9llo", "n": [1e400, 1E5, 1.5e-7, -0, NaN], "u": "\\u00e9\\/\\ud800",\r\n'
            ' "pw": ["\\ud83d\\ude00"], "e": {}}\r\n')
    write(tmp_path / "doc.json", text)
    code, out, err = velmora("--hide", "pw", "doc.json", cwd=tmp_path)
    assert (code, err) == (0, "")
    assert out.encode() == text.replace('"h\\u00e9llo"', '"*****"').replace('"\\ud83d\\ude00"', '"*"').encode()
    code, out, _ = velmora("--hide", "pw", "--indent", "1", "doc.json", cwd=tmp_path)
    assert out == ('\ufeff{\n "pw": "*****",\n "n": [\n  1e400,\n  1E5,\n  1.5e-7,\n  -0,\n  NaN\n ],\n'
                   ' "u": "\\u00e9\\/\\ud800",\n "pw": [\n  "*"\n ],\n "e": {}\n}\n')


def test_inputs_are_joined_each_on_lines_of_their_own(tmp_path):
    write(tmp_path / "a.jsonl", '{"k": "a"}\n{"k": "b"}')  # no final line break
    write(tmp_path / "b.jsonl", '{"k": "c"}\n')
    write(tmp_path / "d.json", '{"k": "d"}')
    assert velmora("--hide", "k", "--lines", "a.jsonl", "b.jsonl", "a.jsonl", cwd=tmp_path)[1] == \
        '{"k": "*"}\n{"k": "*"}\n{"k": "*"}\n{"k": "*"}\n{"k": "*"}'
    assert velmora("--hide", "k", "d.json", "d.json", cwd=tmp_path)[1] == '{"k": "*"}\n{"k": "*"}'


def test_keys_file_comments_and_escapes(tmp_path):
    write(tmp_path / "keys.txt", "# the secrets\n\n  password  \n   # indented comment\n\\#tag\n\\\\path\n")
    write(tmp_path / "in.json", '{"# the secrets": "a", "password": "bb", "#tag": "ccc", "\\\\path": "d", '
                                '"# indented comment": "e"}')
    code, out, err = velmora("--keys-file", "keys.txt", "in.json", cwd=tmp_path)
    assert (code, err) == (0, "")
    assert json.loads(out) == {"# the secrets": "a", "password": "**", "#tag": "***", "\\path": "*",
                               "# indented comment": "e"}


def test_json_lines_without_lines_gets_a_hint(tmp_path):
    write(tmp_path / "in.jsonl", '{"a": 1}\n{"a": 2}\n')
    code, out, err = velmora("--hide", "a", "in.jsonl", cwd=tmp_path)
    assert (code, out) == (2, "")
    assert err == ("velmora: in.jsonl:2:1: invalid JSON at line 2, column 1: Extra data "
                   "(one JSON value per line? use --lines for JSON Lines)\n")
    write(tmp_path / "utf16.json", '{"a": 1}'.encode("utf-16").decode("latin-1"))
    (tmp_path / "utf16.json").write_bytes('{"a": 1}'.encode("utf-16"))
    code, _, err = velmora("--hide", "a", "utf16.json", cwd=tmp_path)
    assert code == 2 and "looks like UTF-16 or UTF-32 text" in err


def test_skipping_reports_every_bad_line_and_keeps_them_apart(tmp_path):
    (tmp_path / "in.jsonl").write_bytes(
        b'{"k": "a"}\r\n{"k": tru}\r\n\xef\xbb\xbf{"k": "b"}\n{"k": "\xff"}\n\n{"n": ' + b"9" * 5000 + b"}\n{\"k\"")
    code, out, err = velmora("--hide", "k", "--lines", "--skip-invalid", "--rejects", "bad.jsonl", "-o",
                             "out.jsonl", "in.jsonl", cwd=tmp_path)
    assert (code, out) == (0, "")
    assert err.splitlines() == [
        "velmora: skipped in.jsonl:2:7: invalid JSON at line 2, column 7: Expecting value",
        "velmora: skipped in.jsonl:4:8: invalid JSON at line 4, column 8: Invalid UTF-8",
        "velmora: skipped in.jsonl:7:5: invalid JSON at line 7, column 5: Expecting ':' delimiter",
        "velmora: skipped 3 invalid lines",
    ]
    assert (tmp_path / "out.jsonl").read_bytes() == \
        b'{"k": "*"}\r\n\xef\xbb\xbf{"k": "*"}\n\n{"n": ' + b"9" * 5000 + b"}\n"
    assert (tmp_path / "bad.jsonl").read_bytes() == b'{"k": tru}\r\n{"k": "\xff"}\n{"k"'


def test_a_bad_line_stops_the_run_at_its_place(tmp_path):
    write(tmp_path / "in.jsonl", '{"a": "x"}\n{"a": "y", "b": [1, 2\n{"a": "z"}\n')
    code, out, err = velmora("--hide", "a", "--lines", "in.jsonl", cwd=tmp_path)
    assert (code, out) == (2, '{"a": "*"}\n')
    assert err == "velmora: in.jsonl:2:22: invalid JSON at line 2, column 22: Expecting ',' delimiter\n"


def test_a_top_level_string_under_trust_is_masked(tmp_path):
    code, out, _ = velmora("--trust", "id", "--lines", stdin='"secret"\n["a", {"id": "1"}]\n', cwd=tmp_path)
    assert (code, out) == (0, '"******"\n["*", {"id": "1"}]\n')
    code, out, _ = velmora("--hide", "id", "--lines", stdin='"kept"\n["a", {"id": "1"}]\n', cwd=tmp_path)
    assert (code, out) == (0, '"kept"\n["a", {"id": "*"}]\n')


def test_big_input_in_threads_equals_one_job_byte_for_byte(tmp_path):
    lines = []
    for i in range(120_000):
        record = {"id": i, "token": "t" * (i % 9), "nested": [{"token": "é" * (i % 4)}], "x": 1.5e-7}
        lines.append(json.dumps(record, ensure_ascii=i % 2 == 0))
    lines[777] = '{"token": '
    lines[90_001] = "not json"
    data = ("\n".join(lines) + "\n").encode()
    (tmp_path / "in.jsonl").write_bytes(data)
    assert len(data) > 8 << 20
    runs = {}
    for jobs, extra in [(1, []), (2, []), (2, ["--batch-size", "1000"]), (3, ["--batch-size", "7"])]:
        proc = subprocess.run(COMMAND + ["--lines", "--skip-invalid", "--hide", "token", "--jobs", str(jobs), *extra,
                                         "in.jsonl"], cwd=tmp_path, capture_output=True, timeout=120)
        runs[jobs, tuple(extra)] = (proc.returncode, proc.stdout, proc.stderr)
    first = runs[1, ()]
    assert all(run == first for run in runs.values())
    assert first[0] == 0 and b"in.jsonl:778:" in first[2] and b"in.jsonl:90002:" in first[2]
    out = first[1].split(b"\n")
    assert len(out) == 120_000 - 2 + 1
    assert all(json.loads(line)["token"] == "*" * (json.loads(line)["id"] % 9) for line in out[:-1:997])
    # Without skipping, both stop at the same line with the same output.
    stops = [subprocess.run(COMMAND + ["--lines", "--hide", "token", "--jobs", str(jobs), "in.jsonl"], cwd=tmp_path,
                            capture_output=True, timeout=120) for jobs in (1, 2)]
    assert stops[0].returncode == stops[1].returncode == 2
    assert stops[0].stdout == stops[1].stdout == b"\n".join(out[:777]) + b"\n"


def test_a_huge_number_is_just_text(tmp_path):
    # Once a run ended on it, losing the good lines of its batch.
    data = '{"a":1}\n{"n":' + "9" * 5000 + "}\n"
    write(tmp_path / "b.jsonl", data)
    for flags in ([], ["--skip-invalid"]):
        assert velmora("--hide", "x", "--lines", *flags, "b.jsonl", cwd=tmp_path) == (0, data, "")


def test_a_later_bom_and_faults_at_line_ends(tmp_path):
    (tmp_path / "in.jsonl").write_bytes(b'{"a": "b"}\n\xef\xbb\xbf{"a": "c"}\r\n{"a": "d",\r\n')
    code, out, err = velmora("--hide", "a", "--lines", "in.jsonl", cwd=tmp_path)
    assert code == 2 and out == '{"a": "*"}\n\ufeff{"a": "*"}\r\n'
    assert err == ("velmora: in.jsonl:3:11: invalid JSON at line 3, column 11: "
                   "Expecting property name enclosed in double quotes\n")


@pytest.mark.skipif(shutil.which("script") is None, reason="needs script(1)")
def test_under_script_as_reported(tmp_path):
    command = " ".join(COMMAND) + " --hide password --lines"
    proc = subprocess.run(["script", "-q", "-c", f"printf '{{\"password\":\"x\"}}\\n' | {command}", "/dev/null"],
                          capture_output=True, timeout=60, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout.replace(b"\r\n", b"\n") == b'{"password":"*"}\n'
