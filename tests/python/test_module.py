"""The module, its classes, their method tables and docstrings, and the exception rule."""

import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zelk import _zelk as native

from conftest import (
    ALL_CLASSES,
    CLASSIFIER_PARAMS,
    OBJECTIVE_PARAMS,
    REGRESSOR_PARAMS,
    classifier,
    data_for,
    make,
    regression_data,
    regressor,
)

CLASS_TEXT = {
    native.RawRegressor: "Native regression tree.",
    native.RawClassifier: (
        "Native classification tree. Targets are already label-encoded to `0..n`\n"
        "by the Python layer; class recovery happens there via `classes_`."
    ),
    native.RawObjectiveClassifier: (
        "Native classification tree that selects splits by a metric objective\n"
        "(precision/recall/F1/F\u03b2/accuracy) instead of impurity."
    ),
}
PARAMS = {
    native.RawRegressor: REGRESSOR_PARAMS,
    native.RawClassifier: CLASSIFIER_PARAMS,
    native.RawObjectiveClassifier: OBJECTIVE_PARAMS,
}
FROM_TREE = {
    native.RawRegressor: (
        "(tree, categorical)",
        "Rebuild a fitted regressor from an `export_tree` dump (used to unpickle).",
    ),
    native.RawClassifier: (
        "(tree, n_classes, categorical)",
        "Rebuild a fitted classifier from an `export_tree` dump (used to unpickle).",
    ),
    native.RawObjectiveClassifier: (
        "(tree, n_classes, categorical)",
        "Rebuild a fitted objective classifier from an `export_tree` dump. The\n"
        "objective plays no part in prediction, so a placeholder task is used.",
    ),
}


def run_python(code):
    here = os.path.dirname(os.path.abspath(__file__))  # so that `conftest` imports
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60, cwd=here)


def test_module_holds_the_three_classes_in_order_and_its_final_docstring():
    names = [k for k in vars(native) if k.startswith("Raw")]
    assert names == ["RawClassifier", "RawObjectiveClassifier", "RawRegressor"]
    assert native.__doc__ != "The native extension module `zelk._zelk`."
    assert "\n" not in native.__doc__
    assert "zelk.ZELKClassifier" in native.__doc__ and "zelk.ZELKRegressor" in native.__doc__
    assert not callable(getattr(native, "PanicException", None))
    # Test builds add the private fault hook (see test_faults.py).
    hook = ["_inject_fault"] if hasattr(native, "_inject_fault") else []
    assert [k for k in vars(native) if not k.startswith("__")] == hook + names


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_class_docstring_carries_the_constructor_signature(cls):
    params = PARAMS[cls]
    assert cls.__doc__ == CLASS_TEXT[cls]
    assert cls.__text_signature__ == "(" + ", ".join(params) + ")"
    signature = inspect.signature(cls)
    assert list(signature.parameters) == params
    assert len(params) == {native.RawRegressor: 19, native.RawClassifier: 20,
                           native.RawObjectiveClassifier: 23}[cls]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in signature.parameters.values())


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_methods_are_registered_in_table_order_with_signature_lines(cls):
    methods = ["fit", "predict", "predict_proba", "depth", "n_leaves", "export_tree",
               "from_tree"]
    if cls is native.RawRegressor:
        methods.remove("predict_proba")
        assert not hasattr(cls, "predict_proba")
    assert [k for k in vars(cls) if not k.startswith("__")] == methods
    signatures = {"fit": "($self, x, y)", "predict": "($self, x)",
                  "predict_proba": "($self, x)", "depth": "($self)", "n_leaves": "($self)",
                  "export_tree": "($self)"}
    for name, text in signatures.items():
        if name in methods:
            method = getattr(cls, name)
            assert method.__text_signature__ == text
            assert method.__doc__ is None  # nothing after the signature block
    assert isinstance(vars(cls)["from_tree"], staticmethod)
    text_signature, doc = FROM_TREE[cls]
    assert cls.from_tree.__text_signature__ == text_signature
    assert cls.from_tree.__doc__ == doc
    assert list(inspect.signature(cls.from_tree).parameters) == text_signature[1:-1].split(", ")


