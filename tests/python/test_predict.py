"""predict / predict_proba: input checks, row coding, result arrays."""

import math

import numpy as np
import pytest

from zelk import _zelk as native

from conftest import (
    ALL_CLASSES,
    CLASSIFIERS,
    classification_data,
    classifier,
    data_for,
    make,
    regression_data,
    regressor,
)

NAN = math.nan
INF = math.inf


def split(feature, left, right, lower=-INF, upper=INF, code=None):
    return dict(leaf=False, feature=feature, left=left, right=right, lower=lower, upper=upper,
                code=code)


def leaf(value=0.0, cls=0, proba=(), n=1):
    return dict(leaf=True, value=value, cls=cls, proba=list(proba), n=n)


def tree_state(nodes, n_classes=None):
    d = {
        "node_count": len(nodes),
        "is_leaf": [n["leaf"] for n in nodes],
        "children_left": [-1 if n["leaf"] else n["left"] for n in nodes],
        "children_right": [-1 if n["leaf"] else n["right"] for n in nodes],
        "feature": [-1 if n["leaf"] else n["feature"] for n in nodes],
        "is_categorical": [not n["leaf"] and n["code"] is not None for n in nodes],
        "lower": [NAN if n["leaf"] or n["code"] is not None else n["lower"] for n in nodes],
        "upper": [NAN if n["leaf"] or n["code"] is not None else n["upper"] for n in nodes],
        "category": [n["code"] if not n["leaf"] and n["code"] is not None else -1
                     for n in nodes],
        "n_samples": [n["n"] if n["leaf"] else 0 for n in nodes],
    }
    if n_classes is None:
        d["value"] = [n["value"] if n["leaf"] else NAN for n in nodes]
    else:
        d["predicted_class"] = [n["cls"] if n["leaf"] else -1 for n in nodes]
        d["proba"] = [n["proba"] if n["leaf"] else [] for n in nodes]
        d["n_classes"] = n_classes
    return d


def category_regressor(code=3, categorical=(0,)):
    """Category rule on column 0: code `code` -> 1.0, anything else -> 2.0."""
    state = tree_state([split(0, 1, 2, code=code), leaf(1.0), leaf(2.0)])
    return native.RawRegressor.from_tree(state, list(categorical))


def fitted(cls, **kwargs):
    x, y = data_for(cls, n=150)
    est = make(cls, max_depth=4, **kwargs)
    est.fit(x, y)
    return est, x


def prediction_methods(cls):
    return ["predict"] if cls is native.RawRegressor else ["predict", "predict_proba"]


@pytest.mark.parametrize("x", [
    [[0.0, 1.0]],
    np.zeros(3),
    np.zeros((2, 2, 2)),
    np.zeros((2, 3), dtype=np.float32),
    np.zeros((2, 3), dtype=np.int64),
    np.zeros((2, 3), dtype=">f8"),
], ids=["list", "1d", "3d", "float32", "int64", "big_endian"])
def test_bad_x_is_a_type_error_even_on_an_unfitted_estimator(estimator_class, x):
    for est in (make(estimator_class), fitted(estimator_class)[0]):
        for method in prediction_methods(estimator_class):
            with pytest.raises(TypeError, match="^argument 'x': "):
                getattr(est, method)(x)


def test_unfitted_estimators_refuse_to_predict(estimator_class):
    est = make(estimator_class)
    for method in prediction_methods(estimator_class):
        with pytest.raises(ValueError, match="^estimator is not fitted$"):
            getattr(est, method)(np.zeros((2, 2)))


def test_unfitted_and_too_narrow_are_reported_before_a_huge_result_is_allocated(estimator_class):
    huge = np.broadcast_to(np.zeros((1, 2)), (2**40, 2))  # no memory behind the rows
    for method in prediction_methods(estimator_class):
        with pytest.raises(ValueError, match="^estimator is not fitted$"):
            getattr(make(estimator_class), method)(huge)
    state = tree_state([split(4, 1, 2, upper=0.5), leaf(1.0), leaf(2.0)])
    est = native.RawRegressor.from_tree(state, [])
    with pytest.raises(ValueError, match="^x has 2 columns but the tree needs at least 5$"):
        est.predict(huge)


