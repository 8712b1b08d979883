"""The ``arbolet`` command (also ``python -m arbolet``): ``arbolet score FILE.csv`` scores each row.

Exit status: 0 on success (rows with bad values are skipped and say why, unless ``--on-error stop``),
1 for bad input (a one-line message with the line number), 2 for a wrong command line.
"""

from __future__ import annotations

import argparse
import collections
import csv
import dataclasses
import datetime
import importlib
import io
import itertools
import math
import os
import re
import sys
import time
from collections.abc import Iterator, Sequence
from typing import IO, Any

from ._keyed_detectors import KeyedDetectors, Settings, replacing
from .arbolet import Monitor, StateError
from .codes import category_code

STDIO = "-"
# What becomes of a row with a missing or unparsable value, a time that goes back, or a value the
# detector refuses. Skipping is the default: one bad cell must not cost a long run its output, every
# input row still comes out (a skipped one with empty cells and its reason), and no detector learns
# from it; the Spark integration treats bad rows the same way.
ON_ERROR = ("skip", "fill", "stop")
FOREST_ONLY = ("num_trees", "capacity", "shingle_size")
MSTREAM_ONLY = ("categorical", "alpha")


class Failure(Exception):
    """Ends the command with a one-line message and an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def _names(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    if not all(names):
        raise argparse.ArgumentTypeError(f"empty column name in {text!r}")
    return names


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must be between 0 and 2**64 - 1: {text!r}")
    return value


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"must lie strictly between 0 and 1: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="arbolet", description="Streaming anomaly scores for files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    score = commands.add_parser(
        "score",
        help="score each row of a CSV file",
        description="Reads a CSV file with a header row and writes it back with a score, a grade, a flag and an "
        "error column: each row is judged by its key's detector (a Monitor, or MStream with its thresholder), "
        "then learned; the grade in [0, 1] says how strongly the row is an alarm and the flag is 1 where it "
        "is one; the error says why a row was skipped or what was filled. A run continued from a state file "
        "of arbolet 0.3 keeps that file's detectors and its columns.",
        epilog="Exit status: 0 on success, 1 for bad input, 2 for a wrong command line.",
    )
    score.add_argument("file", nargs="?", default=STDIO, metavar="FILE.csv",
                       help="the CSV file; - or nothing reads standard input")
    score.add_argument("-o", "--output", default=STDIO, metavar="FILE",
                       help="write the scored rows here (default: standard output)")
    score.add_argument("--columns", type=_names, metavar="A,B,...",
                       help="value columns (default: every column whose first data row is a number, "
                       "except the key, time and categorical columns)")
    score.add_argument("--key", metavar="COLUMN", help="one detector per distinct value of this column")
    score.add_argument("--time", metavar="COLUMN",
                       help="time column, integers (seconds) or ISO 8601 dates (UTC unless they say otherwise): "
                       "the Monitor's timestamps, from which it learns the time of day, or the MStream "
                       "timestamps (default: each row of a key advances its clock by one); never a value column")
    score.add_argument("--time-unit", type=_positive, metavar="N",
                       help="one MStream time step is N units of the time column (seconds for dates; default 1)")
    forest = score.add_argument_group("Monitor (the default detector)")
    defaults = Monitor()
    forest.add_argument("--num-trees", "--trees", dest="num_trees", type=_positive, metavar="N",
                        help=f"number of trees (default {defaults.num_trees})")
    forest.add_argument("--capacity", type=_positive, metavar="N",
                        help=f"points sampled per tree (default {defaults.capacity})")
    forest.add_argument("--shingle-size", "--shingle", dest="shingle_size", type=_positive, metavar="N",
                        help=f"rows joined into one point (default {defaults.shingle_size})")
    mstream = score.add_argument_group("MStream")
    mstream.add_argument("--mstream", action="store_true", default=None, help="score records with MStream")
    mstream.add_argument("--categorical", type=_names, metavar="A,B,...",
                         help="categorical columns (their text is hashed into codes)")
    mstream.add_argument("--alpha", type=_fraction, help="share of the counts kept per time step (default 0.8)")
    score.add_argument("--seed", type=_seed, help="seed; with --key each key's detector gets its own seed derived "
                       "from it and the key (default: from the operating system)")
    score.add_argument("--save-state", metavar="FILE", help="save every detector here at the end")
    score.add_argument("--load-state", metavar="FILE",
                       help="continue from a saved state (its settings hold; options may repeat them)")
    score.add_argument("--on-error", choices=ON_ERROR, default="skip",
                       help="a row with a missing or unparsable value, a time going back within its key, or a "
                       "value the detector refuses: skip it, with the reason in an error column (the default; "
                       "no detector learns it), fill its missing values with its key's previous ones (rows "
                       "that cannot be filled are skipped), or stop the run")
    score.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")
    score.set_defaults(command_parser=score)
    return parser


def resolve_settings(args: argparse.Namespace, saved: Settings | None) -> Settings:
    """The run's settings: the saved ones (or the defaults) with the options given on the command line."""
    base = saved or Settings()
    given = {name: getattr(args, name) for name in
             ("mstream", "columns", "categorical", "key", "time", "time_unit", "num_trees", "capacity", "shingle_size",
              "alpha", "seed") if getattr(args, name) is not None}
    if saved is not None:
        for name, value in given.items():
            if getattr(saved, name) != value and not (name == "columns" and saved.columns is None):
                raise Failure(f"--{name.replace('_', '-')} {_show(value)} differs from the loaded state's "
                              f"{_show(getattr(saved, name))}", status=2)
    settings = dataclasses.replace(base, **given)
    if saved is None and not settings.mstream:  # a new run records the Monitor's defaults it starts from
        defaults = Monitor()
        settings = dataclasses.replace(settings, num_trees=settings.num_trees or defaults.num_trees,
                                       capacity=settings.capacity or defaults.capacity,
                                       shingle_size=settings.shingle_size or defaults.shingle_size)
    wrong = [name for name in (FOREST_ONLY if settings.mstream else MSTREAM_ONLY) if name in given]
    if wrong:
        detector = "MStream detector" if settings.mstream else "Monitor detector (add --mstream)"
        raise Failure(f"--{wrong[0].replace('_', '-')} does not apply to the {detector}", status=2)
    return settings


