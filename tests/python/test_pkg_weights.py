"""Sample weights, class weights, min_weight_fraction_leaf, validated importances and
decision_path of the package's estimators."""

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
