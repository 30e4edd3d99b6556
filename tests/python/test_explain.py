"""SHAP values of fitted trees (local accuracy, brute-force Shapley values, threads, inputs),
to_shap against shap's TreeExplainer, and to_onnx against ONNX Runtime."""

import itertools
import math

import numpy as np
import pandas as pd
import polars as pl
import pytest
from sklearn.base import BaseEstimator
from sklearn.exceptions import NotFittedError

import zelk
from zelk import ZELKClassifier, ZELKRegressor, _engine

N_FEATURES = 5
CODE = 4  # the categorical column: codes 0 .. 4


def _data(seed, n=500):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, N_FEATURES))
    X[:, CODE] = rng.integers(0, 5, n)
    X[rng.random(X.shape) < 0.08] = np.nan
    filled = np.nan_to_num(X)
    y = 2 * filled[:, 0] + filled[:, 1] ** 2 + 3 * (filled[:, CODE] == 2) + rng.normal(0, 0.3, n)
    weights = rng.uniform(0.2, 3.0, n)
    return X, y, weights


def _labels(y):
    return np.digitize(y, np.quantile(y, [0.33, 0.66]))


KINDS = {
    "regressor": lambda **kw: ZELKRegressor(**kw),
    "classifier": lambda **kw: ZELKClassifier(**kw),
    "objective": lambda **kw: ZELKClassifier(objective="f1", average="macro", **kw),
}


def _fit(kind, seed=0, weighted=False, n=500, **settings):
    X, y, w = _data(seed, n)
    settings = dict(validation="candidates", categorical_features=[CODE], cv_folds=3, **settings)
    est = KINDS[kind](**settings)
    est.fit(X, y if kind == "regressor" else _labels(y), sample_weight=w if weighted else None)
    return est, X


def _output(est, X):
    return est.predict(X) if isinstance(est, ZELKRegressor) else est.predict_proba(X)


def _rule_kinds(tree):
    split = ~np.asarray(tree["is_leaf"])
    lower, upper = np.asarray(tree["lower"])[split], np.asarray(tree["upper"])[split]
    categorical = np.asarray(tree["is_categorical"])[split]
    numeric = ~categorical
    return {
        "category": bool(categorical.any()),
        "bounded": bool((numeric & np.isfinite(lower) & np.isfinite(upper)).any()),
        "one-sided": bool((numeric & (np.isfinite(lower) != np.isfinite(upper))).any()),
    }


def _with_tree(est, edit):
    """`est` with its tree replaced by `edit(export_tree())`, rebuilt through from_tree."""
    tree = est.export_tree()
    edit(tree)
    cls = type(est._native)
    if cls is _engine.Regressor:
        est._native = cls.from_tree(tree, categorical=est._categorical_indices())
    else:
        est._native = cls.from_tree(
            tree, n_classes=len(est.classes_), categorical=est._categorical_indices()
        )
    return est


def _odd_rules(tree):
    """Rules that fitting never makes: "not missing" only, a category test on a numeric
    column, an interval on the categorical column, and a category no code reaches."""
    splits = [i for i in range(tree["node_count"]) if not tree["is_leaf"][i]]
    assert len(splits) >= 4
    a, b, c, d = splits[1:5] if len(splits) >= 5 else splits[:4]
    tree["is_categorical"][a], tree["feature"][a] = False, 1
    tree["lower"][a], tree["upper"][a] = -math.inf, math.inf
    tree["is_categorical"][b], tree["feature"][b], tree["category"][b] = True, 0, 1
    tree["is_categorical"][c], tree["feature"][c] = False, CODE
    tree["lower"][c], tree["upper"][c] = 0.5, 3.5
    tree["is_categorical"][d], tree["feature"][d], tree["category"][d] = True, CODE, 7
    tree["categories"][b], tree["categories"][d] = [1], [7]


# ------------------------------------------------------------------ local accuracy