def _show(value: Any) -> str:
    return ",".join(value) if isinstance(value, (tuple, list)) else str(value)


class Table:
    """The header of the input and where each column the run reads sits in it."""

    def __init__(self, header: list[str], settings: Settings, first_row: list[str] | None, first_line: int) -> None:
        self.position: dict[str, int] = {}
        for i, name in enumerate(header):
            self.position.setdefault(name, i)
        special = {name for name in (settings.key, settings.time, *settings.categorical) if name is not None}
        columns = settings.columns
        if columns is None:
            if first_row is None:
                columns = ()
            else:
                columns = tuple(name for name, cell in zip(header, first_row)
                                if name not in special and _is_number(cell))
                if not columns and not settings.categorical:
                    raise Failure(f"line {first_line}: no numeric column to score "
                                  "(name the value columns with --columns)")
        self.columns = columns
        counts = collections.Counter(header)
        for name in (*columns, *special):
            if name not in self.position:
                raise Failure(f"line 1: no column {name!r} in the header ({', '.join(map(repr, header))})")
            if counts[name] > 1:
                raise Failure(f"line 1: column {name!r} appears more than once in the header")
        self.values = [self.position[name] for name in columns]
        self.categorical = [self.position[name] for name in settings.categorical]
        self.key = None if settings.key is None else self.position[settings.key]
        self.time = None if settings.time is None else self.position[settings.time]


# What a CSV file means by a number: ASCII digits with an optional sign,
# decimal point and exponent, or nan / inf / infinity, with blanks around.
# Python's float() also takes other scripts' digits, underscores between
# digits and NUL bytes, which a CSV user does not mean as numbers.
_NUMBER = re.compile(r"[ \t]*[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|nan|inf|infinity)[ \t]*",
                     re.ASCII | re.IGNORECASE)


def _number(cell: str) -> float:
    """The cell's number; ValueError if it is not one."""
    if _NUMBER.fullmatch(cell) is None:
        raise ValueError(cell)
    return float(cell)


def _is_number(cell: str) -> bool:
    return _NUMBER.fullmatch(cell) is not None


def _timestamp(cell: str, unit: int) -> int:
    try:
        value = int(cell)
    except ValueError:
        try:
            moment = datetime.datetime.fromisoformat(cell.strip())
        except ValueError:
            raise ValueError(f"{cell!r} is neither an integer nor an ISO 8601 date") from None
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=datetime.timezone.utc)
        value = int(moment.timestamp())
    return value // unit


