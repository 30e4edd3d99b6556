"""Sample weights, class weights, min_weight_fraction_leaf, validated importances and
decision_path of the package's estimators."""

import re

import numpy as np
import pytest
from sklearn.datasets import make_classification
from sklearn.utils.class_weight import compute_sample_weight

from zelk import ZELKClassifier, ZELKRegressor

STATS = ("impurity", "split_score", "fold_scores")


def data(n=400, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    X[rng.random((n, 4)) < 0.05] = np.nan
    X[:, 3] = rng.integers(0, 4, size=n)
    signal = 2 * np.nan_to_num(X[:, 0]) + (X[:, 3] == 1) + rng.normal(size=n)
    labels = np.where(signal < -0.5, "low", np.where(signal < 1, "mid", "high"))
    weights = rng.exponential(size=n)
    weights[rng.random(n) < 0.2] = 0.0
    return X, signal, labels, weights


ESTIMATORS = [
    ZELKRegressor(),
    ZELKRegressor(criterion="mae", validation="candidates"),
    ZELKRegressor(mode="fast", validation="candidates", n_jobs=2, parallel_min_samples=16),
    ZELKClassifier(),
    ZELKClassifier(mode="fast", criterion="gini"),
    ZELKClassifier(objective="f1", average="macro", validation="candidates"),
    ZELKClassifier(objective="accuracy", mode="fast"),
]


def fit(estimator, X, y, sample_weight=None):
    est = estimator.__class__(**estimator.get_params())
    est.categorical_features = [3]
    target = y[1] if isinstance(est, ZELKClassifier) else y[0]
    return est.fit(X, target, sample_weight=sample_weight).export_tree()


def assert_same_tree(a, b, weight_scale=1.0):
    assert a.keys() == b.keys()
    for key in a:
        left, right = a[key], b[key]
        if key == "weighted_n_samples":
            left = [w * weight_scale for w in left]
        if isinstance(left, list) and left and isinstance(left[0], list):  # per-node lists
            assert [np.asarray(x).tobytes() for x in left] == [
                np.asarray(x).tobytes() for x in right
            ], key
        elif isinstance(left, list):
            assert np.asarray(left).tobytes() == np.asarray(right).tobytes(), key
        else:
            assert left == right, key


@pytest.mark.parametrize("estimator", ESTIMATORS, ids=repr)
def test_weights_of_one_grow_the_unweighted_tree_and_doubling_changes_only_the_weights(estimator):
    X, y, labels, w = data()
    plain = fit(estimator, X, (y, labels))
    assert plain["node_count"] > 1
    assert_same_tree(plain, fit(estimator, X, (y, labels), np.ones(len(y))))
    weighted = fit(estimator, X, (y, labels), w)
    assert weighted["n_samples"][0] == len(y)
    assert weighted["weighted_n_samples"][0] == pytest.approx(w.sum())
    assert_same_tree(weighted, fit(estimator, X, (y, labels), 2 * w), weight_scale=2.0)
    # A row of zero weight routes but takes part in no statistic: its target is never read.
    changed_y, changed_labels = y.copy(), labels.copy()
    changed_y[w == 0] = 1e6
    changed_labels[w == 0] = "low"
    assert_same_tree(weighted, fit(estimator, X, (changed_y, changed_labels), w))


@pytest.mark.parametrize(
    "weights, match",
    [
        (lambda n: -np.ones(n), "non-negative"),
        (lambda n: np.r_[np.nan, np.ones(n - 1)], "finite"),
        (lambda n: np.r_[np.inf, np.ones(n - 1)], "finite"),
        (lambda n: np.ones(n + 1), "entries for"),
        (lambda n: np.ones((n, 2)), "1-D"),
        (lambda n: np.zeros(n), "sums to zero"),
        (lambda n: ["a"] * n, "numbers"),
    ],
    ids=["negative", "nan", "inf", "length", "shape", "all-zero", "text"],
)
@pytest.mark.parametrize("cls", [ZELKRegressor, ZELKClassifier])
def test_bad_sample_weight_is_refused_and_a_fitted_estimator_keeps_its_tree(cls, weights, match):
    X, y, labels, _ = data(120)
    target = labels if cls is ZELKClassifier else y
    est = cls(max_depth=3).fit(X, target)
    before, state = est.export_tree(), dict(est.__dict__)
    with pytest.raises(ValueError, match="sample_weight") as error:
        est.fit(X[:60], target[:60], sample_weight=weights(60))
    assert match in str(error.value)
    assert_same_tree(before, est.export_tree())
    assert est.__dict__.keys() == state.keys()


def test_class_weight_is_sklearns_through_the_sample_weights():
    X, _, labels, w = data()
    for class_weight in ("balanced", {"low": 3.0, "mid": 0.5, "high": 1.0}):
        weighted = ZELKClassifier(class_weight=class_weight, categorical_features=[3])
        by_hand = ZELKClassifier(categorical_features=[3])
        expected = compute_sample_weight(class_weight, labels)
        assert_same_tree(weighted.fit(X, labels).export_tree(),
                         by_hand.fit(X, labels, sample_weight=expected).export_tree())
        assert_same_tree(weighted.fit(X, labels, sample_weight=w).export_tree(),
                         by_hand.fit(X, labels, sample_weight=w * expected).export_tree())
    with pytest.raises(ValueError, match="class_weight"):
        ZELKClassifier(class_weight="uniform").fit(X, labels)


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("weighted", [False, True])
def test_min_weight_fraction_leaf_bounds_every_leafs_weight(mode, weighted):
    X, y, _, w = data(600)
    sample_weight = w if weighted else None
    total = w.sum() if weighted else len(y)
    for validation in ("prune", "candidates"):
        est = ZELKRegressor(mode=mode, validation=validation, min_weight_fraction_leaf=0.1,
                            min_samples_leaf=1).fit(X, y, sample_weight=sample_weight)
        tree = est.export_tree()
        leaves = np.asarray(tree["is_leaf"])
        assert leaves.sum() > 1
        assert (np.asarray(tree["weighted_n_samples"])[leaves] >= 0.1 * total - 1e-9).all()
    with pytest.raises(ValueError, match="min_weight_fraction_leaf"):
        ZELKRegressor(min_weight_fraction_leaf=0.6).fit(X, y)


def test_validated_importances_leave_noise_features_little():
    X, y = make_classification(n_samples=2000, n_features=20, n_informative=5, n_redundant=0,
                               shuffle=False, flip_y=0.1, random_state=0)
    for mode in ("strict", "fast"):
        est = ZELKClassifier(mode=mode).fit(X, y)
        importances = est.validated_importances_
        assert importances.sum() == pytest.approx(1.0)
        assert (importances >= 0).all()
        assert importances[5:].sum() <= 0.05
    # A single leaf has no importance at all.
    leaf = ZELKClassifier(max_depth=0).fit(X, y)
    assert np.array_equal(leaf.validated_importances_, np.zeros(20))


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_decision_path_follows_each_row_from_the_root_to_its_leaf(mode):
    X, y, _, w = data(500, seed=3)
    est = ZELKRegressor(mode=mode, validation="candidates", min_samples_leaf=2,
                        categorical_features=[3]).fit(X, y, sample_weight=w)
    tree = est.export_tree()
    rows = np.random.default_rng(1).normal(size=(200, 4))
    rows[::7, 1] = np.nan
    rows[:, 3] = np.arange(200) % 5
    path = est.decision_path(rows)
    assert path.shape == (200, tree["node_count"]) and path.format == "csr"
    leaves = est.apply(rows)
    left, right = tree["children_left"], tree["children_right"]
    for i in range(200):
        nodes = path.indices[path.indptr[i]:path.indptr[i + 1]].tolist()
        # A chain from the root, each node a child of the one before, ending at the leaf.
        assert nodes[0] == 0 and nodes[-1] == leaves[i]
        assert all(b in (left[a], right[a]) for a, b in zip(nodes, nodes[1:]))
    assert (path.data == 1).all()
    single = ZELKRegressor(max_depth=0).fit(X, y)
    assert single.decision_path(rows).toarray().tolist() == [[1]] * 200


# ---- weights near the ends of the double range -----------------------------------------

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from zelk import _engine  # noqa: E402

SMALL = data(150, seed=5)
BOUNDED = settings(max_examples=40, deadline=None, derandomize=True,
                   suppress_health_check=[HealthCheck.too_slow])


def predictions(est, X):
    if isinstance(est, ZELKClassifier):
        return est.predict_proba(X)
    return est.predict(X)


def scaled_fit(estimator, w):
    X, y, labels, _ = SMALL
    est = estimator.__class__(**estimator.get_params())
    est.categorical_features = [3]
    est.fit(X, labels if isinstance(est, ZELKClassifier) else y, sample_weight=w)
    return est.export_tree(), predictions(est, X)


@BOUNDED
@given(estimator=st.sampled_from(ESTIMATORS), k=st.integers(-500, 500))
def test_weights_scaled_by_any_power_of_two_grow_the_same_tree(estimator, k):
    w = SMALL[3]
    tree, predicted = scaled_fit(estimator, w)
    scaled_tree, scaled_predicted = scaled_fit(estimator, w * 2.0**k)
    assert_same_tree(tree, scaled_tree, weight_scale=2.0**k)
    assert predicted.tobytes() == scaled_predicted.tobytes()


@pytest.mark.parametrize("k", [520, 1010, -1000])
@pytest.mark.parametrize("estimator", ESTIMATORS[::2], ids=repr)
def test_weights_whose_squares_overflow_still_grow_the_tree_of_weights_near_one(estimator, k):
    # At 2**520 the weighted spread of the folds' gains passed the double range.
    w = np.where(SMALL[3] > 0, np.maximum(SMALL[3], 0.01), 0.0)  # every scaled weight normal
    tree, predicted = scaled_fit(estimator, w)
    assert tree["node_count"] > 1
    scaled_tree, scaled_predicted = scaled_fit(estimator, w * 2.0**k)
    assert_same_tree(tree, scaled_tree, weight_scale=2.0**k)
    assert predicted.tobytes() == scaled_predicted.tobytes()


def test_the_reported_cases_no_longer_give_nan():
    rs = np.random.RandomState(0)
    X = rs.normal(size=(100, 3))
    y = (X[:, 0] > 0).astype(int)
    unit = ZELKRegressor().fit(X, X[:, 0])
    huge = ZELKRegressor().fit(X, X[:, 0], sample_weight=np.full(100, 2.0**520))
    assert huge.get_n_leaves() == unit.get_n_leaves() > 1
    assert ZELKClassifier().fit(X, y, sample_weight=np.full(100, 1e305)).predict_proba(
        X[:2]).tolist() == ZELKClassifier().fit(X, y).predict_proba(X[:2]).tolist()
    # Weights whose total a double cannot hold cannot give weighted counts: refused, by name.
    with pytest.raises(ValueError, match="^sample_weight sums to about 1e\\+310, more than"):
        ZELKClassifier().fit(X, y, sample_weight=np.full(100, 1e308))
    with pytest.raises(ValueError, match="^class_weight times sample_weight exceeds"):
        ZELKClassifier(class_weight={0: 1e10, 1: 1.0}).fit(
            X, y, sample_weight=np.full(100, 1e300))


huge_weights = st.lists(
    st.one_of(
        st.just(0.0),
        st.floats(0.0, 1.7976931348623157e308),
        st.sampled_from([1.7976931348623157e308, 1e308, 2.0**1000, 5e-324, 2.0**-1074 * 3]),
    ),
    min_size=60, max_size=60,
)


@BOUNDED
@given(estimator=st.sampled_from(ESTIMATORS), w=huge_weights, share=st.sampled_from([1, 64]),
       class_weight=st.sampled_from([None, "balanced"]))
def test_finite_weights_never_give_a_nan_prediction(estimator, w, share, class_weight):
    X, y, labels, _ = data(60, seed=9)
    est = estimator.__class__(**estimator.get_params())
    classifier = isinstance(est, ZELKClassifier)
    if classifier:
        est.set_params(class_weight=class_weight)
    try:
        # Divided by 64, the 60 weights' total is a double: the fit must take them.
        est.fit(X, labels if classifier else y, sample_weight=np.asarray(w) / share)
    except ValueError as error:  # too much weight in all, or none: refused by name
        assert re.match("^(sample_weight|class_weight) ", str(error)), str(error)
        assert share == 1 or class_weight is not None or not any(w), str(error)
        return
    predicted = predictions(est, X)
    assert np.isfinite(predicted).all()
    if classifier:
        assert np.allclose(predicted.sum(axis=1), 1.0)
    tree = est.export_tree()
    assert np.isfinite(tree["impurity"]).all()
    assert np.isfinite(tree["weighted_n_samples"]).all()
    assert np.isfinite(est.feature_importances_).all()
    assert np.isfinite(est.validated_importances_).all()


@pytest.mark.parametrize("criterion, limit", [("mse", 1e74), ("mae", 1e148)])
def test_targets_whose_squares_overflow_are_refused_naming_y(criterion, limit):
    X, y, _, w = data(100)
    fitted = ZELKRegressor(criterion=criterion).fit(X, y * limit / 10, sample_weight=w)
    assert np.isfinite(fitted.predict(X)).all()
    assert np.isfinite(fitted.export_tree()["impurity"]).all()
    with pytest.raises(ValueError, match="^y holds a target of magnitude .*divide y by"):
        ZELKRegressor(criterion=criterion).fit(X, y * limit * 1e6)
    # Rows of zero weight are never read, however large their targets.
    big = y.copy()
    big[w == 0] = 1e300
    ZELKRegressor(criterion=criterion).fit(X, big, sample_weight=w)


@pytest.mark.parametrize(
    "mode, n_bins, limit",
    [("fast", 65536, 65535), ("fast", 2**40, 65535), ("strict", 2**32, 4294967295),
     ("strict", 2**40, 4294967295)],
)
def test_n_bins_beyond_what_the_mode_codes_is_refused_by_name(mode, n_bins, limit):
    X, _, labels, _ = data(50)
    message = f"^n_bins={n_bins} is more than {mode} mode can code: at most {limit} bins"
    with pytest.raises(ValueError, match=message):
        ZELKClassifier(n_bins=n_bins, mode=mode).fit(X, labels)
    # The native estimators refuse it too, whatever the columns hold.
    native = _engine.Regressor(n_bins=n_bins, mode=mode)
    with pytest.raises(ValueError, match=message):
        native.fit(np.full((50, 2), np.nan), np.zeros(50))
    ZELKClassifier(n_bins=limit if mode == "fast" else 2**16, mode=mode).fit(X, labels)
