"""zelk._engine, the native module the package drives: the same trees as zelk._zelk for the
same settings, keyword settings with the package's defaults, per-node statistics, apply."""

import inspect
import math

import numpy as np
import pytest

from zelk import _engine, _params, _zelk

from conftest import ALL_CLASSES, arguments, same_tree

ENGINE_OF = {
    _zelk.RawRegressor: _engine.Regressor,
    _zelk.RawClassifier: _engine.Classifier,
    _zelk.RawObjectiveClassifier: _engine.ObjectiveClassifier,
}
ENGINE_CLASSES = list(ENGINE_OF.values())
STATS = ["impurity", "weighted_n_samples", "split_score", "fold_scores", "categories"]


def mixed_data(cls, seed, n=400, m=5, n_classes=3):
    """Continuous columns with NaN, and a categorical column 3 of codes 0 .. 5."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    x[:, 3] = rng.integers(0, 6, size=n)
    x[rng.random(n) < 0.1, 1] = np.nan
    signal = x[:, 0] + np.where(x[:, 3] == 2, 1.5, 0.0) + 0.4 * rng.normal(size=n)
    if cls is _engine.Regressor:
        return x, signal
    edges = np.quantile(signal, np.linspace(0, 1, n_classes + 1)[1:-1])
    return x, np.searchsorted(edges, signal).astype(np.int64)


def random_settings(raw_cls, mode, threads, seed):
    """Settings of `raw_cls` drawn from `seed`, in both modules' names."""
    rng = np.random.default_rng(seed)
    criterion = {
        _zelk.RawRegressor: ["mse", "variance"] + (["mae"] if mode == "strict" else []),
        _zelk.RawClassifier: ["gini", "entropy"],
    }.get(raw_cls)
    overrides = dict(
        mode=mode,
        parallel=threads > 1,
        n_threads=threads,
        parallel_min_samples=int(rng.choice([1, 64, 512])),
        n_bins=int(rng.choice([4, 8, 16, 33])),
        cv_folds=int(rng.choice([2, 3, 5])),
        cv_seed=int(rng.integers(0, 2**63)),
        cv_shuffle=bool(rng.random() < 0.8),
        split_style=str(rng.choice(["threshold", "bin"])),
        aggregator=str(rng.choice(["mean", "median", "trimmed_mean", "signal_to_noise",
                                   "mean_minus_lambda_std"])),
        min_samples_leaf=int(rng.choice([1, 3])),
        max_depth=[None, 4][int(rng.integers(0, 2))],
        categorical=[3],
    )
    if criterion is not None:
        overrides["criterion"] = str(rng.choice(criterion))
    if raw_cls is _zelk.RawObjectiveClassifier:
        overrides.update(objective=str(rng.choice(["accuracy", "f1", "recall"])),
                         average=str(rng.choice(["macro", "weighted", "micro"])))
    return arguments(raw_cls, **overrides)


