import pathlib

import kelvara

SOURCE_TREE = pathlib.Path(__file__).resolve().parent.parent


def pytest_report_header(config):
    return f"kelvara {kelvara.__version__} from {pathlib.Path(kelvara.__file__).parent}"


def pytest_configure(config):
    config.addinivalue_line("markers", "crosses_into_c: runs under the debug interpreter and the sanitizers too")
    config.addinivalue_line("markers", "every_interpreter: runs under every supported interpreter")
    # The tests exercise the installed wheel, never the source directory,
    # which holds no compiled module.
    package_dir = pathlib.Path(kelvara.__file__).resolve().parent
    if package_dir == SOURCE_TREE / "kelvara":
        raise RuntimeError(
            "kelvara was imported from the source tree; install the wheel and run "
            "pytest from a virtual environment (see README: Running the tests)"
        )


# Where each module runs.  The whole suite runs under the oldest
# interpreter (on the dependency floors) and the newest; tools/run-tests
# picks the rest by these marks.  Modules whose tests cross into the
# compiled modules (binding, conversion, hostile input, threads, interrupts,
# kernels, sweeps, the model families, a few fits) also run under the debug
# interpreter and the sanitizers; those and the boundary and fit modules
# under every interpreter between.  Display, app, documentation and the
# long calibration-like fits run under the two ends only.
CROSSES_INTO_C = {
    "test_binding", "test_conversion", "test_hostile", "test_threads", "test_interrupt", "test_kernels",
    "test_sweeps", "test_refleaks", "test_isodesmic", "test_cooperative", "test_favoured_nucleation",
    "test_nucleation_entropy", "test_pathways", "test_phenomenological", "test_signal_model", "test_model_table",
    "test_fit", "test_kinetics",
}
EVERY_INTERPRETER = CROSSES_INTO_C | {
    "test_io", "test_reading", "test_hostile_files", "test_misreads", "test_select", "test_wavelengths",
    "test_blank", "test_ramps", "test_blocks", "test_channels", "test_series", "test_cli", "test_verdict",
    "test_slopes", "test_kinetics_fit", "test_kinetics_io",
}


def pytest_collection_modifyitems(config, items):
    missing = sorted(EVERY_INTERPRETER - {path.stem for path in pathlib.Path(__file__).parent.glob("test_*.py")})
    if missing:
        raise RuntimeError(f"tests/conftest.py places modules that do not exist: {', '.join(missing)}")
    for item in items:
        module = pathlib.Path(str(item.fspath)).stem
        if module in CROSSES_INTO_C:
            item.add_marker("crosses_into_c")
        if module in EVERY_INTERPRETER:
            item.add_marker("every_interpreter")
