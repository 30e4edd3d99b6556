"""The estimators inside scikit-learn's meta-estimators: boosting and bagging (through
sample_weight), calibration, feature selection by either importance, permutation importance
and a column transformer over a pandas frame with categorical columns."""

import numpy as np
import pytest
from sklearn.calibration import CalibratedClassifierCV
from sklearn.compose import ColumnTransformer
from sklearn.datasets import make_classification, make_regression
from sklearn.ensemble import (
    AdaBoostClassifier,
    AdaBoostRegressor,
    BaggingClassifier,
    BaggingRegressor,
)
from sklearn.feature_selection import SelectFromModel
from sklearn.inspection import permutation_importance
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OrdinalEncoder, StandardScaler

from zelk import ZELKClassifier, ZELKRegressor

pd = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def classification():
    return make_classification(n_samples=400, n_features=8, n_informative=3, n_redundant=0,
                               shuffle=False, random_state=0)


@pytest.fixture(scope="module")
def regression():
    return make_regression(n_samples=300, n_features=5, n_informative=2, noise=5.0,
                           shuffle=False, random_state=0)


def test_adaboost_classifier_over_stumps_beats_a_single_stump(classification):
    X, y = classification
    stump = ZELKClassifier(max_depth=1, validation="candidates", objective="accuracy")
    boosted = AdaBoostClassifier(estimator=stump, n_estimators=20, random_state=0).fit(X, y)
    assert len(boosted.estimators_) > 5
    assert boosted.score(X, y) > stump.fit(X, y).score(X, y) + 0.02


def test_adaboost_regressor_reweights_shallow_trees(regression):
    X, y = regression
    boosted = AdaBoostRegressor(estimator=ZELKRegressor(max_depth=3), n_estimators=10,
                                random_state=0).fit(X, y)
    assert len(boosted.estimators_) == 10
    assert boosted.score(X, y) > 0.7


@pytest.mark.parametrize(
    "bagging, estimator, data",
    [
        (BaggingClassifier, ZELKClassifier(mode="fast"), "classification"),
        (BaggingRegressor, ZELKRegressor(), "regression"),
    ],
)
def test_bagging_fits_through_sample_weights(bagging, estimator, data, request):
    X, y = request.getfixturevalue(data)
    bag = bagging(estimator=estimator, n_estimators=5, random_state=0).fit(X, y)
    # Bootstrap counts reach the trees as sample weights: each tree's root weighs the draw.
    for tree, rows in zip(bag.estimators_, bag.estimators_samples_):
        assert tree.export_tree()["weighted_n_samples"][0] == pytest.approx(len(rows))
    assert bag.score(X, y) > (0.8 if data == "classification" else 0.6)


def test_calibrated_classifier_gives_probabilities(classification):
    X, y = classification
    calibrated = CalibratedClassifierCV(ZELKClassifier(), cv=3).fit(X, y)
    proba = calibrated.predict_proba(X)
    assert proba.shape == (len(y), 2)
    assert np.allclose(proba.sum(axis=1), 1.0)
    assert calibrated.score(X, y) > 0.8


@pytest.mark.parametrize("importance", ["feature_importances_", "validated_importances_"])
def test_select_from_model_keeps_the_informative_features(classification, importance):
    X, y = classification
    selector = SelectFromModel(ZELKClassifier(), importance_getter=importance,
                               threshold="mean").fit(X, y)
    kept = np.flatnonzero(selector.get_support())
    assert set(kept) <= {0, 1, 2} and len(kept) >= 2
    assert selector.transform(X).shape == (len(y), len(kept))


def test_permutation_importance_ranks_the_informative_features_first():
    # make_regression's fixture above draws a coefficient of 0.5 against noise 5 for its
    # first feature: here both informative features carry weight.
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300, 5))
    y = 3.0 * X[:, 0] + 2.0 * X[:, 1] + rng.normal(scale=0.5, size=300)
    model = ZELKRegressor().fit(X, y)
    result = permutation_importance(model, X, y, n_repeats=3, random_state=0)
    assert list(np.argsort(result.importances_mean)[-2:]) == [1, 0]


def test_column_transformer_over_a_frame_with_categorical_columns():
    rng = np.random.default_rng(0)
    n = 300
    frame = pd.DataFrame({
        "colour": pd.Categorical(rng.choice(["red", "green", "blue"], size=n)),
        "size": pd.Categorical(rng.choice(["S", "M", "L"], size=n)),
        "weight": rng.normal(size=n),
    })
    y = (frame["colour"] == "red").to_numpy() ^ (frame["weight"] > 0.5).to_numpy()
    columns = ColumnTransformer(
        [("categories", OrdinalEncoder(), ["colour", "size"]),
         ("numbers", StandardScaler(), ["weight"])],
        verbose_feature_names_out=False,
    ).set_output(transform="pandas")
    model = make_pipeline(columns, ZELKClassifier(categorical_features=["colour", "size"]))
    model.fit(frame, y, zelkclassifier__sample_weight=np.where(y, 2.0, 1.0))
    tree = model[-1]
    assert tree.is_categorical_.tolist() == [True, True, False]
    assert list(tree.feature_names_in_) == ["colour", "size", "weight"]
    assert model.score(frame, y) > 0.95