@pytest.mark.parametrize("n_classes", [2**61, 2**63, 2**64 - 1])
def test_probability_tables_too_large_to_index_are_memory_errors(classifier_class, n_classes):
    x, y = classification_data(n=40)
    est = make(classifier_class, max_depth=1)
    est.fit(x, y)
    imported = classifier_class.from_tree(est.export_tree(), n_classes, [])
    np.testing.assert_array_equal(imported.predict(x), est.predict(x))
    with pytest.raises(MemoryError):
        imported.predict_proba(x)


def test_too_few_columns_are_rejected_before_reading():
    state = tree_state([split(4, 1, 2, upper=0.5), leaf(1.0), leaf(2.0)])
    est = native.RawRegressor.from_tree(state, [])
    with pytest.raises(ValueError) as info:
        est.predict(np.zeros((3, 2)))
    assert str(info.value) == "x has 2 columns but the tree needs at least 5"
    np.testing.assert_array_equal(est.predict(np.array([[0, 0, 0, 0, 0.2]])), [1.0])
    cls_state = tree_state([split(2, 1, 2, code=1), leaf(cls=0, proba=[1.0, 0.0]),
                            leaf(cls=1, proba=[0.0, 1.0])], n_classes=2)
    clf = native.RawClassifier.from_tree(cls_state, 2, [2])
    for method in ("predict", "predict_proba"):
        with pytest.raises(ValueError, match="^x has 0 columns but the tree needs at least 3$"):
            getattr(clf, method)(np.zeros((1, 0)))


def test_empty_inputs_give_empty_results(estimator_class):
    est, x = fitted(estimator_class)
    empty = np.zeros((0, x.shape[1]))
    pred = est.predict(empty)
    assert pred.shape == (0,)
    assert pred.dtype == (np.float64 if estimator_class is native.RawRegressor else np.int64)
    if estimator_class is not native.RawRegressor:
        proba = est.predict_proba(empty)
        assert proba.shape == (0, 3) and proba.dtype == np.float64


def test_single_leaf_predicts_for_any_number_of_columns(estimator_class):
    x, y = data_for(estimator_class, n=30)
    est = make(estimator_class, max_depth=0)
    est.fit(x, y)
    expected = est.predict(x[:1])[0]
    for columns in (0, 1, 9):
        pred = est.predict(np.ones((4, columns)))
        assert pred.tolist() == [expected] * 4


def test_proba_width_follows_n_classes():
    state = tree_state([leaf(cls=1, proba=[0.25, 0.75])], n_classes=0)
    zero = native.RawClassifier.from_tree(state, 0, [])
    np.testing.assert_array_equal(zero.predict_proba(np.zeros((2, 1))), [[0.25], [0.25]])
    wide = native.RawObjectiveClassifier.from_tree(state, 4, [])
    np.testing.assert_array_equal(wide.predict_proba(np.zeros((1, 1))), [[0.25, 0.75, 0, 0]])
    assert wide.predict(np.zeros((1, 1))).tolist() == [1]
    est = classifier(n_classes=0, max_depth=0)
    est.fit(np.zeros((3, 1)), np.array([0, 1, 2], dtype=np.int64))
    assert est.predict_proba(np.zeros((2, 1))).shape == (2, 1)


def test_predicted_class_is_the_leaf_class_not_the_argmax():
    state = tree_state([split(0, 1, 2, upper=0.0), leaf(cls=2, proba=[0.9, 0.1, 0.0]),
                        leaf(cls=0, proba=[0.0, 0.0, 1.0])], n_classes=3)
    est = native.RawClassifier.from_tree(state, 3, [])
    x = np.array([[-1.0], [1.0]])
    assert est.predict(x).tolist() == [2, 0]
    np.testing.assert_array_equal(est.predict_proba(x), [[0.9, 0.1, 0.0], [0.0, 0.0, 1.0]])


def test_extra_columns_do_not_change_predictions(estimator_class):
    est, x = fitted(estimator_class)
    wider = np.hstack([x, np.random.default_rng(2).normal(size=(len(x), 3))])
    for method in prediction_methods(estimator_class):
        np.testing.assert_array_equal(getattr(est, method)(wider), getattr(est, method)(x))


