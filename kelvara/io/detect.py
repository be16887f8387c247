"""The reader's door: each file's family told from its content, the curves assembled from every
file (concentrations and temperatures given by hand assigned, labels kept apart, curves too short
refused), and how every file was read."""

from __future__ import annotations

import math
import pathlib
from collections import Counter
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple, Union, cast

import numpy as np

from kelvara.curves import Curve, Start
from kelvara.errors import KelvaraError
from kelvara.io.cary import is_cary, read_cary
from kelvara.io.delimited import read_delimited
from kelvara.io.excel import is_xls, is_xlsx, read_xlsx, refuse_xls
from kelvara.io.jasco import is_jasco, read_jasco
from kelvara.io.traces import is_biologic, read_biologic
from kelvara.io.layouts import SERIES_SPREAD
from kelvara.io.blank import read_blank, subtract_column
from kelvara.io.select import select
from kelvara.io.stages import compare_across_files, split_ramps
from kelvara.io.reading import (
    MIN_POINTS,
    VARY,  # noqa: F401  (kelvara.io.detect.VARY, as before)
    CurveReading,
    FileRead,
    FileReading,
    MissingColumn,
    ReadError,
    Reading,
    ReadOptions,
    PendingCurve,
    path_length_cm,
)
from kelvara.io.text import Sample, DataFile, sample
from kelvara.io.units import concentration_argument, temperature_argument
from kelvara.units import concentration_label


@dataclass(frozen=True)
class Format:
    """A kind of file: its name, whether a file's sample is of it, and its
    reader, which takes the sample and the options and gives the file's
    curves, how it was read and its notes; what such a file is called, and
    the reading options (ReadOptions' names) its reader does not use."""

    name: str
    sniff: Callable[[Sample], bool]
    read: Callable[[Sample, ReadOptions], FileRead]
    called: str = "a file"
    ignores: Tuple[str, ...] = ()


# An instrument's export names its own columns and holds one table.
_EXPORT_IGNORES = ("sheet", "temperature_column", "concentration_column", "curve_column", "solvent_column",
                   "wavelength")

# In the order they are tried: the first whose sniff says yes reads the file.
FORMATS = (
    Format("xlsx", is_xlsx, read_xlsx, "an Excel workbook", ("decimal",)),
    Format("xls", is_xls, refuse_xls, "an old Excel file"),
    Format("jasco", is_jasco, read_jasco, "a JASCO temperature or time scan", _EXPORT_IGNORES),
    Format("cary", is_cary, read_cary, "a Cary thermal or kinetics export",
           _EXPORT_IGNORES + ("signal_column", "blank_column")),
    Format("biologic", is_biologic, read_biologic, "a Bio-Logic stopped-flow export",
           _EXPORT_IGNORES + ("signal_column", "blank_column", "celsius")),
    Format("delimited", lambda _: True, read_delimited, "a delimited text file", ("sheet",)),
)


# The options as no one gave them: what an option given is told from.
_UNGIVEN = ReadOptions()


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def _ignored_options(reads: Sequence[FileRead], paths: Sequence[pathlib.Path], notes: List[str]) -> None:
    """An option no file's format uses is an error; one that only some
    files' formats use is a note on each of the others."""
    for name in dict.fromkeys(n for done in reads for n in done.ignored):
        ignoring = [(path, done) for path, done in zip(paths, reads) if name in done.ignored]
        if len(ignoring) == len(reads):
            kinds = sorted({done.called for _, done in ignoring})
            raise ReadError(f"{_flag(name)} does not apply to {' or '.join(kinds)} "
                            f"({', '.join(str(p) for p, _ in ignoring)}): leave it out")
        for path, done in ignoring:
            notes.append(f"{path}: {_flag(name)} does not apply to {done.called}: ignored for this file")