def plain(tree):
    """The keys of zelk._zelk's dictionary, without the statistics."""
    return {k: v for k, v in tree.items() if k not in STATS}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("raw_cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_engine_grows_the_tree_zelk_grows(raw_cls, mode, threads):
    engine_cls = ENGINE_OF[raw_cls]
    for seed in range(3):
        args = random_settings(raw_cls, mode, threads, seed)
        x, y = mixed_data(engine_cls, seed)
        raw = raw_cls(*args.values())
        raw.fit(x, y)
        engine = engine_cls(**args, validation="candidates", categorical_split="one_vs_rest",
                            thresholds="value")
        engine.fit(x, y)
        assert same_tree(plain(engine.export_tree()), raw.export_tree()), args
        np.testing.assert_array_equal(engine.predict(x), raw.predict(x))
        if raw_cls is not _zelk.RawRegressor:
            np.testing.assert_array_equal(engine.predict_proba(x), raw.predict_proba(x))


# Native settings that the package derives instead of taking: from the labels, from n_jobs,
# from categorical_features.
DERIVED = {"n_classes", "parallel", "n_threads", "categorical"}


@pytest.mark.parametrize("engine_cls, table", [
    (_engine.Regressor, _params.REGRESSOR),
    (_engine.Classifier, _params.CLASSIFIER),
    (_engine.ObjectiveClassifier, _params.CLASSIFIER),
])
def test_settings_are_keyword_only_with_the_package_defaults(engine_cls, table):
    parameters = inspect.signature(engine_cls).parameters
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in parameters.values())
    own = set(parameters) - DERIVED
    # Every native setting is one of the package's, and every growth setting reaches it.
    assert own <= set(table)
    assert set(_params.GROWTH) - {"n_jobs", "categorical_features"} <= own
    # The package's None for the metric, its averaging and positive class means "impurity"
    # or "from the labels"; it passes the resolved values.
    for name in own - {"objective", "average", "pos_label"}:
        assert parameters[name].default == table[name].default, name
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        engine_cls(3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'depth'"):
        engine_cls(depth=3)


@pytest.mark.parametrize("raw_cls, overrides", [
    (_zelk.RawRegressor, dict(criterion="gini")),
    (_zelk.RawClassifier, dict(split_style="bins")),
    (_zelk.RawObjectiveClassifier, dict(average="mean", objective="auc")),
    (_zelk.RawRegressor, dict(aggregator="max")),
])
def test_settings_are_refused_as_zelk_refuses_them(raw_cls, overrides):
    with pytest.raises(ValueError) as expected:
        raw_cls(*arguments(raw_cls, **overrides).values())
    with pytest.raises(ValueError) as got:
        ENGINE_OF[raw_cls](**overrides)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("raw_cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_only_the_engine_lets_the_size_choose_the_mode(raw_cls):
    # The fixed module knows its two modes alone; the engine also takes "auto", its default.
    with pytest.raises(ValueError) as fixed:
        raw_cls(*arguments(raw_cls, mode="auto").values())
    assert str(fixed.value) == 'unknown mode "auto" (expected "strict" or "fast")'
    with pytest.raises(ValueError) as engine:
        ENGINE_OF[raw_cls](mode="Fast")
    assert str(engine.value) == 'unknown mode "Fast" (expected "auto", "strict" or "fast")'


def fitted(engine_cls, seed=0, **settings):
    if engine_cls is not _engine.Regressor:
        settings.setdefault("n_classes", 3)
    x, y = mixed_data(engine_cls, seed)
    est = engine_cls(categorical=[3], **settings)
    est.fit(x, y)
    return est, x, y


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("engine_cls", ENGINE_CLASSES, ids=lambda c: c.__name__)
def test_apply_gives_the_leaf_that_predicts_each_row(engine_cls, mode):
    est, x, _ = fitted(engine_cls, mode=mode, max_depth=5)
    rng = np.random.default_rng(1)
    query = np.vstack([x, rng.normal(size=(50, x.shape[1]))])
    query[::7, 3] = np.nan
    leaves = est.apply(query)
    tree = est.export_tree()
    assert leaves.dtype == np.int64 and leaves.shape == (len(query),)
    assert np.asarray(tree["is_leaf"])[leaves].all()
    if engine_cls is _engine.Regressor:
        np.testing.assert_array_equal(np.asarray(tree["value"])[leaves], est.predict(query))
    else:
        np.testing.assert_array_equal(np.asarray(tree["predicted_class"])[leaves],
                                      est.predict(query))
        np.testing.assert_array_equal([tree["proba"][leaf] for leaf in leaves],
                                      est.predict_proba(query))
    assert est.apply(np.empty((0, 5))).shape == (0,)


def test_apply_refuses_an_unfitted_estimator_and_too_narrow_input():
    with pytest.raises(ValueError, match="estimator is not fitted"):
        _engine.Regressor().apply(np.zeros((2, 2)))
    est, x, _ = fitted(_engine.Regressor, max_depth=4)
    with pytest.raises(ValueError, match="columns but the tree needs"):
        est.apply(x[:, :1])


def node_criterion(engine_cls, settings, y):
    if engine_cls is _engine.Regressor:
        return float(np.var(y))
    counts = np.bincount(y, minlength=3) / len(y)
    if settings.get("criterion") == "entropy":
        nonzero = counts[counts > 0]
        return float(-(nonzero * np.log2(nonzero)).sum())
    return float(1.0 - (counts ** 2).sum())


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("engine_cls, settings", [
    (_engine.Regressor, {}),
    (_engine.Classifier, dict(criterion="entropy")),
    (_engine.ObjectiveClassifier, dict(objective="f1", average="macro")),
], ids=["regressor", "entropy", "objective"])
def test_export_appends_the_statistics_of_every_node(engine_cls, settings, mode):
    est, x, y = fitted(engine_cls, mode=mode, max_depth=4, cv_folds=4, validation="candidates",
                       **settings)
    tree = est.export_tree()
    assert list(tree)[-len(STATS):] == STATS
    n = tree["node_count"]
    assert all(len(tree[key]) == n for key in STATS)
    # Every node's statistics, checked against the training rows that reach it.
    reach = [np.arange(len(y))]
    for i in range(n):
        rows = reach[i]
        assert tree["n_samples"][i] == len(rows)
        assert tree["weighted_n_samples"][i] == float(len(rows))
        assert math.isclose(tree["impurity"][i], node_criterion(engine_cls, settings, y[rows]),
                            rel_tol=1e-9, abs_tol=1e-12)
        if tree["is_leaf"][i]:
            assert math.isnan(tree["split_score"][i]) and tree["fold_scores"][i] == []
            reach.append(None)
            continue
        folds = tree["fold_scores"][i]
        assert 1 <= len(folds) <= 4
        # The default aggregator is the mean.
        assert tree["split_score"][i] == sum(folds) / len(folds)
        goes_left = est.apply(x[rows]) < tree["children_right"][i]
        while len(reach) <= tree["children_right"][i]:
            reach.append(None)
        reach[i + 1] = rows[goes_left]
        reach[tree["children_right"][i]] = rows[~goes_left]


@pytest.mark.parametrize("engine_cls", ENGINE_CLASSES, ids=lambda c: c.__name__)
def test_from_tree_takes_the_plain_and_the_extended_dictionary(engine_cls):
    # One category against the rest, which the plain dictionary can say.
    est, x, _ = fitted(engine_cls, max_depth=4, categorical_split="one_vs_rest")
    tree = est.export_tree()
    again = engine_cls.from_tree(tree, categorical=[3])
    assert same_tree(again.export_tree(), tree)
    np.testing.assert_array_equal(again.predict(x), est.predict(x))
    # Without its statistics the tree predicts the same; its counts stand in for the weights.
    bare = engine_cls.from_tree(plain(tree), categorical=[3])
    np.testing.assert_array_equal(bare.predict(x), est.predict(x))
    exported = bare.export_tree()
    assert exported["weighted_n_samples"] == [float(c) for c in tree["n_samples"]]
    assert all(math.isnan(v) for v in exported["impurity"] + exported["split_score"])
    # zelk._zelk reads the extended dictionary too, and ignores the statistics.
    raw_cls = next(r for r, e in ENGINE_OF.items() if e is engine_cls)
    args = (tree, [3]) if raw_cls is _zelk.RawRegressor else (tree, tree["n_classes"], [3])
    assert same_tree(raw_cls.from_tree(*args).export_tree(), plain(tree))


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("engine_cls", ENGINE_CLASSES[:2], ids=lambda c: c.__name__)
def test_category_sets_split_as_exported_and_come_back_from_the_dictionary(engine_cls, mode):
    # Column 3's level 2 carries the signal; levels 2 and 4 together push it further.
    rng = np.random.default_rng(5)
    x = rng.normal(size=(600, 4))
    x[:, 3] = rng.integers(0, 8, size=600)
    signal = np.isin(x[:, 3], [2, 4]) * 2.0 + 0.3 * rng.normal(size=600)
    y = signal if engine_cls is _engine.Regressor else (signal > 1.0).astype(np.int64)
    settings = {} if engine_cls is _engine.Regressor else dict(n_classes=2)
    est = engine_cls(categorical=[3], mode=mode, **settings)
    est.fit(x, y)
    tree = est.export_tree()
    sets = [c for c, cat in zip(tree["categories"], tree["is_categorical"]) if cat]
    # The root sends {2, 4} to one side and the other levels to the other.
    assert sets[0] in ([2, 4], [0, 1, 3, 5, 6, 7])
    # Every categorical split's set is sorted and the rows it sends left are its members.
    leaves = est.apply(x)
    for i, (cat, members) in enumerate(zip(tree["is_categorical"], tree["categories"])):
        if not cat:
            assert members == []
            continue
        assert members == sorted(set(members))
        assert tree["category"][i] == (members[0] if len(members) == 1 else -1)
    again = engine_cls.from_tree(tree, categorical=[3])
    assert same_tree(again.export_tree(), tree)
    np.testing.assert_array_equal(again.apply(x), leaves)
    np.testing.assert_array_equal(again.predict(x), est.predict(x))


@pytest.mark.parametrize("categories, message", [
    ([[-1, 2]], "category -1 outside 0 .. 4294967294"),
    ([[]], "categorical split without categories"),
    ([[1, 4294967295]], "category 4294967295 outside"),
])
def test_from_tree_refuses_bad_category_sets(categories, message):
    tree = {"node_count": 3, "is_leaf": [False, True, True], "children_left": [1, -1, -1],
            "children_right": [2, -1, -1], "feature": [0, -1, -1],
            "is_categorical": [True, False, False], "lower": [0.0] * 3, "upper": [0.0] * 3,
            "category": [-1] * 3, "n_samples": [2, 1, 1], "value": [0.0, 1.0, 2.0],
            "categories": categories + [[], []]}
    with pytest.raises(ValueError, match=message):
        _engine.Regressor.from_tree(tree, categorical=[0])


@pytest.mark.parametrize("key, value, error, message", [
    ("impurity", lambda n: [0.5] * (n - 1), ValueError, 'list "impurity" has no entry for node'),
    ("split_score", lambda n: "0.5", TypeError, "Can't extract `str` to `Vec`"),
    ("weighted_n_samples", lambda n: [None] * n, TypeError, "must be real number"),
    ("fold_scores", lambda n: [[0.1]] * (n - 1) + [3], TypeError,
     "'int' object cannot be converted to 'Sequence'"),
])
def test_from_tree_refuses_malformed_statistics(key, value, error, message):
    est, _, _ = fitted(_engine.Regressor, max_depth=3)
    tree = est.export_tree()
    tree[key] = value(tree["node_count"])
    with pytest.raises(error, match=message):
        _engine.Regressor.from_tree(tree)


def test_from_tree_takes_the_class_count_from_the_dictionary_unless_given():
    est, x, _ = fitted(_engine.Classifier, max_depth=3)
    tree = est.export_tree()
    assert _engine.Classifier.from_tree(tree).predict_proba(x).shape == (len(x), 3)
    assert _engine.Classifier.from_tree(tree, n_classes=5).predict_proba(x).shape == (len(x), 5)
    del tree["n_classes"]
    with pytest.raises(ValueError, match='tree state missing key "n_classes"'):
        _engine.Classifier.from_tree(tree)


@pytest.mark.parametrize("engine_cls, bad, message", [
    (_engine.Regressor, np.nan, "non-finite value nan at row 5"),
    (_engine.Regressor, -np.inf, "non-finite value -inf at row 5"),
    (_engine.Classifier, -1, r"label -1 at row 5, outside 0 \.\. n_classes - 1"),
    (_engine.ObjectiveClassifier, 3, r"label 3 at row 5, outside 0 \.\. n_classes - 1"),
])
def test_fit_refuses_targets_that_growth_would_misread(engine_cls, bad, message):
    est, x, y = fitted(engine_cls, max_depth=3)
    before = est.export_tree()
    y = y.copy()
    y[5] = bad
    with pytest.raises(ValueError, match=message):
        est.fit(x, y)
    assert same_tree(est.export_tree(), before)