@pytest.mark.parametrize("value,expected", [
    (3.0, 1.0), (2.6, 1.0), (3.49, 1.0), (2.5, 1.0), (3.5, 2.0), (2.4, 2.0),
    (-3.0, 2.0), (NAN, 2.0), (INF, 2.0), (-INF, 2.0),
])
def test_categorical_query_values_are_coded(value, expected):
    est = category_regressor(code=3)
    assert est.predict(np.array([[value]])).tolist() == [expected]


def test_missing_code_never_routes_left_even_against_a_rule_on_it():
    est = category_regressor(code=4294967295)
    # NaN and negatives are missing; huge values are capped at the missing code.
    x = np.array([[NAN], [-1.0], [4294967295.0], [1e20], [4294967294.0]])
    assert est.predict(x).tolist() == [2.0] * 5
    top = category_regressor(code=4294967294)
    assert top.predict(np.array([[4294967294.0], [4294967294.4]])).tolist() == [1.0, 1.0]


def test_categorical_list_decides_how_a_column_is_read():
    as_number = category_regressor(code=3, categorical=())
    # A category rule never matches a numeric cell.
    assert as_number.predict(np.array([[3.0]])).tolist() == [2.0]
    interval = native.RawRegressor.from_tree(
        tree_state([split(0, 1, 2, lower=0.0, upper=1.0), leaf(1.0), leaf(2.0)]), [0])
    # An interval rule never matches a category cell.
    assert interval.predict(np.array([[0.5]])).tolist() == [2.0]


def test_interval_rules_are_closed_below_and_open_above():
    est = native.RawRegressor.from_tree(
        tree_state([split(1, 1, 2, lower=0.0, upper=1.0), leaf(1.0), leaf(2.0)]), [])
    x = np.array([[9, 0.0], [9, 0.999], [9, 1.0], [9, -1e-300], [9, NAN], [9, INF]])
    assert est.predict(x).tolist() == [1.0, 1.0, 2.0, 2.0, 2.0, 2.0]


@pytest.mark.parametrize("layout", ["fortran", "strided", "negative", "readonly", "unaligned",
                                    "broadcast"])
def test_any_layout_predicts_like_a_contiguous_copy(estimator_class, layout):
    est, x = fitted(estimator_class, categorical=[1])
    n, m = x.shape
    if layout == "fortran":
        other = np.asfortranarray(x)
    elif layout == "strided":
        wide = np.zeros((3 * n, 2 * m))
        wide[::3, ::2] = x
        other = wide[::3, ::2]
    elif layout == "negative":
        other = x[::-1, ::-1].copy()[::-1, ::-1]
    elif layout == "readonly":
        other = x.copy()
        other.setflags(write=False)
    elif layout == "unaligned":
        raw = np.zeros(x.size * 8 + 3, dtype=np.uint8)
        other = np.frombuffer(raw.data, dtype=np.float64, count=x.size, offset=3).reshape(n, m)
        other[...] = x
    else:
        other = np.broadcast_to(x[:1], (n, m))
        x = np.repeat(x[:1], n, axis=0)
    for method in prediction_methods(estimator_class):
        np.testing.assert_array_equal(getattr(est, method)(other), getattr(est, method)(x))


def test_results_are_fresh_owned_writeable_arrays(estimator_class):
    est, x = fitted(estimator_class)
    results = [getattr(est, m)(x) for m in prediction_methods(estimator_class)]
    again = [getattr(est, m)(x) for m in prediction_methods(estimator_class)]
    for result, other in zip(results, again):
        assert result.flags.owndata and result.flags.writeable and result.flags.c_contiguous
        assert result.base is None
        assert not np.shares_memory(result, x) and not np.shares_memory(result, other)
        result[...] = 0
    for method, other in zip(prediction_methods(estimator_class), again):
        np.testing.assert_array_equal(getattr(est, method)(x), other)


def test_predictions_match_a_direct_walk_of_the_exported_tree(estimator_class):
    est, x = fitted(estimator_class, categorical=[2])
    x = np.vstack([x, np.random.default_rng(9).normal(size=(50, x.shape[1])) * 3])
    x[::7, 2] = np.round(x[::7, 2])
    tree = est.export_tree()
    expected = []
    for row in x:
        i = 0
        while not tree["is_leaf"][i]:
            v = row[tree["feature"][i]]
            if tree["is_categorical"][i]:
                code = 4294967295 if not (np.isfinite(v) and v >= 0) else min(
                    int(math.floor(v + 0.5)), 4294967295)
                left = code == tree["category"][i]
            else:
                left = np.isfinite(v) and tree["lower"][i] <= v < tree["upper"][i]
            i = tree["children_left"][i] if left else tree["children_right"][i]
        expected.append(tree["value"][i] if estimator_class is native.RawRegressor
                        else tree["predicted_class"][i])
    assert est.predict(x).tolist() == expected


