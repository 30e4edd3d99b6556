"""Scale-out with Dask on a LocalCluster of two worker processes: a grid search under
joblib's "dask" backend, chunked prediction of a Dask array, and estimators that travel
to the workers and back."""

import logging
import os

import joblib
import numpy as np
import pytest
from sklearn.datasets import make_classification, make_regression
from sklearn.model_selection import GridSearchCV

from zelk import ZELKClassifier, ZELKRegressor

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize(
    "estimator, grid, data",
    [
        (
            ZELKClassifier(),
            {
                "max_depth": [2, 4, None],
                "aggregator": ["mean", "median"],
                "mode": ["strict", "fast"],
            },
            make_classification(n_samples=400, n_features=6, n_informative=3, random_state=0),
        ),
        (
            ZELKRegressor(),
            {"min_samples_leaf": [1, 10], "criterion": ["mse", "mae"]},
            make_regression(n_samples=300, n_features=5, noise=5.0, random_state=0),
        ),
    ],
    ids=["classifier", "regressor"],
)
def test_grid_search_on_the_cluster_matches_the_local_run(client, estimator, grid, data):
    X, y = data
    local = GridSearchCV(estimator, grid, cv=3).fit(X, y)
    with distributed.get_task_stream(client) as tasks, joblib.parallel_backend("dask"):
        remote = GridSearchCV(estimator, grid, cv=3, n_jobs=-1).fit(X, y)
    assert tasks.data, "no fit ran on the workers"
    assert remote.best_params_ == local.best_params_
    for key in ("params", "mean_test_score", "std_test_score", "rank_test_score"):
        assert np.array_equal(remote.cv_results_[key], local.cv_results_[key]), key
    assert np.array_equal(remote.best_estimator_.predict(X), local.best_estimator_.predict(X))


def test_parallel_post_fit_predicts_a_dask_array_in_chunks(client):
    wrappers = pytest.importorskip("dask_ml.wrappers")
    X, y = make_classification(
        n_samples=2000, n_features=8, n_classes=3, n_informative=4, random_state=1
    )
    model = wrappers.ParallelPostFit(ZELKClassifier(max_depth=6)).fit(X, y)
    rows = da.random.default_rng(0).normal(size=(10**6, 8), chunks=(125_000, 8))
    labels, proba = model.predict(rows), model.predict_proba(rows)
    assert isinstance(labels, da.Array) and labels.numblocks == (8,)
    with distributed.get_task_stream(client) as tasks:
        labels, proba = client.compute([labels, proba], sync=True)
    assert {task["worker"] for task in tasks.data}, "nothing ran on the workers"
    local = rows.compute()
    assert np.array_equal(labels, model.estimator.predict(local))
    assert np.array_equal(proba, model.estimator.predict_proba(local))


def _fitted_on_frame():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(2)
    frame = pd.DataFrame(
        {
            "colour": pd.Categorical(rng.choice(["red", "green", "blue"], 300)),
            "size": rng.random(300),
        }
    )
    y = np.where(frame["colour"] == "green", "yes", "no")
    return ZELKClassifier().fit(frame, y), frame


def _fitted_fast():
    X, y = make_regression(n_samples=500, n_features=4, random_state=3)
    X[::9, 2] = np.nan
    return ZELKRegressor(mode="fast").fit(X, y), X


@pytest.mark.parametrize("fitted", [_fitted_on_frame, _fitted_fast], ids=["frame", "fast"])
def test_fitted_estimators_travel_to_a_worker_and_back(client, fitted):
    model, X = fitted()
    pid, predicted, returned = client.submit(
        lambda m, data: (os.getpid(), m.predict(data), m), model, X, pure=False
    ).result()
    assert pid != os.getpid()
    expected = model.predict(X)
    assert np.array_equal(predicted, expected)
    assert np.array_equal(returned.predict(X), expected)
