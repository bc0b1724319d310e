"""The command's arguments, the keys files, and the omitter they describe."""

from __future__ import annotations

import argparse
import os
import re
import stat
import sys
from typing import Any

from velmora.cli.detection import NUL_IN_FILE, format_name, wanted
from velmora.cli.errors import EXIT_BAD_INPUT, CliError
from velmora.omit import NoTrustOmitter, Omitter
from velmora.rules import RuleNoTrustOmitter, RuleOmitter


def read_keys(path: str) -> list[str]:
    """One key per line, white space around it ignored. Blank lines and lines
    whose first non-blank character is '#' are ignored; a leading backslash
    is dropped and the rest taken as it is (``\\#tag`` is the key ``#tag``).
    A NUL character is refused: it is what UTF-16 without a byte order mark
    looks like read as UTF-8, and its keys would match no key at all."""
    try:
        with open(path, encoding="utf-8-sig") as stream:
            lines = [line.strip() for line in stream]
    except OSError as exc:
        raise CliError(f"cannot read keys file {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"keys file {path} is not UTF-8 text", EXIT_BAD_INPUT) from None
    for number, line in enumerate(lines, 1):
        if "\0" in line:
            raise CliError(f"keys file {path}:{number}: {NUL_IN_FILE}", EXIT_BAD_INPUT)
    return [line[1:] if line.startswith("\\") else line for line in lines if line and not line.startswith("#")]


# What a rules file may hold, and the type of each item.
RULES_FILE_LISTS = ("keys", "contains", "patterns", "paths")
RULES_FILE_CHOICES = {"numbers": ("keep", "zero", "digits", "string"), "booleans": ("keep", "false", "string")}


def read_rules(path: str) -> dict[str, Any]:
    """A rules file (TOML): lists of keys, contains words, patterns and paths,
    numbers and booleans, and a table of policies per rule. Any fault is one
    line naming the file."""
    import tomllib  # here, not at the top: most runs have no rules file, and it is 5 ms of the start-up

    try:
        with open(path, "rb") as stream:
            table = tomllib.load(stream)
    except OSError as exc:
        raise CliError(f"cannot read rules file {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"rules file {path} is not UTF-8 text", EXIT_BAD_INPUT) from None
    except tomllib.TOMLDecodeError as exc:
        raise CliError(f"rules file {path}: invalid TOML: {exc}", EXIT_BAD_INPUT) from None

    def fault(message: str) -> CliError:
        return CliError(f"rules file {path}: {message}", EXIT_BAD_INPUT)

    known = (*RULES_FILE_LISTS, *RULES_FILE_CHOICES, "policies")
    for name, value in table.items():
        if name not in known:
            raise fault(f"unknown item {name!r} (expected {', '.join(known)})")
        if name in RULES_FILE_LISTS and not (isinstance(value, list) and all(isinstance(v, str) for v in value)):
            raise fault(f"{name} must be a list of strings")
        if name in RULES_FILE_CHOICES and value not in RULES_FILE_CHOICES[name]:
            raise fault(f"{name} must be one of {', '.join(RULES_FILE_CHOICES[name])}, not {value!r}")
        if name == "policies" and not (isinstance(value, dict) and all(isinstance(v, dict) for v in value.values())):
            raise fault("policies must be a table of tables, one per rule: [policies] iban = { keep_last = 4 }")
    if any(word == "" for word in table.get("contains", [])):
        raise fault("an empty word in contains would match every key")
    for pattern in table.get("patterns", []):
        try:
            re.compile(pattern)
        except re.error as exc:
            raise fault(f"pattern {pattern!r}: invalid regular expression: {exc}") from None
    try:
        RuleOmitter(paths=table.get("paths", []))
    except ValueError as exc:
        raise fault(str(exc)) from None
    return table


def number(minimum: int) -> Any:
    def convert(text: str) -> int:
        if not text.strip().isdecimal() or int(text) < minimum:
            raise argparse.ArgumentTypeError(f"expected a whole number >= {minimum}, got {text!r}")
        return int(text)
    return convert


def word(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("an empty WORD would match every key")
    return text


class ShowVersion(argparse.Action):
    """--version, as argparse's own action shows it, but the installed
    version is looked up only when asked: importing the metadata machinery
    costs every run 40 ms of start-up."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS,
                 default: Any = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        import importlib.metadata
        sys.stdout.write(f"{parser.prog} {importlib.metadata.version('velmora')}\n")
        parser.exit()


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="velmora", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Mask sensitive string values in JSON: every string under a hidden key\n"
                    "becomes a run of '*' as long as the value. Everything else is written\n"
                    "back byte for byte: numbers, escapes, white space, key order.",
        epilog="examples:\n"
               "  velmora --hide password --hide token users.json\n"
               "  velmora --keys-file keys.txt --lines events.jsonl -o clean.jsonl --jobs 4\n"
               "  curl -s URL | velmora --trust id --trust name --compact\n"
               "  velmora --text --detect all --secrets-file secrets.txt app.log -o clean.log")
    add = parser.add_argument
    add("inputs", nargs="*", metavar="FILE", help="JSON files to read; '-' or none: standard input")
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--hide", action="append", default=[], metavar="KEY",
                      help="mask string values under KEY (repeatable)")
    keys.add_argument("--trust", action="append", default=[], metavar="KEY",
                      help="mask string values under every key but KEY (repeatable)")
    add("--keys-file", action="append", default=[], metavar="FILE",
        help="more keys, one per line ('#' starts a comment line; '\\#' a key), "
             "for --hide (default) or --trust")
    rules = parser.add_argument_group(
        "key rules and masks", "match keys more loosely than exactly, and choose what a mask shows "
        "(with --trust, the rules decide which keys are trusted)")
    rules.add_argument("--ignore-case", action="store_true", help="compare the keys given ignoring case")
    rules.add_argument("--contains", action="append", default=[], type=word, metavar="WORD",
                       help="also match every key that contains WORD, ignoring case (repeatable)")
    rules.add_argument("--pattern", action="append", default=[], metavar="REGEX",
                       help="also match every key in which REGEX finds a match (Python re; repeatable)")
    rules.add_argument("--defaults", action="store_true",
                       help="also match the default list of sensitive words (password, secret, token, "
                            "authorization, cookie, session, ...), ignoring case, inside longer keys")
    rules.add_argument("--mask", metavar="TEXT", help="mask with TEXT instead of one '*' per character")
    rules.add_argument("--keep-last", type=number(1), metavar="N",
                       help="keep the last N characters of each masked string")
    rules.add_argument("--whole", action="store_true",
                       help="hide the whole value under a matching key, whatever its type, with the "
                            "--mask text (default: [Filtered])")
    rules.add_argument("--path", action="append", default=[], metavar="EXPR",
                       help="also hide the value a JSON path selects, and everything inside it: $ the "
                            "document, .name or ['name'] a member, .* or [*] every member or item, ..name "
                            "a member at any depth, [N] an item (repeatable; with --trust: trust it)")
    rules.add_argument("--numbers", choices=RULES_FILE_CHOICES["numbers"],
                       help="what a hidden number becomes: kept (default), 0, its digits as 8s, or the "
                            "mask as a string")
    rules.add_argument("--booleans", choices=RULES_FILE_CHOICES["booleans"],
                       help="what a hidden boolean becomes: kept (default), false, or the mask as a string")
    rules.add_argument("--rules", metavar="FILE",
                       help="more rules from a TOML file: keys, contains, patterns, paths, numbers, booleans "
                            "and a [policies] table, one policy per rule (the options given here win "
                            "over its numbers and booleans)")
    found = parser.add_argument_group(
        "secrets inside text", "also mask, inside every string value (or every line with --text), the "
        "registered secret values and the credential formats asked for; --mask and --keep-last apply")
    found.add_argument("--text", action="store_true",
                       help="read any text, not JSON: mask what is found line by line, streamed, "
                            "and write every other byte as it is")
    found.add_argument("--secrets-file", action="append", default=[], metavar="FILE",
                       help="secret values to mask wherever they appear, one per line (repeatable); "
                            "never given as arguments, which other users could see")
    found.add_argument("--detect", action="append", default=[], type=format_name, metavar="NAME",
                       help="mask a credential format: aws, github, gitlab, slack, stripe, google, jwt, "
                            "private-key, url-credentials, authorization, card (repeatable); 'all': every "
                            "one but card")
    found.add_argument("--min-length", type=number(4), metavar="N",
                       help="refuse secret values shorter than N characters (default 5)")
    add("-o", "--output", metavar="FILE",
        help="write to FILE, replacing it only once everything succeeded")
    add("--indent", type=number(0), metavar="N",
        help="lay documents out indented by N spaces (white space only)")
    add("--compact", action="store_true", help="lay documents out without white space")
    add("--lines", action="store_true",
        help="read JSON Lines: one record per line, streamed; blank lines are kept")
    add("--skip-invalid", action="store_true",
        help="skip invalid lines, reporting each on standard error")
    add("--rejects", metavar="FILE", help="with --skip-invalid: write the skipped lines to FILE")
    add("--jobs", type=number(0), metavar="N", help="redact lines in N threads (0: one per CPU)")
    add("--batch-size", type=number(1), metavar="N",
        help="lines per batch (default: whole lines of about 1 MiB)")
    add("-q", "--quiet", action="store_true", help="never show progress")
    add("--version", action=ShowVersion)
    args = parser.parse_args(argv)
    if args.min_length is not None and not args.secrets_file:
        parser.error("--min-length needs --secrets-file")
    if args.text:
        check_text_args(parser, args)
    elif not (args.hide or args.trust or args.keys_file or args.contains or args.pattern or args.defaults
              or args.path or args.rules or wanted(args)):
        parser.error("say which keys to mask: --hide KEY, --trust KEY, --keys-file FILE, "
                     "--contains WORD, --pattern REGEX, --defaults, --path EXPR or --rules FILE (or what "
                     "to find in strings: --secrets-file FILE, --detect NAME)")
    if args.keep_last is not None and (args.mask is not None or args.whole):
        parser.error(f"--keep-last cannot be used with {'--mask' if args.mask is not None else '--whole'}")
    misplaced = [flag for flag, used in [
        ("--indent", args.lines and args.indent is not None),
        ("--compact", args.lines and args.compact),
        ("--skip-invalid", not args.lines and args.skip_invalid),
        ("--rejects", not args.lines and args.rejects is not None),
        ("--jobs", not args.lines and args.jobs is not None),
        ("--batch-size", not args.lines and args.batch_size is not None)] if used]
    if misplaced:
        parser.error(f"{', '.join(misplaced)} cannot be used {'with' if args.lines else 'without'}"
                     " --lines")
    if args.indent is not None and args.compact:
        parser.error("--indent and --compact cannot be used together")
    if args.rejects is not None and not args.skip_invalid:
        parser.error("--rejects needs --skip-invalid")
    if args.rejects is not None:
        clash = rejects_clash(args.rejects, args.output, args.inputs)
        if clash:
            parser.error(f"--rejects {args.rejects} is {clash}: the lines it keeps are written as they were, "
                         "unredacted")
    args.inputs = args.inputs or ["-"]
    args.jobs = (os.cpu_count() or 1) if args.jobs == 0 else (args.jobs or 1)
    return args


def written_to(path: str | None) -> tuple[int, int] | str | None:
    """What writing to ``path`` (None or '-': standard output) reaches: the
    file's device and inode, or for a file not made yet its resolved path;
    None for the null device, where anything may go."""
    try:
        info = os.fstat(sys.stdout.fileno()) if path in (None, "-") else os.stat(path)
    except (OSError, ValueError, AttributeError):  # none yet, or no standard output at all
        return "-" if path in (None, "-") else os.path.realpath(path)
    if stat.S_ISCHR(info.st_mode) and os.path.samestat(info, os.stat(os.devnull)):
        return None
    return info.st_dev, info.st_ino


def rejects_clash(rejects: str, output: str | None, inputs: list[str]) -> str | None:
    """What the rejects file must not be, and is: the output (the bad lines,
    secrets and all, would be in what the run calls redacted) or an input
    (replaced by its bad lines alone); None when it is neither."""
    place = written_to(rejects)
    if place is None:
        return None
    if place == written_to(output):
        return "where the output goes"
    if any(path != "-" and place == written_to(path) for path in inputs):
        return "an input"
    return None


# What only JSON has: keys, layout, JSON Lines and their bad lines.
JSON_ONLY = [("--hide", "hide"), ("--trust", "trust"), ("--keys-file", "keys_file"),
             ("--ignore-case", "ignore_case"), ("--contains", "contains"), ("--pattern", "pattern"),
             ("--defaults", "defaults"), ("--whole", "whole"), ("--path", "path"), ("--numbers", "numbers"),
             ("--booleans", "booleans"), ("--rules", "rules"), ("--indent", "indent"), ("--compact", "compact"),
             ("--lines", "lines"), ("--skip-invalid", "skip_invalid"), ("--rejects", "rejects"),
             ("--jobs", "jobs"), ("--batch-size", "batch_size")]


def check_text_args(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    misplaced = [flag for flag, name in JSON_ONLY if getattr(args, name) not in (None, False, [])]
    if misplaced:
        parser.error(f"{', '.join(misplaced)} cannot be used with --text (it reads text, not JSON)")
    if not wanted(args):
        parser.error("say what to mask in the text: --secrets-file FILE or --detect NAME")


def keys_of(args: argparse.Namespace, rules_match: bool) -> list[str]:
    """The keys given on the command line and in keys files. A keys file that
    yields no key is named on standard error, and refused when nothing
    would be masked at all (no other key, no rule, and --hide)."""
    keys = list(args.trust or args.hide)
    empty = []
    for path in args.keys_file:
        found = read_keys(path)
        if not found:
            empty.append(path)
        keys += found
    if empty and not keys and not rules_match and not args.trust:
        raise CliError(f"keys file {empty[0]} holds no key: nothing would be masked", EXIT_BAD_INPUT)
    for path in empty:
        print(f"velmora: keys file {path} holds no key", file=sys.stderr)
    return keys


def make_omitter(args: argparse.Namespace) -> Omitter:
    """The omitter the options describe: the exact Omitter or NoTrustOmitter
    unless a key rule, a path, a mask or a policy is asked for."""
    found = read_rules(args.rules) if args.rules else {}
    rules = {"ignore_case": args.ignore_case, "contains": args.contains + found.get("contains", []),
             "patterns": args.pattern + found.get("patterns", []), "defaults": args.defaults, "mask": args.mask,
             "keep_last": args.keep_last, "whole": args.whole, "paths": args.path + found.get("paths", []),
             "numbers": args.numbers or found.get("numbers"), "booleans": args.booleans or found.get("booleans"),
             "policies": found.get("policies")}
    keys = keys_of(args, bool(rules["contains"] or rules["patterns"] or args.defaults or rules["paths"]
                              or found.get("keys")))
    keys += [key for key in found.get("keys", []) if key not in keys]
    if not any(value not in (False, [], None) for value in rules.values()):
        return NoTrustOmitter(keys) if args.trust else Omitter(keys)
    rules = {name: value for name, value in rules.items() if value is not None}
    try:
        return RuleNoTrustOmitter(keys, **rules) if args.trust else RuleOmitter(keys, **rules)
    except re.error as exc:
        raise CliError(f"--pattern {exc.pattern!r}: invalid regular expression: {exc}", EXIT_BAD_INPUT) from None
    except (TypeError, ValueError) as exc:  # an argument the rules refuse
        where = f"rules file {args.rules}: " if args.rules and str(exc).startswith("policies") else ""
        raise CliError(f"{where}{exc}", EXIT_BAD_INPUT) from None