MISSING_CODE = 4294967295


def reference_code(v):
    """Category code by the documented rule: round halves away from zero, cap, else missing."""
    if not (math.isfinite(v) and v >= 0):
        return MISSING_CODE
    whole = math.floor(v)
    code = int(whole) + (1 if v - whole >= 0.5 else 0)  # v - floor(v) is exact
    return min(code, MISSING_CODE)


def reference_leaf(nodes, categorical, row):
    """The leaf index that `row` reaches, walking the node dictionaries one rule at a time."""
    i = 0
    while not nodes[i]["leaf"]:
        node = nodes[i]
        v = float(row[node["feature"]])
        if node["code"] is not None:
            code = node["code"] % 2**32  # the import keeps the low 32 bits
            left = (node["feature"] in categorical and code != MISSING_CODE
                    and reference_code(v) == code)
        else:
            left = (node["feature"] not in categorical and math.isfinite(v)
                    and node["lower"] <= v < node["upper"])
        i = node["left"] if left else node["right"]
    return i


def random_tree(rng, n_features, n_classes, max_depth):
    """Random nodes in a shuffled index order: ragged depths, interval rules with open,
    NaN and infinite bounds, category rules on half-integer-prone codes and the missing
    code, and rules that disagree with the column kind."""
    nodes = []

    def new_node():
        nodes.append(None)
        return len(nodes) - 1

    root = new_node()
    pending = [(root, 0)]
    while pending:
        index, depth = pending.pop()
        if depth >= max_depth or (depth > 1 and rng.random() < 0.2):
            proba = rng.dirichlet(np.ones(n_classes)).tolist() if n_classes else []
            nodes[index] = leaf(value=float(rng.normal()), cls=int(rng.integers(0, 5)),
                                proba=proba[:int(rng.integers(0, n_classes + 1))])
            continue
        feature = int(rng.integers(0, n_features))
        kind = rng.random()
        if kind < 0.3:
            code = int(rng.choice([0, 1, 2, 3, MISSING_CODE, MISSING_CODE - 1, -1]))
            rule = dict(code=code)
        else:
            lo, hi = np.sort(rng.normal(size=2))
            lo = float(rng.choice([lo, -INF, NAN, INF], p=[0.6, 0.2, 0.1, 0.1]))
            hi = float(rng.choice([hi, INF, NAN, -INF], p=[0.6, 0.2, 0.1, 0.1]))
            rule = dict(lower=lo, upper=hi)
        left, right = new_node(), new_node()
        nodes[index] = split(feature, left, right, **rule)
        pending += [(right, depth + 1), (left, depth + 1)]
    # Renumber so that children do not simply follow their parents.
    order = [0] + (rng.permutation(len(nodes) - 1) + 1).tolist()
    position = {old: new for new, old in enumerate(order)}
    renumbered = []
    for old in order:
        node = dict(nodes[old])
        if not node["leaf"]:
            node["left"], node["right"] = position[node["left"]], position[node["right"]]
        renumbered.append(node)
    return renumbered


def random_queries(rng, n, m):
    x = rng.normal(size=(n, m)) * 2
    pick = rng.random(size=(n, m))
    x[pick < 0.1] = np.round(x[pick < 0.1])
    x[(pick >= 0.1) & (pick < 0.15)] = np.round(x[(pick >= 0.1) & (pick < 0.15)]) + 0.5
    specials = [NAN, INF, -INF, -0.0, 4294967294.0, 4294967295.0, 1e300, -1e-300,
                0.49999999999999994, 2.5, 3.5]
    mask = pick > 0.93
    x[mask] = rng.choice(specials, size=int(mask.sum()))
    return x