@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize(
    "split_style,mode",
    [("threshold", "strict"), ("bin", "strict"), ("bin", "fast"), ("threshold", "fast")],
)
@pytest.mark.parametrize("weighted", [False, True])
def test_values_add_up_to_the_prediction(kind, split_style, mode, weighted):
    est, X = _fit(kind, seed=1, weighted=weighted, split_style=split_style, mode=mode)
    kinds = _rule_kinds(est.export_tree())
    assert kinds["category"] and (kinds["bounded"] if split_style == "bin" else kinds["one-sided"])
    values = est.shap_values(X)
    expected = est.expected_value_
    output = _output(est, X)
    if kind == "regressor":
        assert values.shape == X.shape and isinstance(expected, float)
    else:
        assert values.shape == X.shape + (3,) and expected.shape == (3,)
    np.testing.assert_allclose(values.sum(axis=1) + expected, output, rtol=0, atol=1e-12)
    # Every row leans on some feature, and a feature the tree never reads gets nothing.
    assert np.abs(values).sum() > 0
    unused = sorted(set(range(N_FEATURES)) - set(np.asarray(est.export_tree()["feature"])))
    assert not values[:, unused].any()


def test_expected_value_is_the_cover_weighted_mean():
    X, y, w = _data(2)
    est = ZELKRegressor(validation="candidates", categorical_features=[CODE]).fit(X, y, w)
    tree = est.export_tree()
    leaves = np.asarray(tree["is_leaf"])
    cover = np.asarray(tree["weighted_n_samples"])[leaves]
    mean = (cover * np.asarray(tree["value"])[leaves]).sum() / cover.sum()
    assert est.expected_value_ == pytest.approx(mean, rel=1e-12)
    # Weights change the cover, so they change the expectation.
    unweighted = ZELKRegressor(validation="candidates", categorical_features=[CODE]).fit(X, y)
    assert unweighted.expected_value_ == pytest.approx(np.mean(y), abs=1e-9)


# -------------------------------------------------------------- brute-force Shapley


def _code(x):
    if not math.isfinite(x) or not x >= 0.0:
        return None
    code = math.floor(x + 0.5) if x - math.floor(x) != 0.5 else math.floor(x) + 1
    return code if code < 2**32 - 1 else None


def _goes_left(tree, i, row, is_categorical):
    f = tree["feature"][i]
    x = row[f]
    if tree["is_categorical"][i]:
        codes = tree.get("categories", [[]] * (i + 1))[i] or [tree["category"][i]]
        return bool(is_categorical[f]) and _code(x) in codes
    if is_categorical[f]:
        return False
    return math.isfinite(x) and tree["lower"][i] <= x < tree["upper"][i]


def _cover(tree, i):
    if tree["is_leaf"][i]:
        return tree["weighted_n_samples"][i]
    return _cover(tree, tree["children_left"][i]) + _cover(tree, tree["children_right"][i])


def _value(tree, i, row, known, is_categorical, outputs):
    """The path-dependent value function: the row's way where the feature is known, both
    branches by cover where it is not."""
    if tree["is_leaf"][i]:
        return outputs[i]
    left, right = tree["children_left"][i], tree["children_right"][i]
    if tree["feature"][i] in known:
        nxt = left if _goes_left(tree, i, row, is_categorical) else right
        return _value(tree, nxt, row, known, is_categorical, outputs)
    total = _cover(tree, i)
    return _cover(tree, left) / total * _value(
        tree, left, row, known, is_categorical, outputs
    ) + _cover(tree, right) / total * _value(tree, right, row, known, is_categorical, outputs)


def _brute_force(est, row):
    tree = est.export_tree()
    if "proba" in tree:
        outputs = [np.asarray(p, dtype=float) for p in tree["proba"]]
    else:
        outputs = [np.asarray([v]) for v in tree["value"]]
    m = row.shape[0]
    phi = np.zeros((m, max(len(o) for o in outputs)))
    for f in range(m):
        others = [g for g in range(m) if g != f]
        for size in range(m):
            weight = math.factorial(size) * math.factorial(m - size - 1) / math.factorial(m)
            for subset in itertools.combinations(others, size):
                known = set(subset)
                gain = _value(tree, 0, row, known | {f}, est.is_categorical_, outputs) - _value(
                    tree, 0, row, known, est.is_categorical_, outputs
                )
                phi[f] += weight * gain
    return phi


