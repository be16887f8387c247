"""What a caller sees of kelvara._core before calling anything."""

import importlib.util
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

import kelvara
from kelvara import _core

# name, text signature, description sentence; in registration order.
REGISTRY = [
    ("isodesmic_model_direct", "(x, k)",
     "Calculate the fraction of aggregated species (direct formula)."),
    ("isodesmic_model", "(conc, k, num_itr)",
     "Calculate the aggregation from total concentration (bisection method)."),
    ("temp_isodesmic_model_direct", "(temp, delta_h, delta_s, c_tot, scaler)",
     "Calculate isodesmic aggregation (direct formula, temperature-dependent)."),
    ("temp_isodesmic_model", "(temp, delta_h, delta_s, c_tot, scaler)",
     "Calculate isodesmic aggregation (bisection method, temperature-dependent)."),
    ("cooperative_model", "(conc, k, sigma, num_itr)",
     "Calculate the aggregation from total concentration (bisection method)."),
    ("temp_cooperative_model", "(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler)",
     "Calculate cooperative aggregation (bisection method, temperature-dependent)."),
    ("coop_iso_model", "(conc, k_iso, k_coop, sigma, num_itr)",
     "Calculate the aggregation from total concentration (bisection method, mixed model)."),
    ("temp_coop_iso_model",
     "(temp, delta_h_iso, delta_s_iso, delta_h_coop, delta_s_coop, delta_h_nuc_coop, c_tot, scaler)",
     "Calculate mixed model aggregation (bisection method, temperature-dependent)."),
    ("cooperative_model_n", "(conc, k, sigma, nuc_size, num_itr)",
     "Calculate the aggregation from total concentration (bisection method)."),
    ("temp_cooperative_model_n", "(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler, nuc_size)",
     "Calculate cooperative aggregation (bisection method, temperature-dependent)."),
]
NAMES = [name for name, _, _ in REGISTRY]


def test_all_lists_the_functions_in_registration_order():
    assert type(_core.__all__) is list
    assert _core.__all__ == NAMES
    for name in NAMES:
        assert callable(getattr(_core, name))


def test_star_import_brings_exactly_the_functions():
    namespace = {}
    exec("from kelvara._core import *", namespace)
    assert sorted(set(namespace) - {"__builtins__"}) == sorted(NAMES)


def test_package_reexports_the_core_functions():
    assert kelvara.__all__ == _core.__all__
    for name in NAMES:
        assert getattr(kelvara, name) is getattr(_core, name)


@pytest.mark.parametrize("name, signature, sentence", REGISTRY)
def test_function_object_attributes(name, signature, sentence):
    function = getattr(_core, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == _core.__name__ == "kelvara._core"
    assert function.__self__ is None
    assert function.__doc__ == sentence
    assert function.__text_signature__ == signature


@pytest.mark.parametrize("name, signature, sentence", REGISTRY)
def test_signature_is_positional_or_keyword_without_defaults(name, signature, sentence):
    parameters = list(inspect.signature(getattr(_core, name)).parameters.values())
    assert "(" + ", ".join(p.name for p in parameters) + ")" == signature
    for parameter in parameters:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_uncached_import_builds_a_new_module():
    found = importlib.util.find_spec("kelvara._core")
    fresh = importlib.util.module_from_spec(found)
    found.loader.exec_module(fresh)
    assert fresh is not _core
    assert fresh.__all__ == _core.__all__
    assert fresh.__all__ is not _core.__all__
    for name in NAMES:
        assert getattr(fresh, name) is not getattr(_core, name)
        assert getattr(fresh, name).__module__ == "kelvara._core"
    assert fresh.isodesmic_model(2.0, 1.0, 100) == _core.isodesmic_model(2.0, 1.0, 100)


def _kernels():
    from kelvara import _kernels

    return _kernels


@pytest.mark.parametrize("module, name", [(lambda: _core, "_core"), (_kernels, "_kernels")])
def test_extension_file_carries_the_stable_abi_tag(module, name):
    assert pathlib.Path(module().__file__).name == f"{name}.abi3.so"


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
@pytest.mark.parametrize("module, name", [(lambda: _core, "_core"), (_kernels, "_kernels")])
def test_extension_exports_only_its_init_function(module, name):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", module().__file__],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{name}"]