def read(
    paths: Union[str, pathlib.Path, Iterable[Union[str, pathlib.Path]]],
    options: Optional[ReadOptions] = None,
    **given: Any,
) -> Reading:
    """The curves of one or several files (in kelvin and mol/L), how each
    file was read, and the notes.

    Parameters
    ----------
    paths : str, path or iterable of them
        The files, in any format the reader knows (delimited text in every
        layout, JASCO and Cary exports, Bio-Logic stopped-flow exports,
        xlsx); a pipe or FIFO too.
    options : ReadOptions, optional
        All of the options below as one value (then give none of them).
    c_tot : sequence of float or str, optional
        Concentrations for the curves whose files state none, in order: one
        per such curve, or one per such file (numbers in mol/L below 0.5, or
        text with a unit: "5uM", "1e-5 M").
    celsius : bool
        Unitless temperature columns are in degrees Celsius (a header that
        says kelvin is an error).
    temperature_column, signal_column, concentration_column, curve_column, solvent_column : str, optional
        A column by its header, its header's first word, or its 1-based
        position ("1"; the only way into a file without a header).  Several
        signal columns (a sequence) are channels of the same samples: each
        is read as a curve of its own per sample, labelled with its header,
        and fitted together with the others.
    decimal : {".", ","}, optional
        The decimal mark (default: detected).
    sheet : str, optional
        The Excel sheet, by name (any case) or 1-based number (default: the
        first sheet holding a table of numbers).
    segment : {"all", "cooling", "heating"}
        The stages to read where the temperature of a curve goes down and
        up again (a ramp in one file, a Cary export): every curve against
        temperature is split where it turns, into "(cooling)", "(heating)",
        "(cooling 2)" stages; a sample's cooling and heating that differ
        beyond the noise are a note, and a problem of every fit of them.
    vary : {"auto", "temperature", "concentration", "solvent"}
        What the curves vary: cooling and heating curves, a concentration
        series (one curve per temperature, or per value of a curve column),
        a denaturation against the good-solvent fraction (a column named f,
        fraction, good solvent or solvent fraction; one curve per
        concentration), or "auto": told from the content.
    temperature : float or str, optional
        The temperature of a series, denaturation or time trace whose file
        has none (kelvin, or with a unit: "20C", "293.15 K").
    start_temperature, dilution, seeds : optional
        Where time traces start: the equilibrium at this temperature (a
        jump), an equilibrium diluted this many times at time 0 (a
        stopped-flow ratio, 1 or more), seeds (aggregates, "10nM") added at
        time 0; all monomer when none is given.
    range : str, optional
        The points fitted: a range of temperatures with its unit ("5:85C",
        "278:358K"; an end may be left open, ":85C"), or of concentrations
        for a series ("1uM:50uM").
    exclude : sequence of str
        Points or spans dropped: one value drops each curve's point nearest
        to it ("62.5C"), a range every point within it ("60:64C"); "@LABEL"
        after it names the one curve it applies to ("62.5C@10 µM").
    blank : str, optional
        A file holding a reference signal against temperature (the buffer),
        subtracted from every curve, interpolated at its temperatures; a
        curve reaching beyond the blank's temperatures is an error.
    blank_column : str, optional
        A column of the data files beside the signal (by header or
        position), subtracted from it row by row.
    wavelength : sequence of str
        Of a table of spectra (columns headed by wavelengths beside a
        temperature or concentration column, or a wavelength column beside
        columns headed by temperatures): the wavelengths whose signal is
        read ("600nm"), each at the nearest measured; several are channels
        of the same sample.

    path_length : sequence of float or str
        The cell's path length (cm, or text with its unit: "1mm"), once for
        every file or once per file: each file's signal is scaled to a 1 cm
        cell (series measured in 1 mm and 10 mm cells compared as one).

    Returns
    -------
    Reading
        `.curves`, `.files` (each file's layout, columns with their roles and
        units, and curves), `.notes`, `.text()` and `.to_dict()`.

    Raises
    ------
    ReadError
        One sentence naming the file, its line and column, for anything that
        cannot be read without a guess.
    """
    unknown = sorted(set(given) - set(ReadOptions.__dataclass_fields__))
    if unknown:
        raise TypeError(f"read() got an unexpected keyword argument {unknown[0]!r}")
    if options is None:
        options = ReadOptions(**given)
    elif ReadOptions(**given) != _UNGIVEN:
        raise ReadError("give the reading options either as ReadOptions or as keywords, not both")
    named = [paths] if isinstance(paths, (str, pathlib.Path)) else paths
    data_paths = [pathlib.Path(p) for p in named]
    if not data_paths:
        raise ReadError("no data file given")
    vary = options.vary
    fixed_temperature = None if options.temperature is None else temperature_argument(options.temperature,
                                                                                      options.celsius)
    notes: List[str] = []
    pending: List[PendingCurve] = []
    files: List[FileReading] = []
    subtracted = read_blank(options.blank, options, read_file) if options.blank is not None else None
    reads = []
    for index, path in enumerate(data_paths):
        done = _read_own_channels(path, options) if options.channels and len(data_paths) > 1 else \
            _read_channels(path, options) if options.channels else read_file(path, options)
        reads.append(done)
        if vary not in ("auto", "temperature") and any(p.vary != vary for p in done.curves):
            other = next(p.vary for p in done.curves if p.vary != vary)
            raise ReadError(f"{path} holds " + ("time traces" if other == "time" else f"curves against {other}") +
                            f" (an instrument's {other} scan), not a {vary} series")
        done = split_ramps(done, options.segment, subtracted)
        for p in done.curves:
            p.file = index
        files.append(done.reading)
        notes += done.notes
        pending += done.curves
    _ignored_options(reads, data_paths, notes)
    _assign_concentrations(pending, options.c_tot, notes)
    if len(data_paths) > 1:
        notes += compare_across_files(pending)
    _assign_temperature(pending, fixed_temperature, options.temperature)
    _to_a_common_cell(pending, options.path_length, data_paths, notes)
    _distinct_labels(pending, data_paths)
    start = _start(options) if any(p.vary == "time" for p in pending) else None
    curves = []
    for p in pending:
        if p.vary == "time" and p.time is not None and np.any(p.time < 0.0):
            # A stopped-flow export's pre-trigger readings: before time 0,
            # nothing the simulation follows.
            early = p.time < 0.0
            notes.append(f"{p.path}: trace {p.label!r}: {int(early.sum())} point(s) before time 0 (before the "
                         "mixing or jump, e.g. a pre-trigger baseline) left out of the fit")
            p.time, p.signal = p.time[~early], p.signal[~early]
        try:
            curve = Curve(p.temperature, p.signal, p.c_tot, label=p.label, signal_name=p.signal_name,
                          solvent=p.solvent, vary=p.vary, source=p.path,
                          temperature_unit=files[p.file].temperature_unit, names_condition=p.names_condition,
                          hysteresis=p.hysteresis, time=p.time, start=start if p.vary == "time" else None)
        except ValueError as error:
            raise ReadError(f"{p.path}: {error}") from None
        twice = curve.size - np.unique(np.stack([curve.x, curve.signal], axis=1), axis=0).shape[0]
        if twice:
            notes.append(f"{p.path}: curve {p.label!r}: {twice} point(s) repeat another exactly (the same "
                         f"{curve.vary} and signal); each counts in the fit as a reading of its own")
        if curve.size < MIN_POINTS:
            raise ReadError(f"{p.path}: curve {p.label!r} has {curve.size} point(s); a curve needs at least "
                            f"{MIN_POINTS} (is the file read as you meant? kelvara read {p.path} shows how)")
        curves.append(curve)
    curves = select(curves, options.range, options.exclude, notes)
    if subtracted is not None:
        subtracted.reach(curves, [(p.stage, p.stage_number) for p in pending], notes)
    for p, curve in zip(pending, curves):
        files[p.file].curves.append(_curve_reading(curve, p.c_tot_from))
    if sum(c.size for c in curves) >= _LARGE:
        _give_back_freed_memory()
    return Reading(curves, files, notes, options, None if subtracted is None else subtracted.to_dict())


