"""Held-out validation (validation="prune"): trees that stop where their splits stop
generalising, for every task kind and growth mode, whatever the threads."""

import math

import numpy as np
import pytest
from sklearn.datasets import make_classification, make_regression

from zelk import ZELKClassifier, ZELKRegressor, _engine

from conftest import same_tree

KINDS = [
    (_engine.Regressor, {}),
    (_engine.Classifier, dict(n_classes=2)),
    (_engine.Classifier, dict(n_classes=2, criterion="gini")),
    (_engine.ObjectiveClassifier, dict(n_classes=2, objective="f1")),
]
KIND_IDS = ["regressor", "entropy", "gini", "objective-f1"]


def noise(seed, regression, n=800, m=8):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = rng.normal(size=n) if regression else rng.integers(0, 2, n).astype(np.int64)
    return x, y


def signal(regression, n=1500, seed=0):
    """XOR of two features with a categorical third and missing values: no single split
    gains, two levels do."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 5))
    x[:, 2] = rng.integers(0, 4, n)
    x[rng.random(n) < 0.08, 1] = np.nan
    truth = ((x[:, 0] > 0) ^ (np.nan_to_num(x[:, 1]) > 0)) | (x[:, 2] == 3)
    if regression:
        return x, truth * 2.0 + rng.normal(scale=0.5, size=n)
    flip = rng.random(n) < 0.1
    return x, np.where(flip, ~truth, truth).astype(np.int64)


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("cls, settings", KINDS, ids=KIND_IDS)
def test_nothing_to_learn_gives_a_single_leaf(cls, settings, mode):
    regression = cls is _engine.Regressor
    single = 0
    for seed in range(10):
        x, y = noise(seed, regression)
        est = cls(mode=mode, **settings)
        est.fit(x, y)
        single += est.n_leaves() == 1
    assert single >= 9
    # Scored per candidate and never pruned, the same data grow large trees.
    est = cls(mode=mode, validation="candidates", **settings)
    est.fit(*noise(0, regression))
    assert est.n_leaves() > 10


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("cls, settings", KINDS, ids=KIND_IDS)
def test_structure_survives_and_threads_change_nothing(cls, settings, mode):
    x, y = signal(cls is _engine.Regressor)
    trees = []
    for threads in (1, 2):
        est = cls(mode=mode, categorical=[2], parallel=threads > 1, n_threads=threads,
                  parallel_min_samples=32, **settings)
        est.fit(x, y)
        trees.append(est.export_tree())
    assert same_tree(trees[0], trees[1])
    tree = trees[0]
    used = {f for f, leaf in zip(tree["feature"], tree["is_leaf"]) if not leaf}
    assert {0, 1, 2} <= used  # both halves of the XOR and the category
    splits = [i for i, leaf in enumerate(tree["is_leaf"]) if not leaf]
    for i in splits:
        # Sized as a whole, a split that no fold's training part could make stays, unscored.
        assert len(tree["fold_scores"][i]) <= 5
        if tree["fold_scores"][i]:
            assert math.isfinite(tree["split_score"][i])
        else:
            assert tree["split_score"][i] == -math.inf
    assert sum(bool(tree["fold_scores"][i]) for i in splits) > len(splits) // 2
    for i in set(range(tree["node_count"])) - set(splits):
        assert math.isnan(tree["split_score"][i]) and tree["fold_scores"][i] == []


@pytest.mark.parametrize("aggregator", ["mean", "median", "trimmed_mean", "signal_to_noise",
                                        "mean_minus_lambda_std"])
@pytest.mark.parametrize("split_style", ["threshold", "bin"])
def test_every_aggregator_and_split_style_learns(aggregator, split_style):
    x, y = make_classification(n_samples=1600, n_features=8, n_informative=3, n_redundant=0,
                               flip_y=0.1, random_state=1)
    y = y.astype(np.int64)
    for mode in ("strict", "fast"):
        est = _engine.Classifier(mode=mode, aggregator=aggregator, split_style=split_style)
        est.fit(x[:1000], y[:1000])
        assert 1 < est.n_leaves() < 200
        assert (est.predict(x[1000:]) == y[1000:]).mean() > 0.7


def test_both_modes_judge_a_categorical_root_alike():
    # With categories only, both modes offer the same candidates and deal the root's samples
    # into the same folds (their children's orders differ).
    rng = np.random.default_rng(3)
    x = rng.integers(0, 5, size=(1200, 3)).astype(float)
    x[rng.random(1200) < 0.05, 0] = np.nan
    y = ((x[:, 0] == 1) | (x[:, 1] == 4)).astype(np.int64)
    y[rng.random(1200) < 0.1] ^= 1
    roots = []
    for mode in ("strict", "fast"):
        est = _engine.Classifier(mode=mode, categorical=[0, 1, 2], max_depth=1)
        est.fit(x, y)
        tree = est.export_tree()
        roots.append([tree[key][0] for key in ("feature", "category", "split_score",
                                               "fold_scores", "impurity")])
    assert roots[0] == roots[1]
    assert roots[0][0] in (0, 1)


@pytest.mark.parametrize("cls, settings", KINDS[:2], ids=KIND_IDS[:2])
@pytest.mark.parametrize("validation", ["prune", "tree"])
def test_min_impurity_decrease_raises_the_bar_and_nan_lifts_it(cls, settings, validation):
    x, y = signal(cls is _engine.Regressor)
    sizes = {}
    for value in (0.0, 0.05, 1e9, float("nan")):
        est = cls(min_impurity_decrease=value, categorical=[2], validation=validation, **settings)
        est.fit(x, y)
        sizes[value if value == value else "nan"] = est.n_leaves()
    assert sizes[1e9] == 1
    if validation == "prune":
        assert sizes[0.05] <= sizes[0.0] < sizes["nan"]
    else:  # no bar at 0 or NaN: the sizing alone decides
        assert sizes[0.05] <= sizes[0.0] == sizes["nan"] and sizes[0.0] > 1


def test_unknown_validation_is_refused_by_name():
    with pytest.raises(ValueError, match=r'unknown validation "holdout" \(expected "tree", '
                                         r'"prune" or "candidates"\)'):
        _engine.Regressor(validation="holdout")
    with pytest.raises(ValueError, match="The 'validation' parameter must be one of"):
        ZELKRegressor(validation="holdout").fit(*noise(0, True))


def test_package_defaults_prune_and_grow_what_the_data_hold():
    x, y = make_classification(n_samples=1500, n_features=12, n_informative=3, n_redundant=0,
                               flip_y=0.2, random_state=0)
    pruned = ZELKClassifier().fit(x, y)
    unpruned = ZELKClassifier(validation="candidates").fit(x, y)
    assert 1 < pruned.get_n_leaves() < unpruned.get_n_leaves() / 4
    xr, yr = make_regression(n_samples=1000, n_features=8, n_informative=2, noise=20.0,
                             random_state=0)
    reg = ZELKRegressor().fit(xr, yr)
    assert reg.score(xr, yr) > 0.5 and reg.get_n_leaves() > 4
