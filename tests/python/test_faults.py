"""Failures injected into the parallel map: a thread that cannot start, a worker that fails
and a worker that runs out of memory, on the pool and on threads of par_map's own."""

import errno
import os

import numpy as np
import pytest

import zelk
from zelk import _engine
from zelk import _zelk as native

from conftest import data_for, make, same_tree

if not hasattr(native, "_inject_fault"):
    pytest.skip("built without fault injection", allow_module_level=True)

SPAWN_MESSAGE = "failed to spawn thread: " + os.strerror(errno.EAGAIN)
WORKER_MESSAGE = "worker thread panicked: injected fault"

# Thread starts or worker jobs to let through first: the first parallel map of the fit, the
# next one, and one several nodes down.
AFTER = [0, 1, 7]


@pytest.fixture(autouse=True)
def disarm():
    yield
    native._inject_fault("off", 0)


def settings(mode, n_threads):
    return dict(mode=mode, parallel=True, n_threads=n_threads, parallel_min_samples=0,
                max_depth=4, n_bins=8)


_reference_trees = {}


def reference_tree(cls, mode, n_threads):
    """The tree grown on the second data set with no fault armed."""
    key = (cls, mode, n_threads)
    if key not in _reference_trees:
        est = make(cls, **settings(mode, n_threads))
        est.fit(*data_for(cls, n=300, m=5, seed=2))
        _reference_trees[key] = est.export_tree()
    return _reference_trees[key]


def fitted(cls, mode, n_threads):
    est = make(cls, **settings(mode, n_threads))
    est.fit(*data_for(cls, n=200, m=5, seed=1))
    return est


def panic_type():
    native._inject_fault("worker", 0)
    est = make(native.RawRegressor, **settings("strict", 2))
    try:
        est.fit(*data_for(native.RawRegressor, n=50, m=3))
    except BaseException as error:  # noqa: B036 - the type is what is looked for
        return type(error)
    raise AssertionError("the injected fault did not fire")


def test_panic_exception_is_the_modules_base_exception():
    first, second = panic_type(), panic_type()
    assert first is second
    assert (first.__module__, first.__qualname__) == ("zelk._zelk", "PanicException")
    assert first.__mro__ == (first, BaseException, object)


@pytest.mark.parametrize("own_threads", [False, True], ids=["pool", "own-threads"])
@pytest.mark.parametrize("after", AFTER)
@pytest.mark.parametrize("n_threads", [2, 3])
@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("kind,message", [("spawn", SPAWN_MESSAGE), ("worker", WORKER_MESSAGE)],
                         ids=["spawn", "worker"])
def test_fault_raises_panic_keeps_the_tree_and_the_next_fit_is_unaffected(
        estimator_class, kind, message, mode, n_threads, after, own_threads):
    est = fitted(estimator_class, mode, n_threads)
    before = est.export_tree()
    x, y = data_for(estimator_class, n=300, m=5, seed=2)
    native._inject_fault(kind, after, own_threads)
    with pytest.raises(BaseException) as caught:
        est.fit(x, y)
    assert type(caught.value) is panic_type()
    assert str(caught.value) == message
    assert same_tree(est.export_tree(), before)
    # The fault fired once: the same fit now succeeds and grows the tree it grows unharmed.
    est.fit(x, y)
    assert same_tree(est.export_tree(), reference_tree(estimator_class, mode, n_threads))


@pytest.mark.parametrize("own_threads", [False, True], ids=["pool", "own-threads"])
@pytest.mark.parametrize("after", AFTER)
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_worker_out_of_memory_raises_memory_error_and_keeps_the_tree(
        estimator_class, mode, after, own_threads):
    est = fitted(estimator_class, mode, 2)
    before = est.export_tree()
    x, y = data_for(estimator_class, n=300, m=5, seed=2)
    native._inject_fault("worker_oom", after, own_threads)
    with pytest.raises(MemoryError):
        est.fit(x, y)
    assert same_tree(est.export_tree(), before)
    est.fit(x, y)
    assert same_tree(est.export_tree(), reference_tree(estimator_class, mode, 2))


@pytest.mark.parametrize("kind", ["spawn", "worker", "worker_oom"])
def test_off_disarms(kind):
    native._inject_fault(kind, 0)
    native._inject_fault("off", 0)
    est = make(native.RawRegressor, **settings("strict", 2))
    est.fit(*data_for(native.RawRegressor, n=300, m=5, seed=2))
    assert same_tree(est.export_tree(), reference_tree(native.RawRegressor, "strict", 2))


def test_the_count_carries_over_from_one_fit_to_the_next():
    x, y = data_for(native.RawRegressor, n=300, m=5, seed=2)
    est = make(native.RawRegressor, **settings("strict", 2))
    # Every position inside the fit fails it; the first that lets the fit through is its
    # number of thread starts, and the fault then fires at the next fit's first start.
    for after in range(200):
        native._inject_fault("spawn", after)
        try:
            est.fit(x, y)
        except BaseException as error:  # noqa: B036
            assert str(error) == SPAWN_MESSAGE
        else:
            break
    assert 4 <= after < 200
    with pytest.raises(BaseException, match="^failed to spawn thread"):
        est.fit(x, y)
    est.fit(x, y)


def test_a_serial_fit_counts_nothing():
    native._inject_fault("worker", 0)
    est = make(native.RawRegressor, max_depth=4)  # parallel off
    est.fit(*data_for(native.RawRegressor, n=300, m=5, seed=2))
    with pytest.raises(BaseException, match="^worker thread panicked"):
        make(native.RawRegressor, **settings("strict", 2)).fit(
            *data_for(native.RawRegressor, n=300, m=5, seed=2))


@pytest.mark.parametrize("args,message", [
    (("sideways", 0), "unknown fault kind 'sideways'"),
    (("spawn", -1), "after must be non-negative"),
])
def test_hook_rejects_bad_arguments(args, message):
    with pytest.raises(ValueError, match=message):
        native._inject_fault(*args)


@pytest.mark.parametrize("kind,error,message", [
    ("spawn", BaseException, "^failed to spawn thread"),
    ("worker", BaseException, "^worker thread panicked"),
    ("worker_oom", MemoryError, None),
])
@pytest.mark.parametrize("make_estimator,data_class", [
    (lambda: zelk.ZELKRegressor(n_jobs=2, max_depth=3), native.RawRegressor),
    (lambda: zelk.ZELKClassifier(n_jobs=2, max_depth=3), native.RawClassifier),
], ids=["regressor", "classifier"])
def test_package_estimator_keeps_its_fit(make_estimator, data_class, kind, error, message):
    x, y = data_for(data_class, n=300, m=5, seed=3)
    est = make_estimator().fit(x, y)
    before = est.predict(x)
    # The package's estimators grow their trees in zelk._engine, which has its own hook.
    _engine._inject_fault(kind, 1)
    with pytest.raises(error, match=message):
        est.fit(x[::-1], y[::-1])
    np.testing.assert_array_equal(est.predict(x), before)
    assert est.n_features_in_ == 5