@pytest.mark.parametrize("kind", ["regressor", "classifier"])
@pytest.mark.parametrize("split_style", ["threshold", "bin"])
def test_values_are_the_shapley_values_of_the_path_dependent_game(kind, split_style):
    X, y, w = _data(3)
    X = np.column_stack([X, np.random.default_rng(3).normal(size=len(X))])  # 64 subsets
    y = y + 3 * X[:, 5]
    est = KINDS[kind](
        validation="candidates",
        categorical_features=[CODE],
        cv_folds=3,
        split_style=split_style,
        max_depth=5,
    )
    est.fit(X, y if kind == "regressor" else _labels(y), sample_weight=w)
    assert 5 in est.export_tree()["feature"]
    values = est.shap_values(X[:12])
    for r in range(12):
        want = _brute_force(est, X[r])
        np.testing.assert_allclose(values[r].reshape(want.shape), want, rtol=0, atol=1e-12)


def test_odd_rules_follow_predict():
    est, X = _fit("regressor", seed=4, split_style="bin")
    est = _with_tree(est, _odd_rules)
    values = est.shap_values(X)
    np.testing.assert_allclose(
        values.sum(axis=1) + est.expected_value_, est.predict(X), rtol=0, atol=1e-12
    )
    for r in range(5):
        np.testing.assert_allclose(values[r], _brute_force(est, X[r])[:, 0], rtol=0, atol=1e-12)


# --------------------------------------------------------------- threads and inputs


@pytest.mark.parametrize("kind", ["regressor", "classifier"])
def test_same_values_at_any_thread_count_and_from_any_input(kind):
    est, X = _fit(kind, seed=5, split_style="bin", n=1500)
    one = est.set_params(n_jobs=1).shap_values(X)
    two = est.set_params(n_jobs=2).shap_values(X)
    assert one.tobytes() == two.tobytes()
    names = [f"c{j}" for j in range(N_FEATURES)]
    frame_est, _ = _fit(kind, seed=5, split_style="bin", n=1500)
    X_train, y, _ = _data(5, 1500)
    frame_est.fit(pd.DataFrame(X_train, columns=names), y if kind == "regressor" else _labels(y))
    from_pandas = frame_est.shap_values(pd.DataFrame(X, columns=names))
    from_polars = frame_est.shap_values(pl.DataFrame(X, schema=names))
    assert from_pandas.tobytes() == one.tobytes() == from_polars.tobytes()


def test_shap_values_need_a_fitted_estimator_and_the_training_columns():
    with pytest.raises(NotFittedError):
        ZELKRegressor().shap_values(np.zeros((2, 3)))
    with pytest.raises(NotFittedError):
        ZELKClassifier().expected_value_
    est, X = _fit("regressor")
    with pytest.raises(ValueError, match="features"):
        est.shap_values(X[:, :3])


def test_engine_method_takes_rows_and_a_thread_count():
    assert _engine.Classifier.shap_values.__text_signature__ == "($self, x, n_threads=1)"
    est = _engine.Regressor(categorical=[CODE])
    with pytest.raises(ValueError, match="not fitted"):
        est.shap_values(np.zeros((2, N_FEATURES)))
    X, y, _ = _data(17)
    est.fit(X, y)
    values, expected = est.shap_values(X, n_threads=2)
    assert values.shape == X.shape and expected.shape == (1,)
    with pytest.raises(ValueError, match="columns but the tree needs"):
        est.shap_values(X[:, :1])
    with pytest.raises(TypeError):
        est.shap_values(X, 1, 2)


def test_a_single_leaf_explains_nothing():
    X, _, _ = _data(6)
    est = ZELKRegressor().fit(X, np.full(len(X), 4.0))
    assert est.get_n_leaves() == 1
    assert not est.shap_values(X).any() and est.expected_value_ == 4.0


# ------------------------------------------------------------------ shap's explainer


@pytest.fixture(scope="module")
def shap():
    return pytest.importorskip("shap", reason="shap is not installed (pip install 'zelk[explain]')")


ESTIMATORS = [
    ("regressor", "threshold", False, None),
    ("regressor", "bin", True, None),
    ("classifier", "bin", True, None),
    ("objective", "threshold", False, None),
    ("regressor", "bin", False, _odd_rules),
    ("classifier", "bin", True, _odd_rules),
]