@pytest.mark.skipif(
    "KELVARA_WHEEL" not in os.environ, reason="KELVARA_WHEEL names the wheel under test"
)
def test_wheel_is_one_abi3_wheel_for_cpython_39_and_later():
    wheel = pathlib.Path(os.environ["KELVARA_WHEEL"])
    name, version, python_tag, abi_tag, platform_tag = wheel.stem.split("-")
    assert (name, version) == ("kelvara", kelvara.__version__)
    assert (python_tag, abi_tag) == ("cp39", "abi3")
    assert platform_tag.startswith("manylinux_")  # a tag a package index takes: pip needs no compiler
    with zipfile.ZipFile(wheel) as archive:
        files = set(archive.namelist())
        metadata = archive.read(f"kelvara-{version}.dist-info/WHEEL").decode()
    assert {"kelvara/_core.abi3.so", "kelvara/_kernels.abi3.so"} <= files
    assert {"kelvara/_core.pyi", "kelvara/_kernels.pyi", "kelvara/py.typed", "kelvara/__init__.py",
            "kelvara/app/static/plotly.min.js.gz", "kelvara/app/static/plotly.LICENSE.txt"} <= files
    assert f"Tag: cp39-abi3-{platform_tag}" in metadata.splitlines()
    assert "Root-Is-Purelib: false" in metadata.splitlines()
    # The installed copy is the one from this wheel.
    assert pathlib.Path(_core.__file__).read_bytes() == zipfile.ZipFile(wheel).read(
        "kelvara/_core.abi3.so"
    )


def test_importing_kelvara_pulls_in_no_third_party_module(tmp_path):
    code = "import sys, kelvara; print(sorted(m for m in ('numpy', 'scipy') if m in sys.modules))"
    out = subprocess.run(
        [sys.executable, "-c", code], check=True, capture_output=True, text=True, cwd=tmp_path
    )
    assert out.stdout.strip() == "[]"


def test_type_stub_declares_the_same_parameters():
    import ast

    stub = pathlib.Path(_core.__file__).with_name("_core.pyi")
    tree = ast.parse(stub.read_text())
    declared = {
        node.name: "(" + ", ".join(a.arg for a in node.args.args) + ")"
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }
    assert declared == {name: signature for name, signature, _ in REGISTRY}


def test_type_checkers_see_the_signatures(tmp_path):
    api = pytest.importorskip("mypy.api")
    good = tmp_path / "good.py"
    good.write_text(
        "import kelvara\n"
        "value: float = kelvara.isodesmic_model(1e-5, 1e5, 100)\n"
        "values: list = kelvara.temp_cooperative_model([300.0], -1e5, -200.0, 2e4, 1e-5, 1.0)\n"
    )
    bad = tmp_path / "bad.py"
    bad.write_text("import kelvara\nkelvara.temp_cooperative_model(300.0, 1, 1, 1, 1, 1)\n")
    out, _, status = api.run([str(good), "--no-incremental", "--cache-dir", str(tmp_path / "cache")])
    assert status == 0, out
    out, _, status = api.run([str(bad), "--no-incremental", "--cache-dir", str(tmp_path / "cache")])
    assert status == 1 and 'Argument 1 to "temp_cooperative_model"' in out


def test_the_package_type_checks(tmp_path, monkeypatch):
    """mypy finds nothing in the package's own source (its settings in
    pyproject.toml; the compiled modules typed by their stubs)."""
    api = pytest.importorskip("mypy.api")
    root = pathlib.Path(__file__).resolve().parent.parent
    monkeypatch.chdir(root)
    out, err, status = api.run(["-p", "kelvara", "--config-file", str(root / "pyproject.toml"), "--no-incremental",
                                "--cache-dir", str(tmp_path / "cache")])
    assert status == 0, out + err
