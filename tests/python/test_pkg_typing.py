"""The typed surface: each stub of a native module matches what the module exposes."""

import ast
import inspect
from pathlib import Path

import pytest

import zelk
from zelk import _engine, _zelk

PACKAGE = Path(zelk.__file__).parent
MODULES = {"_zelk.pyi": _zelk, "_engine.pyi": _engine}
P = inspect.Parameter


def _stub_classes(stub):
    tree = ast.parse((PACKAGE / stub).read_text())
    return [node for node in tree.body if isinstance(node, ast.ClassDef)]


def _stub_methods():
    for stub in MODULES:
        for node in _stub_classes(stub):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield stub, node.name, item


def _literal(node):
    return P.empty if node is None else ast.literal_eval(node)


def _parameters(function):
    """A stub function's parameters as (name, kind, default) triples."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    kinds = [P.POSITIONAL_ONLY] * len(args.posonlyargs) + [P.POSITIONAL_OR_KEYWORD] * len(args.args)
    return [(a.arg, kind, _literal(d)) for a, kind, d in zip(positional, kinds, defaults)] + [
        (a.arg, P.KEYWORD_ONLY, _literal(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]


def test_package_is_marked_typed_and_ships_the_stubs():
    assert (PACKAGE / "py.typed").is_file()
    for stub, module in MODULES.items():
        classes = {node.name: [b.id for b in node.bases] for node in _stub_classes(stub)}
        public = {n: v for n, v in vars(module).items() if isinstance(v, type) and n[0] != "_"}
        assert classes.keys() == public.keys(), stub
        for name, bases in classes.items():
            assert bases == [b.__name__ for b in public[name].__bases__ if b is not object]


@pytest.mark.parametrize(
    "stub, cls_name, method", list(_stub_methods()), ids=lambda v: getattr(v, "name", v)
)
def test_stub_signatures_match_the_native_classes(stub, cls_name, method):
    cls = getattr(MODULES[stub], cls_name)
    target = cls if method.name == "__new__" else getattr(cls, method.name)
    stub_parameters = _parameters(method)
    if method.name == "__new__":
        stub_parameters = stub_parameters[1:]
    native = [(p.name, p.kind, p.default) for p in inspect.signature(target).parameters.values()]
    assert native == stub_parameters
    if method.name != "__new__":
        is_static = any(getattr(d, "id", None) == "staticmethod" for d in method.decorator_list)
        assert is_static == isinstance(inspect.getattr_static(cls, method.name), staticmethod)
    # Every public native method is in the stub.
    public = {n for n in dir(cls) if not n.startswith("_")}
    assert public == {
        m.name
        for s, c, m in _stub_methods()
        if (s, c) == (stub, cls_name) and not m.name.startswith("_")
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