@pytest.mark.parametrize("kind,split_style,weighted,edit", ESTIMATORS)
def test_shap_tree_explainer_over_to_shap_gives_the_same_values(
    shap, kind, split_style, weighted, edit
):
    # Each bounded interval copies its right subtree in shap's form, so the trees stay small.
    est, X = _fit(kind, seed=7, weighted=weighted, split_style=split_style, max_depth=6)
    if edit is not None:
        est = _with_tree(est, edit)
    X = _awkward_codes(X, 7, infinities=False)
    explainer = shap.TreeExplainer(zelk.to_shap(est))
    theirs = explainer.shap_values(X)
    ours = est.shap_values(X)
    np.testing.assert_allclose(theirs, ours, rtol=0, atol=1e-12)
    np.testing.assert_allclose(
        np.ravel(explainer.expected_value), np.ravel(est.expected_value_), rtol=0, atol=1e-12
    )


def test_to_shap_covers_add_up_and_keep_subtree_copies_exact():
    est, _ = _fit("regressor", seed=8, weighted=True, split_style="bin")
    model = zelk.to_shap(est)
    assert set(model) >= {"trees", "base_offset", "tree_output"}
    (tree,) = model["trees"]
    left, right, w = tree["children_left"], tree["children_right"], tree["node_sample_weight"]
    split = left >= 0
    np.testing.assert_allclose(w[split], w[left[split]] + w[right[split]], rtol=1e-14)
    # A missing value never takes a test's left branch unless that branch is zelk's right.
    assert ((tree["children_default"] == left) | (tree["children_default"] == right))[split].all()
    # Bounded intervals need two tests: the expanded tree has more splits than zelk's.
    zelk_splits = int(np.sum(~np.asarray(est.export_tree()["is_leaf"])))
    assert split.sum() > zelk_splits


def test_set_splits_become_one_interval_per_run_of_codes():
    from zelk._shap import _chain, left_region

    tree = {
        "feature": [CODE],
        "is_categorical": [True],
        "category": [-1],
        "categories": [[0, 1, 3, 4, 9]],
        "lower": [math.nan],
        "upper": [math.nan],
    }
    region = left_region(tree, 0, np.eye(N_FEATURES, dtype=bool)[CODE])
    assert region == [(0.0, 1.5), (2.5, 4.5), (8.5, 9.5)]
    cuts, sides = _chain(region)
    assert len(cuts) == 6 and sides == [1, 0, 1, 0, 1, 0, 1]
    inside = lambda x: next(s for t, s in zip(cuts + [math.inf], sides) if x <= t) == 0  # noqa
    for x, want in [
        (-0.0, True),
        (-0.2, False),
        (1.49, True),
        (1.5, False),
        (2.5, True),
        (4.4999, True),
        (4.5, False),
        (9.4, True),
        (9.5, False),
    ]:
        assert inside(x) == want, x


# ---------------------------------------------------- category sets (dictionaries only)


class _TreeOnly(BaseEstimator):
    """An estimator-like holder of a tree dictionary, for rule kinds that from_tree cannot
    load yet: a split sending a set of categories left ("categories", "category" -1)."""

    def __init__(self, tree, n_features, categorical):
        self._tree = tree
        self.n_features_in_ = n_features
        self.is_categorical_ = np.isin(np.arange(n_features), categorical)

    def fit(self):  # pragma: no cover - only what check_is_fitted looks for
        raise NotImplementedError

    def __sklearn_is_fitted__(self):
        return True

    def export_tree(self):
        return self._tree

    def predict(self, X):
        tree, out = self._tree, np.empty(len(X))
        for r, row in enumerate(X):
            i = 0
            while not tree["is_leaf"][i]:
                left = _goes_left(tree, i, row, self.is_categorical_)
                i = tree["children_left"][i] if left else tree["children_right"][i]
            out[r] = tree["value"][i]
        return out