@dataclasses.dataclass
class Summary:
    """What a run did, for the line that ends it."""

    rows: int = 0
    keys: int = 0
    alarms: int = 0
    skipped: int = 0
    filled: int = 0

    def line(self, seconds: float) -> str:
        repaired = "".join(f", {n} {what}" for n, what in ((self.skipped, "skipped"), (self.filled, "filled")) if n)
        note = " (see the error column)" if repaired else ""
        return (f"{self.rows} rows, {self.keys} {'key' if self.keys == 1 else 'keys'}, {self.alarms} alarms"
                f"{repaired}{note}, {seconds:.1f} s")


class RowProblem(Exception):
    """A row that ``--on-error`` decides about: skipped, or the end of the run."""


def score_rows(rows: Iterator[list[str]], line: Any, detectors: KeyedDetectors, write: Any,
               on_error: str = "stop", progress: Any = None) -> Summary:
    """Reads the header and the rows, writes each row with its output cells. ``line()`` is the current line.

    ``progress()``, when given, is called once per data row.
    """
    settings = detectors.settings
    header = next(rows, None)
    if header is None:
        raise Failure("the input is empty: expected a header row")
    first = next(rows, None)
    while first == []:  # blank lines
        first = next(rows, None)
    table = Table(header, settings, first, line())
    if settings.columns is None and first is not None:
        detectors.settings = dataclasses.replace(settings, columns=table.columns)
    output = detectors.output_columns()
    with_error = on_error != "stop"
    write(header + output + (["error"] if with_error else []))
    width = len(header)
    # Per key: the last accepted row's values (what --on-error fill fills with) and, for a forest, its
    # time (MStream keeps its own clock and refuses time going back itself).
    last_values: dict[str | None, list[float]] = {}
    last_time: dict[str | None, int] = {}
    # The Monitor learns the time of day from seconds; --time-unit is MStream's time step (and, as in
    # the runs of arbolet 0.3, the unit a forest's times are compared in).
    unit = 1 if detectors.kind == "monitor" else settings.time_unit
    summary = Summary()
    keys: set[str | None] = set()
    for row in itertools.chain([first] if first is not None else [], rows):
        if len(row) != width:
            if not row:
                continue
            raise Failure(f"line {line()}: expected {width} fields, found {len(row)}")
        summary.rows += 1
        if progress is not None:
            progress()
        key = None if table.key is None else row[table.key]
        try:
            values, filled = _row_values(row, table, last_values.get(key) if on_error == "fill" else None)
            codes = [category_code(row[i]) for i in table.categorical]
            timestamp = None if table.time is None else _row_time(row[table.time], settings, unit,
                                                                        last_time.get(key))
            try:
                cells = detectors.step(key, values, codes, timestamp)
            except (ValueError, OverflowError) as error:
                raise RowProblem(str(error)) from None
        except RowProblem as problem:
            if not with_error:
                raise Failure(f"line {line()}: {problem}") from None
            summary.skipped += 1
            write(row + [""] * len(output) + [f"skipped: {problem}"])
            continue
        keys.add(key)
        last_values[key] = values
        if timestamp is not None:
            last_time[key] = timestamp
        summary.alarms += cells[-1] == "1"
        summary.filled += bool(filled)
        write(row + cells + ([f"filled: {'; '.join(filled)}" if filled else ""] if with_error else []))
    summary.keys = len(keys)
    return summary


def _row_time(cell: str, settings: Settings, unit: int, previous: int | None) -> int:
    """The row's timestamp. A forest's must not go back within its key, as MStream refuses for itself:
    learning it would put it into the key's window as the newest observation, which it is not."""
    try:
        timestamp = _timestamp(cell, unit)
    except ValueError as error:
        raise RowProblem(f"column {settings.time!r}: {error}") from None
    if not settings.mstream and previous is not None and timestamp < previous:
        raise RowProblem(f"column {settings.time!r}: timestamps must be non-decreasing: "
                         f"previous={previous}, got={timestamp}")
    return timestamp


