"""What the package's estimators tell about a fitted tree: feature_importances_, apply, and
the trees of estimators pickled by an earlier zelk."""

import pickle
import warnings
from pathlib import Path

import numpy as np
from sklearn.base import clone
import pytest
from sklearn.datasets import make_classification, make_regression

from zelk import ZELKClassifier, ZELKRegressor

ESTIMATORS = [
    (ZELKRegressor, dict(max_depth=5)),
    (ZELKRegressor, dict(criterion="mae", max_depth=4)),
    (ZELKRegressor, dict(mode="fast", max_depth=6)),
    (ZELKClassifier, dict(criterion="entropy")),
    (ZELKClassifier, dict(mode="fast", split_style="bin")),
    (ZELKClassifier, dict(objective="f1", average="macro")),
]


def data(cls, seed=0):
    if cls is ZELKRegressor:
        return make_regression(n_samples=400, n_features=6, n_informative=3, noise=5.0,
                               random_state=seed)
    return make_classification(n_samples=400, n_features=6, n_informative=3, n_redundant=0,
                               n_classes=3, random_state=seed)


def recomputed_importances(tree, n_features):
    """scikit-learn's definition, node by node."""
    out = np.zeros(n_features)
    w, imp = tree["weighted_n_samples"], tree["impurity"]
    for i in range(tree["node_count"]):
        if tree["is_leaf"][i]:
            continue
        left, right = tree["children_left"][i], tree["children_right"][i]
        out[tree["feature"][i]] += w[i] * imp[i] - w[left] * imp[left] - w[right] * imp[right]
    return out / out.sum() if out.sum() > 0 else out


@pytest.mark.parametrize("cls, settings", ESTIMATORS)
def test_feature_importances_follow_the_exported_statistics(cls, settings):
    X, y = data(cls)
    est = cls(**settings).fit(X, y)
    importances = est.feature_importances_
    assert importances.shape == (6,)
    np.testing.assert_allclose(importances, recomputed_importances(est.export_tree(), 6),
                               rtol=1e-12, atol=1e-15)
    assert importances.min() >= 0 and np.isclose(importances.sum(), 1.0)
    # The root's split feature carries weight.
    assert importances[est.export_tree()["feature"][0]] > 0


@pytest.mark.parametrize("cls", [ZELKRegressor, ZELKClassifier])
def test_a_single_leaf_has_no_important_feature(cls):
    X, y = data(cls)
    est = cls(max_depth=0).fit(X, y)
    np.testing.assert_array_equal(est.feature_importances_, np.zeros(6))


@pytest.mark.parametrize("cls, settings", ESTIMATORS)
def test_apply_reaches_the_leaf_whose_value_is_predicted(cls, settings):
    X, y = data(cls)
    est = cls(**settings).fit(X, y)
    leaves = est.apply(X)
    tree = est.export_tree()
    assert np.asarray(tree["is_leaf"])[leaves].all()
    if cls is ZELKRegressor:
        np.testing.assert_array_equal(np.asarray(tree["value"])[leaves], est.predict(X))
    else:
        predicted = est.classes_[np.asarray(tree["predicted_class"])[leaves]]
        np.testing.assert_array_equal(predicted, est.predict(X))


def test_estimators_pickled_by_an_earlier_zelk_predict_the_same():
    # Made by the package when it drove zelk._zelk; their state names its classes and their
    # trees carry no statistics.
    with open(Path(__file__).parent / "data" / "legacy_estimators.pkl", "rb") as f:
        legacy = pickle.load(f)
    X = legacy["X"]
    for name, saved in legacy["models"].items():
        with warnings.catch_warnings():
            # A newer scikit-learn warns that the pickle comes from another version.
            warnings.simplefilter("ignore")
            est = pickle.loads(saved["pickle"])
        np.testing.assert_array_equal(est.predict(X), saved["predict"], err_msg=name)
        if "proba" in saved:
            np.testing.assert_array_equal(est.predict_proba(X), saved["proba"], err_msg=name)
        assert est.get_n_leaves() == saved["leaves"]
        assert not hasattr(est, "feature_importances_")
        assert not hasattr(est, "validated_importances_")
        # Parameters added since take their defaults, so the estimator clones and refits.
        assert est.get_params()["validation"] == "candidates"
        assert clone(est).fit(X, saved["predict"]).get_n_leaves() >= 1
        # Pickled again, it keeps predicting the same.
        again = pickle.loads(pickle.dumps(est))
        np.testing.assert_array_equal(again.predict(X), saved["predict"], err_msg=name)



@pytest.mark.parametrize("cls, settings", ESTIMATORS[::2])
def test_a_pickle_lacking_settings_loads_them_at_their_defaults(cls, settings):
    X, y = data(cls)
    est = cls(**settings, min_samples_leaf=3, validation="prune").fit(X, y)
    state = est.__getstate__()
    for name in cls._settings:
        del state[name]
    restored = cls.__new__(cls)
    restored.__setstate__(state)
    expected = {name: row.default for name, row in cls._settings.items()}
    # Estimators from before these settings existed validated candidates, split one category
    # against the rest and cut at values.
    expected.update(validation="candidates", categorical_split="one_vs_rest", thresholds="value")
    assert restored.get_params() == expected
    np.testing.assert_array_equal(restored.predict(X), est.predict(X))
