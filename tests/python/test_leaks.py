"""Every public operation, repeated many times, successes and failures alike, keeps memory
flat and leaves the reference counts of its arguments as they were."""

import ctypes
import gc
import pickle
import sys

import numpy as np
import pytest

import zelk
from zelk import _zelk as native

from conftest import ALL_CLASSES, arguments, data_for, make

pytestmark = pytest.mark.no_sanitizer

PAGE = 4096


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (AttributeError, OSError):  # not glibc 2.33 or newer
    _mallinfo2 = None


def malloc_bytes():
    """Bytes handed out by malloc: the core's allocations and the large Python buffers."""
    return _mallinfo2().uordblks if _mallinfo2 else 0


def assert_flat(op, watched, rounds):
    """Runs `op` `rounds` times after a warm-up; a leak of one object or one allocation a
    call, or a reference a call gained or lost by a watched object, fails."""
    for _ in range(max(rounds // 5, 50)):
        op()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    rss, heap, blocks = rss_bytes(), malloc_bytes(), sys.getallocatedblocks()
    for _ in range(rounds):
        op()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # Python objects live in the interpreter's own blocks; a leaked one a call shows as
    # `rounds` more.
    assert sys.getallocatedblocks() - blocks < rounds // 2 + 128
    assert malloc_bytes() - heap < max(8 * rounds, 64 << 10)
    # A fresh arena or two may be touched once along the way.
    assert rss_bytes() - rss < 4 << 20


def raising(call, error):
    """An operation that must raise `error` every time."""
    def op():
        try:
            call()
        except error:
            return
        raise AssertionError(f"{call} did not raise {error.__name__}")
    return op


def small_data(cls, n=24, m=3):
    x, y = data_for(cls, n=n, m=m, seed=4)
    return np.ascontiguousarray(x), np.ascontiguousarray(y)


def fitted(cls, **overrides):
    est = make(cls, max_depth=2, cv_folds=2, **overrides)
    est.fit(*small_data(cls))
    return est


# --- construction ---------------------------------------------------------------------------

# Rejections of every kind, each for one argument.
BAD_ARGUMENTS = {
    "type": (TypeError, dict(max_depth="3")),
    "type-in-sequence": (TypeError, dict(categorical=[1, "x"])),
    "overflow": (OverflowError, dict(min_samples_split=-1)),
    "value": (ValueError, dict(aggregator="nope")),
}


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_construction_by_keyword(cls):
    kwargs = arguments(cls, categorical=[0, 2], mode="fast")
    watched = [kwargs["categorical"], kwargs["mode"], kwargs["aggregator"], kwargs["split_style"]]
    assert_flat(lambda: cls(**kwargs), watched, 20000)


@pytest.mark.parametrize("kind", list(BAD_ARGUMENTS))
@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_rejected_construction(cls, kind):
    error, override = BAD_ARGUMENTS[kind]
    values = list(arguments(cls, **override).values())
    watched = [v for v in values if isinstance(v, (list, str))]
    assert_flat(raising(lambda: cls(*values), error), watched, 20000)


# --- fit ------------------------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_fit(cls, mode):
    est = make(cls, max_depth=2, cv_folds=2, mode=mode, categorical=[1])
    x, y = small_data(cls)
    x[:, 1] = np.arange(len(x)) % 3
    assert_flat(lambda: est.fit(x, y), [est, x, y], 5000)


def _fit_errors(cls):
    x, y = small_data(cls)
    wrong_y = y.astype(np.float32) if cls is native.RawRegressor else y.astype(np.float64)
    return {
        "x dtype": (TypeError, x.astype(np.float32), y),
        "y dtype": (TypeError, x, wrong_y),
        "x not an array": (TypeError, x.tolist(), y),
        "x one-dimensional": (TypeError, x[:, 0].copy(), y),
        "length mismatch": (ValueError, x, y[:-1].copy()),
        "no rows": (ValueError, x[:0].copy(), y[:0].copy()),
        "no columns": (ValueError, x[:, :0].copy(), y),
    }


FIT_ERRORS = list(_fit_errors(native.RawRegressor))


@pytest.mark.parametrize("case", FIT_ERRORS)
@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_failed_fit(cls, case):
    est = fitted(cls)
    error, x, y = _fit_errors(cls)[case]
    assert_flat(raising(lambda: est.fit(x, y), error), [est, x, y], 10000)


@pytest.mark.parametrize("cls,overrides", [
    (native.RawRegressor, dict(criterion="mae", mode="fast")),
    (native.RawRegressor, dict(mode="fast", n_bins=70000)),
    (native.RawClassifier, dict(mode="fast", n_bins=70000)),
    (native.RawObjectiveClassifier, dict(mode="fast", n_bins=70000)),
], ids=["mae-fast", "bin-limit-regressor", "bin-limit-classifier", "bin-limit-objective"])
def test_fit_refused_by_the_mode(cls, overrides):
    est = make(cls, **overrides)
    x, y = small_data(cls)
    assert_flat(raising(lambda: est.fit(x, y), ValueError), [est, x, y], 10000)


CALL_ERRORS = {
    "missing argument": lambda est, x, y: est.fit(x),
    "extra argument": lambda est, x, y: est.fit(x, y, 1),
    "unknown keyword": lambda est, x, y: est.fit(x, y=y, z=1),
    "twice given": lambda est, x, y: est.fit(x, y, x=x),
    "predict missing": lambda est, x, y: est.predict(),
}


@pytest.mark.parametrize("case", list(CALL_ERRORS))
@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_call_errors(cls, case):
    est = fitted(cls)
    x, y = small_data(cls)
    call = CALL_ERRORS[case]
    assert_flat(raising(lambda: call(est, x, y), TypeError), [est, x, y], 10000)


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_keyword_calls(cls):
    est = fitted(cls)
    x, y = small_data(cls)
    assert_flat(lambda: (est.fit(x=x, y=y), est.predict(x=x)), [est, x, y], 5000)


# --- prediction and inspection --------------------------------------------------------------


def _methods(cls):
    return ["predict"] if cls is native.RawRegressor else ["predict", "predict_proba"]


PREDICTIONS = [(cls, name) for cls in ALL_CLASSES for name in _methods(cls)]
PREDICTION_IDS = [f"{cls.__name__}-{name}" for cls, name in PREDICTIONS]


@pytest.mark.parametrize("cls,name", PREDICTIONS, ids=PREDICTION_IDS)
def test_prediction_and_its_errors(cls, name):
    est = fitted(cls)
    x, _ = small_data(cls)
    method = getattr(est, name)
    assert_flat(lambda: method(x), [est, x], 20000)
    unfitted = make(cls)
    unfitted_method = getattr(unfitted, name)
    assert_flat(raising(lambda: unfitted_method(x), ValueError), [unfitted, x], 20000)
    for bad, error in [(x[:, :0].copy(), ValueError), (x.astype(np.float32), TypeError),
                       (x.tolist(), TypeError), (x[0].copy(), TypeError)]:
        assert_flat(raising(lambda: method(bad), error), [est, bad], 10000)


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_export_depth_and_leaves(cls):
    est = fitted(cls)
    assert_flat(est.export_tree, [est], 10000)
    assert_flat(lambda: (est.depth(), est.n_leaves()), [est], 20000)
    unfitted = make(cls)
    assert_flat(raising(unfitted.export_tree, ValueError), [unfitted], 20000)


# --- from_tree ------------------------------------------------------------------------------


def _from_tree(cls, tree, categorical):
    if cls is native.RawRegressor:
        return cls.from_tree(tree, categorical)
    return cls.from_tree(tree, 3, categorical)


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_from_tree(cls):
    tree = fitted(cls).export_tree()
    categorical = [4]
    watched = [tree, categorical, *tree.values()]
    assert_flat(lambda: _from_tree(cls, tree, categorical), watched, 10000)


def _malformed(tree):
    """Trees broken in different places, with the error each gives."""
    first_split = tree["is_leaf"].index(False)
    cases = {}

    def broken(name, error, change):
        t = {k: (list(v) if isinstance(v, list) else v) for k, v in tree.items()}
        change(t)
        cases[name] = (error, t)

    broken("missing key", ValueError, lambda t: t.pop("feature"))
    broken("short list", ValueError, lambda t: t["is_leaf"].pop())
    broken("negative feature", ValueError,
           lambda t: t["feature"].__setitem__(first_split, -2))
    broken("child out of range", ValueError,
           lambda t: t["children_left"].__setitem__(first_split, 10**6))
    broken("wrong element type", TypeError, lambda t: t["upper"].__setitem__(first_split, "x"))
    broken("not a list", TypeError, lambda t: t.__setitem__("n_samples", "abc"))
    broken("no nodes", ValueError,
           lambda t: t.update({k: [] for k, v in tree.items() if isinstance(v, list)}))
    cases["not a dict"] = (TypeError, list(tree.items()))
    return cases


MALFORMED = list(_malformed(fitted(native.RawRegressor).export_tree()))


@pytest.mark.parametrize("case", MALFORMED)
@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_from_tree_rejects_malformed_trees(cls, case):
    error, tree = _malformed(fitted(cls).export_tree())[case]
    categorical = []
    watched = [tree, categorical]
    if isinstance(tree, dict):
        watched += [v for v in tree.values() if isinstance(v, list)]
    assert_flat(raising(lambda: _from_tree(cls, tree, categorical), error), watched, 10000)


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_from_tree_rejects_bad_companions(cls):
    tree = fitted(cls).export_tree()
    bad_categorical = [1, "x"]
    assert_flat(raising(lambda: _from_tree(cls, tree, bad_categorical), TypeError),
                [tree, bad_categorical], 10000)
    if cls is not native.RawRegressor:
        categorical = []
        assert_flat(raising(lambda: cls.from_tree(tree, -1, categorical), OverflowError),
                    [tree, categorical], 10000)


# --- the package's estimators ---------------------------------------------------------------

PACKAGE = {
    "regressor": (lambda: zelk.ZELKRegressor(max_depth=2, cv_folds=2), native.RawRegressor),
    "classifier": (lambda: zelk.ZELKClassifier(max_depth=2, cv_folds=2), native.RawClassifier),
    "objective": (lambda: zelk.ZELKClassifier(max_depth=2, cv_folds=2, objective="f1"),
                  native.RawClassifier),
}


@pytest.mark.parametrize("name", list(PACKAGE))
def test_package_estimator(name):
    build, data_class = PACKAGE[name]
    x, y = small_data(data_class)
    est = build().fit(x, y)
    assert_flat(lambda: build().fit(x, y), [x, y], 1500)
    assert_flat(lambda: est.predict(x), [est, x], 3000)
    if hasattr(est, "predict_proba"):
        assert_flat(lambda: est.predict_proba(x), [est, x], 3000)
    assert_flat(lambda: (est.get_depth(), est.get_n_leaves(), est.export_tree()), [est], 5000)
    assert_flat(lambda: repr(est), [est], 3000)
    assert_flat(lambda: pickle.loads(pickle.dumps(est)), [est], 3000)


@pytest.mark.parametrize("name", list(PACKAGE))
def test_package_estimator_errors(name):
    build, data_class = PACKAGE[name]
    x, y = small_data(data_class)
    est = build().fit(x, y)
    bad_param = build().set_params(max_depth=-1)
    assert_flat(raising(lambda: bad_param.fit(x, y), ValueError), [x, y], 1500)
    short_y = y[:-1].copy()
    assert_flat(raising(lambda: build().fit(x, short_y), ValueError), [x, short_y], 1500)
    few_columns = x[:, :1].copy()
    assert_flat(raising(lambda: est.predict(few_columns), ValueError), [est, few_columns], 1500)
    unfitted = build()
    assert_flat(raising(lambda: unfitted.predict(x), zelk_not_fitted()), [unfitted, x], 1500)


def zelk_not_fitted():
    from sklearn.exceptions import NotFittedError
    return NotFittedError


# --- failures inside the parallel map (test builds only) ------------------------------------


@pytest.mark.skipif(not hasattr(native, "_inject_fault"), reason="built without fault injection")
@pytest.mark.parametrize("kind,error", [("spawn", BaseException), ("worker", BaseException),
                                        ("worker_oom", MemoryError)])
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_fit_failing_in_the_parallel_map(mode, kind, error):
    est = make(native.RawClassifier, max_depth=3, cv_folds=2, mode=mode, parallel=True,
               n_threads=2, parallel_min_samples=0)
    x, y = small_data(native.RawClassifier, n=60)
    est.fit(x, y)

    def op():
        native._inject_fault(kind, 1)
        try:
            est.fit(x, y)
        except error:
            return
        finally:
            native._inject_fault("off", 0)
        raise AssertionError("the injected fault did not fire")

    assert_flat(op, [est, x, y], 3000)
