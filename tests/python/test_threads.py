"""zelk._engine releases the interpreter lock while it grows and walks trees, and calls on one
estimator from several threads take turns: no crash, no torn tree, the same results as one
after another."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from zelk import ZELKClassifier, ZELKRegressor, _engine


def data(seed, n=600, m=5):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    x[rng.random(n) < 0.05, 1] = np.nan
    y = x[:, 0] + np.sin(2.0 * x[:, 2]) + 0.3 * rng.normal(size=n)
    return x, y


def run_together(n_threads, job):
    """`job(i)` on `n_threads` threads started together; their results, in order."""
    start = threading.Barrier(n_threads)

    def body(i):
        start.wait()
        return job(i)

    with ThreadPoolExecutor(n_threads) as pool:
        return list(pool.map(body, range(n_threads)))


@pytest.mark.parametrize("kind", ["regressor", "classifier"])
def test_predictions_from_eight_threads_equal_the_serial_ones(kind):
    x, y = data(0)
    if kind == "regressor":
        est = ZELKRegressor(validation="candidates", cv_folds=3).fit(x, y)
        calls = [est.predict, est.apply]
    else:
        est = ZELKClassifier(validation="candidates", cv_folds=3).fit(x, y > 0)
        calls = [est.predict, est.predict_proba, est.apply]
    calls.append(lambda rows: est.shap_values(rows))
    rows = data(1, n=2000)[0]
    serial = [call(rows) for call in calls]

    def job(i):
        out = []
        for _ in range(5):
            out.append([call(rows) for call in calls])
        return out

    for results in run_together(8, job):
        for repeat in results:
            for got, want in zip(repeat, serial):
                np.testing.assert_array_equal(got, want)


def test_two_threads_fitting_one_engine_object_take_turns_and_leave_a_whole_tree():
    sets = [data(2), data(3, n=400, m=3)]
    trees = []
    for x, y in sets:
        one = _engine.Regressor(validation="prune", cv_folds=3)
        one.fit(x, y)
        trees.append(repr(one.export_tree()))
    shared = _engine.Regressor(validation="prune", cv_folds=3)
    probe = data(4, n=200, m=5)[0]

    def job(i):
        x, y = sets[i]
        for _ in range(25):
            shared.fit(x, y)
            # Whatever tree is in place is whole: one of the two, walked or copied entire.
            assert repr(shared.export_tree()) in trees
            assert shared.predict(probe).shape == (200,)
            assert shared.depth() >= 1

    run_together(2, job)
    assert repr(shared.export_tree()) in trees


@pytest.mark.parametrize("kind", ["regressor", "classifier"])
def test_walks_while_another_thread_refits_see_one_whole_tree(kind):
    # Small quick fits replace the tree over and over while long walks read it: a walk that
    # read a tree being replaced would mix the two or read freed nodes.
    sets = [data(8, n=300, m=3), data(9, n=300, m=3)]
    cls = _engine.Regressor if kind == "regressor" else _engine.Classifier
    labels = (lambda y: y) if kind == "regressor" else (lambda y: (y > 0).astype(np.int64))
    rows = data(10, n=100_000, m=3)[0]
    method = "predict" if kind == "regressor" else "predict_proba"
    wanted = []
    for x, y in sets:
        one = cls(validation="candidates", cv_folds=3)
        one.fit(x, labels(y))
        wanted.append(getattr(one, method)(rows))
    shared = cls(validation="candidates", cv_folds=3)
    shared.fit(sets[0][0], labels(sets[0][1]))
    done = threading.Event()

    def job(i):
        if i == 0:
            for k in range(60):
                x, y = sets[k % 2]
                shared.fit(x, labels(y))
            done.set()
            return 0
        walks = 0
        while not done.is_set():
            got = getattr(shared, method)(rows)
            assert any(np.array_equal(got, w) for w in wanted)
            walks += 1
        return walks

    assert run_together(2, job)[1] > 0


def test_a_failing_fit_beside_good_ones_leaves_the_last_good_tree():
    x, y = data(5)
    want = _engine.Regressor(cv_folds=3)
    want.fit(x, y)
    shared = _engine.Regressor(cv_folds=3)
    shared.fit(x, y)
    bad_y = y.copy()
    bad_y[7] = np.nan

    def job(i):
        for _ in range(20):
            if i == 0:
                shared.fit(x, y)
            else:
                with pytest.raises(ValueError):
                    shared.fit(x, bad_y)

    run_together(2, job)
    assert repr(shared.export_tree()) == repr(want.export_tree())


def test_two_threads_fitting_one_package_estimator_end_with_a_valid_tree():
    x, y = data(6)
    est = ZELKClassifier(mode="fast", monotonic_cst=[1, 0, 0, 0, 0])
    want = ZELKClassifier(mode="fast", monotonic_cst=[1, 0, 0, 0, 0]).fit(x, y > 0)

    def job(i):
        for _ in range(15):
            est.fit(x, y > 0)
            assert est.predict_proba(x).shape == (len(x), 2)

    run_together(2, job)
    np.testing.assert_array_equal(est.predict_proba(x), want.predict_proba(x))


def test_other_python_threads_run_while_a_tree_grows():
    # Holding the interpreter lock, the fit would keep this thread from reading the clock
    # until the fit ends; with the lock released it reads it at once.
    x, y = data(7, n=8000, m=6)
    est = _engine.Regressor()
    started, begun, ended = threading.Event(), [], []

    def fit():
        started.set()
        begun.append(time.perf_counter())
        est.fit(x, y)
        ended.append(time.perf_counter())

    worker = threading.Thread(target=fit)
    worker.start()
    started.wait()
    seen = time.perf_counter()
    worker.join()
    assert seen - begun[0] < 0.5 * (ended[0] - begun[0])
    assert est.n_leaves() > 1