def _set_tree():
    """Root: code in {0, 1, 3} of column 1 goes left; its left child splits x0 < 0.5, its
    right child tests the single category 4 of column 1."""
    nan, inf = math.nan, math.inf
    return {
        "node_count": 7,
        "is_leaf": [False, False, True, True, False, True, True],
        "children_left": [1, 2, -1, -1, 5, -1, -1],
        "children_right": [4, 3, -1, -1, 6, -1, -1],
        "feature": [1, 0, -1, -1, 1, -1, -1],
        "is_categorical": [True, False, False, False, True, False, False],
        "lower": [nan, -inf, nan, nan, nan, nan, nan],
        "upper": [nan, 0.5, nan, nan, nan, nan, nan],
        "category": [-1, -1, -1, -1, 4, -1, -1],
        "categories": [[0, 1, 3], [], [], [], [4], [], []],
        "n_samples": [40, 25, 10, 15, 15, 5, 10],
        "value": [nan, nan, 1.0, -2.0, nan, 7.0, 0.5],
        "weighted_n_samples": [45.0, 30.0, 12.0, 18.0, 15.0, 5.0, 10.0],
    }


def _set_rows(seed):
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.normal(0.5, 1, 300), rng.integers(0, 6, 300).astype(float)])
    X[::4, 1] += rng.choice([-0.5, 0.5, 0.49, -0.51, -3.0], len(X[::4]))
    X[::7] = np.nan
    return X


def _brute_force_tree(holder, row):
    tree = holder._tree
    outputs = [np.asarray([v]) for v in tree["value"]]
    m = len(row)
    phi = np.zeros(m)
    for f in range(m):
        others = [g for g in range(m) if g != f]
        for size in range(m):
            weight = math.factorial(size) * math.factorial(m - size - 1) / math.factorial(m)
            for subset in itertools.combinations(others, size):
                known = set(subset)
                phi[f] += weight * (
                    _value(tree, 0, row, known | {f}, holder.is_categorical_, outputs)[0]
                    - _value(tree, 0, row, known, holder.is_categorical_, outputs)[0]
                )
    return phi


def test_set_splits_in_shap_form_keep_the_shapley_values(shap):
    holder = _TreeOnly(_set_tree(), 2, [1])
    X = _set_rows(15)
    theirs = shap.TreeExplainer(zelk.to_shap(holder)).shap_values(X)
    for r in range(40):
        np.testing.assert_allclose(theirs[r], _brute_force_tree(holder, X[r]), atol=1e-12)


def test_set_splits_run_as_set_membership_in_onnx(ort):
    holder = _TreeOnly(_set_tree(), 2, [1])
    model = zelk.to_onnx(holder)
    (ensemble,) = [n for n in model.graph.node if n.op_type == "TreeEnsemble"]
    from onnx import numpy_helper

    modes = numpy_helper.to_array(next(a for a in ensemble.attribute if a.name == "nodes_modes").t)
    assert 6 in modes  # BRANCH_MEMBER
    X = _set_rows(16)
    (out,) = _run(ort, model, X)
    np.testing.assert_array_equal(out, holder.predict(X))


# --------------------------------------------------------------------------- ONNX


@pytest.fixture(scope="module")
def ort():
    pytest.importorskip("onnx", reason="onnx is not installed (pip install 'zelk[onnx]')")
    return pytest.importorskip("onnxruntime", reason="onnxruntime is not installed")


def _run(ort, model, X):
    session = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    return session.run(None, {"X": X})


def _awkward_codes(X, seed, infinities=True):
    """Codes as predict reads them too: non-integers round half away from zero, negative
    values (and infinities, which predict refuses) are missing."""
    rng = np.random.default_rng(seed)
    X = X.copy()
    shifts = [-0.5, -0.49, 0.49, 0.5, -7.0] + ([np.inf] if infinities else [])
    X[::3, CODE] += rng.choice(shifts, len(X[::3]))
    if infinities:
        X[::11, 0] = -np.inf
        X[::13, 1] = np.inf
    return X


@pytest.mark.parametrize("kind,split_style,weighted,edit", ESTIMATORS)
def test_onnx_runtime_over_to_onnx_predicts_as_predict(ort, kind, split_style, weighted, edit):
    est, X = _fit(kind, seed=9, weighted=weighted, split_style=split_style)
    if edit is not None:
        est = _with_tree(est, edit)
    X = _awkward_codes(X, 9)
    outputs = _run(ort, zelk.to_onnx(est), X)
    # predict refuses infinities, but reads them as missing everywhere else.
    finite = np.where(np.isinf(X), np.nan, X)
    if kind == "regressor":
        assert outputs[0].dtype == np.float64
        np.testing.assert_array_equal(outputs[0], est.predict(finite))
    else:
        np.testing.assert_array_equal(outputs[0], est.predict(finite))
        np.testing.assert_array_equal(outputs[1], est.predict_proba(finite))