@pytest.mark.parametrize("seed", range(6))
def test_flat_walk_agrees_with_a_rule_by_rule_walk_on_random_trees(estimator_class, seed):
    rng = np.random.default_rng(seed)
    m = 5
    categorical = sorted({int(j) for j in rng.integers(0, m, size=2)})
    n_classes = None if estimator_class is native.RawRegressor else int(rng.integers(1, 4))
    nodes = random_tree(rng, m, n_classes or 0, max_depth=int(rng.integers(3, 14)))
    state = tree_state(nodes, n_classes)
    if n_classes is None:
        est = estimator_class.from_tree(state, categorical)
    else:
        est = estimator_class.from_tree(state, n_classes, categorical)
    # Sizes around the walk's block of 16 rows and its look-ahead of two blocks.
    for n in (1, 15, 16, 17, 47, 48, 49, 700):
        x = random_queries(rng, n, m)
        leaves = [reference_leaf(nodes, categorical, row) for row in x]
        for layout in (x, np.asfortranarray(x), np.repeat(x, 2, axis=1)[:, ::2]):
            if n_classes is None:
                assert est.predict(layout).tolist() == [nodes[i]["value"] for i in leaves]
                continue
            assert est.predict(layout).tolist() == [nodes[i]["cls"] for i in leaves]
            expected = np.zeros((n, max(n_classes, 1)))
            for row, i in enumerate(leaves):
                proba = nodes[i]["proba"][:expected.shape[1]]
                expected[row, :len(proba)] = proba
            np.testing.assert_array_equal(est.predict_proba(layout), expected)


def test_a_chain_deeper_than_most_paths_reaches_every_leaf():
    # One path 60 splits deep next to leaves right under the root: rows of one block end at
    # very different depths.
    depth = 60
    nodes = []
    for k in range(depth):
        nodes.append(split(0, 2 * k + 2, 2 * k + 1, upper=float(-k)))
        nodes.append(leaf(float(k)))
    nodes.append(leaf(-1.0))
    est = native.RawRegressor.from_tree(tree_state(nodes), [])
    x = np.array([[-float(k) + 0.5] for k in range(depth + 2)] * 3)
    expected = [reference_leaf(nodes, [], row) for row in x]
    assert est.predict(x).tolist() == [nodes[i]["value"] for i in expected]
    assert est.predict(x)[:3].tolist() == [0.0, 1.0, 2.0]
    assert est.predict(np.array([[-1e9]])).tolist() == [-1.0]


def test_fitted_trees_predict_their_training_rows_like_a_rule_by_rule_walk(estimator_class):
    # Fast and strict fits on categorical and continuous columns with missing values.
    x, y = data_for(estimator_class, n=400, m=5, seed=3)
    x[:, 3] = np.floor(np.abs(x[:, 3]) * 3)
    x[::11, 0] = NAN
    x[::13, 3] = NAN
    for mode in ("strict", "fast"):
        est = make(estimator_class, mode=mode, max_depth=8, n_bins=16, categorical=[3])
        est.fit(x, y)
        tree = est.export_tree()
        nodes = [leaf() if tree["is_leaf"][i] else split(
            tree["feature"][i], tree["children_left"][i], tree["children_right"][i],
            lower=tree["lower"][i], upper=tree["upper"][i],
            code=tree["category"][i] if tree["is_categorical"][i] else None)
            for i in range(tree["node_count"])]
        leaves = [reference_leaf(nodes, [3], row) for row in x]
        key = "value" if estimator_class is native.RawRegressor else "predicted_class"
        assert est.predict(x).tolist() == [tree[key][i] for i in leaves]
        if estimator_class is not native.RawRegressor:
            np.testing.assert_array_equal(est.predict_proba(x), [tree["proba"][i] for i in leaves])


def test_package_prediction_passes_a_float64_array_through_without_copying():
    from zelk import ZELKClassifier, ZELKRegressor

    xr, yr = regression_data(n=200, m=3)
    xc, yc = classification_data(n=200, m=3)
    for est, x, y in ((ZELKRegressor(max_depth=4), xr, yr), (ZELKClassifier(max_depth=4), xc, yc)):
        est.fit(x, y)
        for given in (x, np.asfortranarray(x)):
            assert est._predict_features(given) is given
        np.testing.assert_array_equal(est.predict(x), est.predict(np.asfortranarray(x)))
    proba = est.predict_proba(xc)
    with np.errstate(divide="ignore"):
        np.testing.assert_array_equal(est.predict_log_proba(xc), np.log(proba))
