"""The estimators inside scikit-learn workflows, and persistence through pickle and joblib."""

import copy
import io
import pickle

import joblib
import numpy as np
import pytest
from sklearn.base import clone
from sklearn.datasets import load_diabetes, load_iris, make_classification
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from zelk import ZELKClassifier, ZELKRegressor

from conftest import same_tree

pd = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def iris():
    return load_iris(return_X_y=True)


@pytest.fixture(scope="module")
def diabetes():
    return load_diabetes(return_X_y=True)


ESTIMATORS = [
    pytest.param(lambda: ZELKClassifier(), "classify", id="classifier"),
    pytest.param(lambda: ZELKClassifier(mode="fast"), "classify", id="classifier-fast"),
    pytest.param(lambda: ZELKClassifier(objective="accuracy"), "classify", id="objective"),
    pytest.param(lambda: ZELKRegressor(), "regress", id="regressor"),
    pytest.param(lambda: ZELKRegressor(mode="fast"), "regress", id="regressor-fast"),
]


def _data(task, iris, diabetes):
    return iris if task == "classify" else diabetes


@pytest.mark.parametrize("make, task", ESTIMATORS)
def test_pipeline_and_cross_val_score(make, task, iris, diabetes):
    X, y = _data(task, iris, diabetes)
    pipe = make_pipeline(StandardScaler(), make())
    scores = cross_val_score(pipe, X, y, cv=3)
    assert scores.shape == (3,)
    # Well above chance on iris (1/3) and above a constant predictor on diabetes (R^2 0).
    assert scores.mean() > (0.8 if task == "classify" else 0.05)
    # Scaling is monotone, so the tree predicts exactly as without the scaler.
    plain = make().fit(X, y)
    assert np.array_equal(pipe.fit(X, y).predict(X), plain.predict(X))


@pytest.mark.parametrize(
    "estimator, grid, task",
    [
        (ZELKClassifier(), {"max_depth": [1, 3], "aggregator": ["mean", "median"]}, "classify"),
        (ZELKRegressor(), {"min_samples_leaf": [1, 20], "mode": ["strict", "fast"]}, "regress"),
    ],
)
def test_grid_search_with_two_jobs(estimator, grid, task, iris, diabetes):
    X, y = _data(task, iris, diabetes)
    search = GridSearchCV(estimator, grid, cv=3, n_jobs=2).fit(X, y)
    assert len(search.cv_results_["params"]) == 4
    assert np.all(np.isfinite(search.cv_results_["mean_test_score"]))
    best = clone(estimator).set_params(**search.best_params_).fit(X, y)
    assert np.array_equal(search.best_estimator_.predict(X), best.predict(X))


def _round_trips(estimator):
    yield pickle.loads(pickle.dumps(estimator))
    buffer = io.BytesIO()
    joblib.dump(estimator, buffer)
    buffer.seek(0)
    yield joblib.load(buffer)
    yield copy.deepcopy(estimator)


def _mixed_frame(n=300, seed=0):
    rng = np.random.default_rng(seed)
    colour = rng.choice(["red", "green", "blue"], size=n)
    size = rng.normal(size=n)
    size[rng.random(n) < 0.1] = np.nan
    frame = pd.DataFrame({"colour": pd.Categorical(colour), "size": size, "noise": rng.random(n)})
    target = np.where((colour == "red") | (np.nan_to_num(size) > 1.0), "yes", "no")
    return frame, target


@pytest.mark.parametrize("make, task", ESTIMATORS)
def test_fitted_estimators_round_trip_and_predict_identically(make, task, iris, diabetes):
    X, y = _data(task, iris, diabetes)
    X = X.copy()
    X[::7, 1] = np.nan
    fitted = make().fit(X, y)
    for restored in _round_trips(fitted):
        assert type(restored) is type(fitted)
        assert restored.get_params() == fitted.get_params()
        assert np.array_equal(restored.predict(X), fitted.predict(X))
        if task == "classify":
            assert np.array_equal(restored.predict_proba(X), fitted.predict_proba(X))
            assert np.array_equal(restored.classes_, fitted.classes_)
        assert restored.get_depth() == fitted.get_depth()
        assert restored.get_n_leaves() == fitted.get_n_leaves()
        assert restored.export_tree().keys() == fitted.export_tree().keys()
        # The restored estimator can be refitted with its own settings.
        assert np.array_equal(restored.fit(X, y).predict(X), fitted.predict(X))


def test_pickled_state_holds_the_tree_dictionary_not_native_objects(iris):
    fitted = ZELKClassifier().fit(*iris)
    state = fitted.__getstate__()
    assert same_tree(state["_tree_state"], fitted.export_tree())
    for value in state.values():
        assert type(value).__module__ != "zelk._zelk"


def test_unfitted_estimators_round_trip(iris):
    for estimator in (ZELKClassifier(max_depth=2, objective="f1"), ZELKRegressor(n_bins=8)):
        for restored in _round_trips(estimator):
            assert restored.get_params() == estimator.get_params()
            assert not hasattr(restored, "n_features_in_")


def test_categorical_frame_round_trip_keeps_the_category_mapping():
    frame, target = _mixed_frame()
    fitted = ZELKClassifier().fit(frame, target)
    assert list(fitted.is_categorical_) == [True, False, False]
    # Rows in a different category order and with an unseen category still decode by label.
    query = frame.iloc[:40].copy()
    query["colour"] = pd.Categorical(
        query["colour"].astype(str), categories=["purple", "red", "green", "blue"]
    )
    expected = fitted.predict(query)
    for restored in _round_trips(fitted):
        assert np.array_equal(restored.predict(query), expected)
        assert np.array_equal(restored.predict(frame), fitted.predict(frame))


def test_clone_gives_an_unfitted_copy_with_equal_parameters(iris):
    fitted = ZELKClassifier(max_depth=3, n_jobs=2).fit(*iris)
    copy_ = clone(fitted)
    assert copy_.get_params() == fitted.get_params()
    assert not hasattr(copy_, "classes_")


def test_parallel_scoring_gives_the_same_tree_as_serial():
    X, y = make_classification(n_samples=600, n_features=8, random_state=3)
    for mode in ("strict", "fast"):
        serial = ZELKClassifier(mode=mode).fit(X, y)
        for n_jobs in (2, -1):
            threaded = ZELKClassifier(mode=mode, n_jobs=n_jobs, parallel_min_samples=1).fit(X, y)
            assert same_tree(threaded.export_tree(), serial.export_tree())