@pytest.mark.parametrize(
    "labels", [["no", "yes", "maybe"], [-3, 10, 7], [-1.0, 0.0, 2.0], [False, True]]
)
def test_onnx_labels_keep_their_type(ort, labels):
    X, y, _ = _data(10)
    index = _labels(y) if len(labels) == 3 else (y > np.median(y)).astype(int)
    target = np.asarray(labels)[index]
    est = ZELKClassifier(categorical_features=[CODE]).fit(X, target)
    label, proba = _run(ort, zelk.to_onnx(est), X)
    np.testing.assert_array_equal(label, est.predict(X))
    np.testing.assert_array_equal(proba, est.predict_proba(X))


def test_float32_input_answers_as_predict_on_the_float32_values(ort):
    est, X = _fit("classifier", seed=11, split_style="bin")
    X32 = X.astype(np.float32)
    label, proba = _run(ort, zelk.to_onnx(est, dtype=np.float32), X32)
    np.testing.assert_array_equal(label, est.predict(X32.astype(np.float64)))
    np.testing.assert_array_equal(proba, est.predict_proba(X32.astype(np.float64)))
    with pytest.raises(ValueError, match="dtype"):
        zelk.to_onnx(est, dtype=np.int64)


def test_onnx_of_a_single_leaf_and_of_an_intervals_only_tree(ort):
    X, y, _ = _data(12)
    leaf = ZELKRegressor().fit(X, np.full(len(X), 2.5))
    (out,) = _run(ort, zelk.to_onnx(leaf), X)
    assert (out == 2.5).all()
    est = ZELKRegressor(split_style="bin", validation="candidates").fit(X[:, :2], y)
    model = zelk.to_onnx(est)
    (out,) = _run(ort, model, X[:, :2])
    np.testing.assert_array_equal(out, est.predict(X[:, :2]))
    # One tree, no node shared and no subtree copied: as many leaves as zelk's tree.
    (ensemble,) = [n for n in model.graph.node if n.op_type == "TreeEnsemble"]
    weights = next(a for a in ensemble.attribute if a.name == "leaf_weights")
    assert weights.t.dims == [est.get_n_leaves()]


def test_cli_writes_the_onnx_model(ort, tmp_path):
    from zelk._cli import main

    rng = np.random.default_rng(13)
    path = tmp_path / "data.csv"
    rows = ["a,colour,y"]
    for _ in range(200):
        a, colour = rng.normal(), rng.choice(["red", "blue"])
        rows.append(f"{a:.4f},{colour},{2 * a + (colour == 'red') + rng.normal(0, 0.1):.4f}")
    path.write_text("\n".join(rows) + "\n")
    target = tmp_path / "tree.onnx"
    assert main(["fit", str(path), "--target", "y", "--onnx", str(target)]) == 0
    import onnx

    model = onnx.load(str(target))
    X = np.array([[0.3, 0.0], [0.3, 1.0], [-2.0, np.nan]])
    (out,) = _run(ort, model, X)
    assert np.isfinite(out).all() and out[0] != out[1]


# --------------------------------------------------------------------------- plot


def test_plot_contributions_draws_the_largest_values(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    est, X = _fit("classifier", seed=14, split_style="bin")
    ax = zelk.plot_contributions(est, X[0], max_features=3, class_index=2)
    values = est.shap_values(X[:1])[0, :, 2]
    nonzero = values[values != 0]
    assert len(nonzero) > 3
    bars = [p.get_width() for p in ax.patches]
    assert len(bars) == 4  # the three largest and the rest in one bar
    np.testing.assert_allclose(bars[:3], sorted(nonzero, key=abs, reverse=True)[:3])
    np.testing.assert_allclose(sum(bars), values.sum())
    ax.figure.savefig(tmp_path / "row.png")