# Points from which a reading returns the parser's freed memory.
_LARGE = 100_000


def _give_back_freed_memory():
    """Return the memory the parser freed to the system (glibc keeps it
    otherwise, and a large file's fit would start from the parser's peak
    instead of the data's own size).  Does nothing where there is no
    malloc_trim."""
    import ctypes

    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def read_curves(
    paths: Union[str, pathlib.Path, Iterable[Union[str, pathlib.Path]]],
    *,
    notes: Optional[List[str]] = None,
    **options,
) -> List[Curve]:
    """The curves of one or several files, in kelvin and mol/L: `read`'s
    curves, for the same keyword options.

    Parameters
    ----------
    paths : str, path or iterable of them
        As for `read`.
    notes : list, optional
        Receives how each file was read (one text per file: layout, columns
        with their roles and units, curves), then one sentence per thing
        worth knowing (rows dropped for missing values).
    **options
        The options of `read`.

    Returns
    -------
    list of Curve

    Raises
    ------
    ReadError
        One sentence naming the file, its line and column, for anything that
        cannot be read without a guess.
    """
    reading = read(paths, **options)
    if notes is not None:
        notes += [f.text() for f in reading.files] + reading.notes
    return reading.curves


def _curve_reading(curve: Curve, c_tot_from: str) -> CurveReading:
    x = curve.x
    fixed = cast(Optional[float], curve.temperature)  # of a series or denaturation
    return CurveReading(curve.name, None if curve.vary == "concentration" else float(curve.concentrations()[0]),
                        curve.size, str(curve.vary), float(np.min(x)), float(np.max(x)),
                        None if curve.vary == "temperature" else fixed, c_tot_from)