def test_classes_derive_from_object_and_expose_no_data(estimator_class):
    assert estimator_class.__bases__ == (object,)
    est = make(estimator_class)
    assert not hasattr(est, "__dict__")
    with pytest.raises(AttributeError):
        est.anything = 1


def test_new_estimator_reports_zero_and_refuses_to_predict(estimator_class):
    est = make(estimator_class)
    assert est.depth() == 0 and est.n_leaves() == 0
    x = np.zeros((2, 3))
    for method in ("predict", "export_tree") + (
            ("predict_proba",) if estimator_class is not native.RawRegressor else ()):
        with pytest.raises(ValueError, match="^estimator is not fitted$"):
            getattr(est, method)(*(() if method == "export_tree" else (x,)))


def test_single_leaf_tree_has_depth_zero_and_one_leaf(estimator_class):
    x, y = data_for(estimator_class)
    est = make(estimator_class, max_depth=0)
    est.fit(x, y)
    assert (est.depth(), est.n_leaves()) == (0, 1)


def test_depth_and_leaves_of_a_grown_tree_match_its_export(estimator_class):
    x, y = data_for(estimator_class, n=200)
    est = make(estimator_class, max_depth=3)
    est.fit(x, y)
    tree = est.export_tree()
    assert est.n_leaves() == sum(tree["is_leaf"]) > 1
    depth = [0] * tree["node_count"]
    for i in range(tree["node_count"]):
        if not tree["is_leaf"][i]:
            depth[tree["children_left"][i]] = depth[tree["children_right"][i]] = depth[i] + 1
    assert est.depth() == max(depth) <= 3


def test_from_tree_is_static_and_builds_exactly_its_class(estimator_class):
    x, y = data_for(estimator_class)
    est = make(estimator_class, max_depth=2)
    est.fit(x, y)
    extra = () if estimator_class is native.RawRegressor else (3,)
    via_class = estimator_class.from_tree(est.export_tree(), *extra, [])
    via_instance = est.from_tree(est.export_tree(), *extra, [])

    class Derived(estimator_class):
        pass

    via_subclass = Derived.from_tree(est.export_tree(), *extra, [])
    for rebuilt in (via_class, via_instance, via_subclass):
        assert type(rebuilt) is estimator_class
        assert (rebuilt.depth(), rebuilt.n_leaves()) == (est.depth(), est.n_leaves())
        np.testing.assert_array_equal(rebuilt.predict(x), est.predict(x))


def test_a_subclass_constructs_instances_of_itself():
    class Derived(native.RawRegressor):
        pass

    est = Derived(*[v for v in __import__("conftest").REGRESSOR_ARGS.values()])
    assert type(est) is Derived
    x, y = regression_data()
    est.fit(x, y)
    assert est.n_leaves() >= 1