def _row_values(row: list[str], table: Table, previous: list[float] | None) -> tuple[list[float], list[str]]:
    """The row's values, and what was filled from ``previous`` (the key's last values) when given."""
    values, filled = [], []
    for position, (name, i) in enumerate(zip(table.columns, table.values)):
        try:
            value = _number(row[i])
        except ValueError:
            problem = f"column {name!r}: {row[i]!r} is not a number"
        else:
            if previous is None or math.isfinite(value):
                values.append(value)
                continue
            problem = f"column {name!r}: {row[i]!r} is not a finite number"
        if previous is None:
            raise RowProblem(problem)
        values.append(previous[position])
        filled.append(problem)
    return values, filled


def _text_lines(source: IO[bytes]) -> Iterator[str]:
    """The input's lines as text, decoded one by one so that a bad byte is reported at its own line."""
    for number, raw in enumerate(source, start=1):
        try:
            text = raw.decode("utf-8-sig" if number == 1 else "utf-8")
        except UnicodeDecodeError:
            raise Failure(f"line {number}: not UTF-8 text") from None
        yield text


def _on_terminal(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


def _data_lines(path: str) -> int:
    """Lines after the header of a regular file: the progress bar's total (a quoted newline counts too)."""
    with open(path, "rb") as file:
        newlines = sum(chunk.count(b"\n") for chunk in iter(lambda: file.read(1 << 20), b""))
    return max(newlines - 1, 0)


def _progress_bar(path: str | None, quiet: bool) -> Any:
    """A progress bar on stderr counting rows, when stderr is a terminal and tqdm is installed.

    For a regular file the total is its number of data lines; standard input has no total.
    """
    if not _on_terminal(quiet):
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    total = _data_lines(path) if path is not None and os.path.isfile(path) else None
    return tqdm(total=total, unit=" rows", unit_scale=True, file=sys.stderr, leave=False)


def run_score(args: argparse.Namespace) -> None:
    saved = None
    if args.load_state is not None:
        try:
            saved = KeyedDetectors.load(args.load_state)
        except StateError as error:
            raise Failure(f"{args.load_state}: {error}") from None
    settings = resolve_settings(args, saved.settings if saved is not None else None)
    detectors = (KeyedDetectors(settings) if saved is None
                 else KeyedDetectors(settings, saved.detectors, saved.thresholders, saved.kind, saved.seeds))
    name = "<stdin>" if args.file == STDIO else args.file
    source = sys.stdin.buffer if args.file == STDIO else open(args.file, "rb")
    started = time.monotonic()
    bar = _progress_bar(None if args.file == STDIO else args.file, args.quiet)
    progress = None if bar is None else lambda: bar.update(1)
    reader = csv.reader(_text_lines(source), strict=True)
    try:
        if args.output == STDIO:
            writer = csv.writer(sys.stdout, lineterminator="\n")
            summary = score_rows(reader, lambda: reader.line_num, detectors, writer.writerow, args.on_error, progress)
            sys.stdout.flush()
        else:
            with replacing(args.output) as raw, io.TextIOWrapper(raw, encoding="utf-8", newline="") as out:
                writer = csv.writer(out, lineterminator="\n")
                summary = score_rows(reader, lambda: reader.line_num, detectors, writer.writerow, args.on_error,
                                     progress)
    except Failure as failure:
        raise Failure(f"{name}: {failure}", failure.status) from None
    except csv.Error as error:
        raise Failure(f"{name}: line {reader.line_num}: {error}") from None
    finally:
        if bar is not None:
            bar.close()
        if source is not sys.stdin.buffer:
            source.close()
    if args.save_state is not None:
        detectors.save(args.save_state)
    # The summary ends what the progress bar showed; a run that skipped or filled rows says so even
    # without a terminal, since its output differs from its input's promise.
    if _on_terminal(args.quiet) or (not args.quiet and (summary.skipped or summary.filled)):
        print(f"arbolet: {summary.line(time.monotonic() - started)}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        run_score(args)
    except Failure as failure:
        if failure.status == 2:
            args.command_parser.print_usage(sys.stderr)
        print(f"arbolet: error: {failure}", file=sys.stderr)
        return failure.status
    except OSError as error:
        if isinstance(error, BrokenPipeError):  # the reader went away (for example `| head`)
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
        where = f": {error.filename}" if error.filename else ""
        print(f"arbolet: error: {error.strerror or error}{where}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