def _distinct_labels(pending, paths):
    """Curves that would share a label keep what tells them apart: the file
    they came from (its name, or its path when names repeat), else their
    place in it."""
    files: Dict[str, Set[int]] = {}
    for p in pending:
        files.setdefault(p.label, set()).add(p.file)
    names = Counter(paths[i].name for i in {p.file for p in pending})
    for p in pending:
        if len(files[p.label]) > 1:
            name = paths[p.file].name
            p.label = f"{p.label} ({name if names[name] == 1 else paths[p.file]})"
    counts = Counter(p.label for p in pending)
    seen: Counter = Counter()
    for p in pending:
        if counts[p.label] > 1:
            seen[p.label] += 1
            p.label = f"{p.label} #{seen[p.label]}"


def _assign_temperature(pending, kelvin, given):
    """The temperature given by hand goes to every series whose file has
    none; a denaturation cannot do without one."""
    if kelvin is not None and all(p.vary == "temperature" for p in pending):
        # Beside time traces or series (a joint fit), it is theirs alone.
        raise ReadError(f"--temperature {given} was given, but {pending[0].path} holds curves against temperature")
    for p in pending:
        if p.vary == "temperature":
            continue
        if kelvin is not None and p.temperature is not None and abs(p.temperature - kelvin) > SERIES_SPREAD:
            raise ReadError(f"--temperature {given} was given, but {p.path} has a temperature column that says "
                            f"{p.temperature:g} K")
        if p.temperature is None:
            p.temperature = kelvin
        if p.temperature is None and p.vary == "solvent":
            raise ReadError(f"{p.path}: a solvent denaturation needs its temperature: give a temperature column "
                            "or --temperature VALUE (e.g. --temperature 293.15 or 20C)")
        if p.temperature is None and p.vary == "time":
            raise ReadError(f"{p.path}: a time trace needs the temperature it was recorded at: give --temperature "
                            "VALUE (e.g. --temperature 20C)")


def _start(options) -> Start:
    """Where the time traces start, from --start-temperature, --dilution
    and --seeds: all monomer unless an equilibrium is said."""
    temperature = None if options.start_temperature is None else \
        temperature_argument(options.start_temperature, options.celsius, "--start-temperature")
    try:
        dilution = 1.0 if options.dilution is None else float(options.dilution)
    except ValueError:
        raise ReadError(f"--dilution takes the ratio of volumes after and before mixing, e.g. 3.5, not "
                        f"{options.dilution!r}") from None
    seeds = 0.0 if options.seeds is None else concentration_argument(options.seeds, "--seeds")[0]
    kind = "equilibrium" if temperature is not None or dilution > 1.0 else "monomer"
    try:
        return Start(kind, temperature, dilution, seeds)
    except KelvaraError as error:
        raise ReadError(str(error)) from None  # it names the value: the dilution, or the seeds


def _assign_concentrations(pending, given, notes=None):
    values = [concentration_argument(v)[0] for v in given]
    missing = [p for p in pending if p.c_tot is None]
    if not values:
        for p in missing:
            p.c_tot, p.c_tot_from = p.stated, "stated above the header"
        missing = [p for p in missing if p.c_tot is None]
    if not missing:
        if values:
            raise ReadError("--c-tot was given, but every curve has its concentration from its file")
        return
    files = list(dict.fromkeys(p.path for p in missing))
    if len(values) == len(missing):
        for p, v in zip(missing, values):
            p.c_tot, p.c_tot_from = v, "--c-tot"
    elif len(values) == len(files):
        by_file = dict(zip(files, values))
        for p in missing:
            p.c_tot, p.c_tot_from = by_file[p.path], "--c-tot"
    elif not values:
        names = ", ".join(f"{p.label}" for p in missing[:4]) + (" ..." if len(missing) > 4 else "")
        raise ReadError(f"{missing[0].path}: no concentration for {len(missing)} curve(s) ({names}); "
                        f"give --c-tot VALUE with a unit (e.g. --c-tot 5uM) once per curve or per file")
    else:
        raise ReadError(f"--c-tot given {len(values)} times, but {len(missing)} curves in {len(files)} "
                        "files need a concentration: give one per curve or one per file, in order")
    if notes is not None:
        # A file that states its own concentration (a JASCO title "PBI
        # 10uM") read with another: one of the two is wrong.
        for p in missing:
            own = p.stated if p.stated is not None else p.titled
            if p.c_tot_from == "--c-tot" and own is not None and not math.isclose(p.c_tot, own, rel_tol=0.01):
                where = "above its header" if p.stated is not None else "in its title"
                notes.append(f"{p.path}: --c-tot {concentration_label(p.c_tot)} for {p.label!r}, but the file "
                             f"states {concentration_label(own)} {where}; check which is meant")