def test_second_initialisation_raises_import_error():
    result = run_python("""
        import sys
        import zelk._zelk as first
        del sys.modules["zelk._zelk"]
        try:
            import zelk._zelk
        except ImportError as error:
            print("ImportError", error)
        else:
            print("imported again")
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError"), result.stdout


@pytest.mark.no_sanitizer
def test_failed_thread_creation_raises_panic_exception_and_keeps_the_tree():
    # Thread stacks are mapped on creation; capping the address space just above what the
    # process uses makes that mapping fail while ordinary small allocations still succeed.
    result = run_python("""
        import resource
        import numpy as np
        from zelk import _zelk
        from conftest import regressor, regression_data
        # One feature: scored on the calling thread, so no thread (nor cached stack) exists yet.
        x, y = regression_data(n=80, m=6)
        x = x[:, :1]
        est = regressor(parallel=True, n_threads=4, max_depth=3)
        est.fit(x, y)
        before = est.predict(x)
        x2, y2 = regression_data(n=80, m=6, seed=5)
        x2, y2 = x2.copy(), y2.copy()
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        mro = first = None
        resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), hard))
        try:
            try:
                est.fit(x2, y2)
            except Exception as error:
                outcome = "Exception " + type(error).__name__
            except BaseException as error:
                outcome = "BaseException " + type(error).__name__ + " " + str(error)
                mro = [c.__name__ for c in type(error).__mro__]
                first = type(error)
            else:
                outcome = "no error"
            try:
                est.fit(x2, y2)
            except BaseException as error:
                print("second", type(error).__name__, type(error) is first)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(outcome)
        print(mro)
        print(np.array_equal(est.predict(x), before))
        """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "second PanicException True", lines  # one type for the process
    assert lines[1].startswith("BaseException PanicException failed to spawn thread"), lines
    assert lines[2] == "['PanicException', 'BaseException', 'object']"
    assert lines[3] == "True"


@pytest.mark.no_sanitizer
def test_failed_allocation_raises_memory_error_and_keeps_the_tree():
    result = run_python("""
        import resource
        import numpy as np
        from conftest import regressor, regression_data
        x, y = regression_data(n=80, m=3)
        est = regressor(max_depth=2)
        est.fit(x, y)
        before = est.predict(x)
        # Rows that cost no memory until fit copies them into columns (16 GiB).
        n = 2**31
        big_x = np.broadcast_to(np.zeros((1, 1)), (n, 1))
        big_y = np.broadcast_to(np.zeros(1), (n,))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        cap = 8 << 30 if hard == resource.RLIM_INFINITY else min(8 << 30, hard)
        resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
        try:
            est.fit(big_x, big_y)
        except MemoryError:
            print("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(np.array_equal(est.predict(x), before), est.depth())
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "True", "2"]


PLACEHOLDER = dict(max_depth=8, min_samples_split=2, min_samples_leaf=1,
                   min_impurity_decrease=0.0, n_bins=8, cv_folds=5, cv_seed=42, cv_shuffle=True,
                   mode="strict", split_style="threshold", aggregator="mean", parallel=False,
                   n_threads=1, parallel_min_samples=512)


@pytest.mark.parametrize("cls,extra", [
    (native.RawRegressor, dict(criterion="mse")),
    (native.RawClassifier, dict(criterion="gini", n_classes=3)),
    (native.RawObjectiveClassifier, dict(objective="accuracy", n_classes=3)),
], ids=lambda v: getattr(v, "__name__", ""))
def test_imported_estimator_refits_with_the_placeholder_settings(cls, extra):
    rng = np.random.default_rng(12)
    x, y = data_for(cls, n=300, m=4, seed=12)
    x[:, 1] = rng.integers(0, 4, size=len(x))
    fitted = make(cls, max_depth=1)
    fitted.fit(x, y)
    args = () if cls is native.RawRegressor else (3,)
    imported = cls.from_tree(fitted.export_tree(), *args, [3, 1, 3])
    imported.fit(x, y)
    reference = make(cls, categorical=[1, 3], **PLACEHOLDER, **extra)
    reference.fit(x, y)
    from conftest import same_tree
    assert same_tree(imported.export_tree(), reference.export_tree())
    assert imported.depth() > 1


def test_from_tree_converts_tree_then_n_classes_then_categorical():
    with pytest.raises(TypeError, match="^argument 'tree': "):
        native.RawClassifier.from_tree([], -1, "x")
    with pytest.raises(OverflowError):
        native.RawClassifier.from_tree({}, -1, "x")
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        native.RawClassifier.from_tree({}, 2, "x")
    with pytest.raises(TypeError, match="^argument 'n_classes': "):
        native.RawObjectiveClassifier.from_tree({}, 2.0, [])
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        native.RawRegressor.from_tree({}, None)
    # Arguments are accepted before the dictionary itself is read.
    with pytest.raises(ValueError, match='missing key "is_leaf"'):
        native.RawRegressor.from_tree({}, [])

    class Dict(dict):
        pass

    x, y = regression_data()
    est = regressor(max_depth=2)
    est.fit(x, y)
    rebuilt = native.RawRegressor.from_tree(Dict(est.export_tree()), np.array([9]))
    np.testing.assert_array_equal(rebuilt.predict(x), est.predict(x))
