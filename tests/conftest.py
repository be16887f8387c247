import pathlib

import kelvara

SOURCE_TREE = pathlib.Path(__file__).resolve().parent.parent


def pytest_report_header(config):
    return f"kelvara {kelvara.__version__} from {pathlib.Path(kelvara.__file__).parent}"


def pytest_configure(config):
    # The tests exercise the installed wheel, never the source directory,
    # which holds no compiled module.
    package_dir = pathlib.Path(kelvara.__file__).resolve().parent
    if package_dir == SOURCE_TREE / "kelvara":
        raise RuntimeError(
            "kelvara was imported from the source tree; install the wheel and run "
            "pytest from a virtual environment (see README: Running the tests)"
        )