def _to_a_common_cell(pending, given, paths, notes):
    """Each file's signal scaled to a 1 cm cell (a CD or absorbance grows
    with the path): --path-length once for every file, or once per file."""
    if not given:
        return
    lengths = [path_length_cm(g) for g in given]
    if len(lengths) == 1:
        lengths *= len(paths)
    elif len(lengths) != len(paths):
        raise ReadError(f"--path-length given {len(lengths)} times for {len(paths)} file{'s' * (len(paths) != 1)}: "
                        "give one for every "
                        "file, or one per file, in order")
    for index, (path, cm) in enumerate(zip(paths, lengths)):
        if cm != 1.0:
            notes.append(f"{path}: signal scaled to a 1 cm cell (x {1.0 / cm:.4g}: measured in a {cm:g} cm cell)")
        for p in pending:
            if p.file == index and cm != 1.0:
                p.signal = np.asarray(p.signal, dtype=float) * (1.0 / cm)


def _read_own_channels(path: pathlib.Path, options: ReadOptions) -> FileRead:
    """One of several files, given several signal columns: the columns it
    has (files that name their signal differently), as channels where it
    has more than one.  A file with none of them is an error."""
    present, missing = [], []
    for column in options.channels:
        try:
            read_file(path, replace(options, signal_column=column))
        except MissingColumn as error:
            missing.append((column, error))
        else:
            present.append(column)
    if not present:
        why = str(missing[0][1]).split(": ", 1)[-1]
        raise ReadError(f"{path}: none of the signal columns {', '.join(map(repr, options.channels))} is in this "
                        f"file ({why})")
    own = replace(options, signal_column=tuple(present) if len(present) > 1 else present[0])
    done = _read_channels(path, own) if len(present) > 1 else read_file(path, own)
    if missing:
        absent = ", ".join(repr(column) for column, _ in missing)
        done.notes.append(f"{path}: signal column{'s' if len(present) > 1 else ''} "
                          f"{', '.join(map(repr, present))}; {absent} {'is' if len(missing) == 1 else 'are'} "
                          "not in this file")
    return done


def _read_channels(path: pathlib.Path, options: ReadOptions) -> FileRead:
    """A file whose several signal columns are channels of the same samples
    (CD, HT and UV of one run): each column read as the only signal, its
    curves labelled with its header ("10 µM · CD (mdeg)"), one reading
    naming every column."""
    if not path.is_file():
        raise ReadError(f"{path}: several signal columns need a file that can be read once per column, not a pipe")
    reads = [read_file(path, replace(options, signal_column=column)) for column in options.channels]
    first = reads[0]
    reading = first.reading
    where = {(c.position, c.header): j for j, c in enumerate(reading.columns)}
    for other in reads[1:]:
        for column in other.reading.columns:
            j = where.get((column.position, column.header))
            if j is None:
                where[column.position, column.header] = len(reading.columns)
                reading.columns.append(column)
            elif column.role == "signal":
                reading.columns[j] = column  # unused in the first channel's reading
    reading.columns.sort(key=lambda c: (c.position is None, c.position or 0))
    names = [r.curves[0].signal_name if r.curves else column for r, column in zip(reads, options.channels)]
    if len(set(names)) < len(names):
        raise ReadError(f"{path}: the signal columns {', '.join(map(repr, options.channels))} are not "
                        "distinct columns of the file")
    reading.details = (reading.details + "; " if reading.details else "") + \
        f"{len(names)} channels of the same samples: {', '.join(map(repr, names))}"
    curves, notes = [], list(first.notes)
    for done in reads:
        for pending in done.curves:
            pending.label = f"{pending.label} · {pending.signal_name}"
            curves.append(pending)
        notes += [n for n in done.notes if n not in notes]
    return FileRead(curves, reading, notes, first.ignored, first.called)


def read_file(name: pathlib.Path, options: ReadOptions) -> FileRead:
    """One file, by the first format whose sniff knows its sample."""
    found = sample(DataFile(name))
    if not found.head.strip():
        raise ReadError(f"{found.file} is empty")
    reader = next(f for f in FORMATS if f.sniff(found))
    done = reader.read(found, options)
    done.ignored = tuple(name for name in reader.ignores if getattr(options, name) != getattr(_UNGIVEN, name))
    done.called = reader.called
    if options.blank_column is None or "blank_column" in done.ignored:
        return done
    if not name.is_file():
        raise ReadError(f"{name}: --blank-column needs a file that can be read twice, not a pipe")
    blank = reader.read(sample(DataFile(name)), replace(options, signal_column=options.blank_column,
                                                        blank_column=None))
    return subtract_column(done, blank, options.blank_column)
