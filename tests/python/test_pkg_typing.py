"""The typed surface: the stub of the native module matches what the module exposes."""

import ast
import inspect
from pathlib import Path

import pytest

import zelk
from zelk import _zelk

PACKAGE = Path(zelk.__file__).parent


def _stub_methods():
    tree = ast.parse((PACKAGE / "_zelk.pyi").read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield node.name, item


def test_package_is_marked_typed_and_ships_the_stub():
    assert (PACKAGE / "py.typed").is_file()
    classes = {name for name, _ in _stub_methods()}
    assert classes == {n for n in vars(_zelk) if n.startswith("Raw")}


@pytest.mark.parametrize(
    "cls_name, method", list(_stub_methods()), ids=lambda v: getattr(v, "name", v)
)
def test_stub_signatures_match_the_native_classes(cls_name, method):
    cls = getattr(_zelk, cls_name)
    target = cls if method.name == "__new__" else getattr(cls, method.name)
    stub = [a.arg for a in method.args.args]
    if method.name == "__new__":
        stub = stub[1:]
    assert list(inspect.signature(target).parameters) == stub
    if method.name != "__new__":
        is_static = any(getattr(d, "id", None) == "staticmethod" for d in method.decorator_list)
        assert is_static == isinstance(inspect.getattr_static(cls, method.name), staticmethod)
    # Every public native method is in the stub.
    public = {n for n in dir(cls) if not n.startswith("_")}
    assert public == {
        m.name for c, m in _stub_methods() if c == cls_name and not m.name.startswith("_")
    }


def test_public_names():
    assert set(zelk.__all__) == {
        "ZELKClassifier",
        "ZELKRegressor",
        "export_graphviz",
        "export_text",
        "plot_contributions",
        "plot_split_scores",
        "plot_tree",
        "to_onnx",
        "to_shap",
        "__version__",
    }
    assert isinstance(zelk.__version__, str) and zelk.__version__[0].isdigit()
