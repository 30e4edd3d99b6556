"""export_tree / from_tree: the flat per-node dictionary and its rebuilding."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zelk import _zelk

INF = math.inf
NAN = math.nan

SHARED_KEYS = [
    "is_leaf",
    "children_left",
    "children_right",
    "feature",
    "is_categorical",
    "lower",
    "upper",
    "category",
    "n_samples",
]
REGRESSOR_KEYS = ["node_count", *SHARED_KEYS, "value"]
CLASSIFIER_KEYS = ["node_count", *SHARED_KEYS, "predicted_class", "proba", "n_classes"]

COMMON_SETTINGS = dict(
    max_depth=None,
    min_samples_split=2,
    min_samples_leaf=1,
    min_impurity_decrease=0.0,
    n_bins=8,
    cv_folds=3,
    cv_seed=7,
    cv_shuffle=True,
    split_style="threshold",
    aggregator="mean",
    agg_frac=0.1,
    agg_eps=1e-9,
    agg_lambda=1.0,
    parallel=False,
    n_threads=1,
    parallel_min_samples=512,
)


# ---------------------------------------------------------------------------------------
# Helpers


def leaf(n_samples=1, value=0.0, predicted_class=0, proba=()):
    return dict(leaf=True, n=n_samples, value=value, cls=predicted_class, proba=list(proba))


def interval(feature, lower, upper, left, right):
    return dict(leaf=False, feature=feature, cat=False, lower=lower, upper=upper, code=-1,
                left=left, right=right)


def category(feature, code, left, right):
    return dict(leaf=False, feature=feature, cat=True, lower=NAN, upper=NAN, code=code,
                left=left, right=right)


def state(nodes, kind="regressor"):
    """A tree dictionary from node records in the given (any) numbering."""
    d = {
        "node_count": len(nodes),
        "is_leaf": [n["leaf"] for n in nodes],
        "children_left": [-1 if n["leaf"] else n["left"] for n in nodes],
        "children_right": [-1 if n["leaf"] else n["right"] for n in nodes],
        "feature": [-1 if n["leaf"] else n["feature"] for n in nodes],
        "is_categorical": [False if n["leaf"] else n["cat"] for n in nodes],
        "lower": [NAN if n["leaf"] else n["lower"] for n in nodes],
        "upper": [NAN if n["leaf"] else n["upper"] for n in nodes],
        "category": [-1 if n["leaf"] else n["code"] for n in nodes],
        "n_samples": [n["n"] if n["leaf"] else 0 for n in nodes],
    }
    if kind == "regressor":
        d["value"] = [n["value"] if n["leaf"] else NAN for n in nodes]
    else:
        d["predicted_class"] = [n["cls"] if n["leaf"] else -1 for n in nodes]
        d["proba"] = [n["proba"] if n["leaf"] else [] for n in nodes]
    return d


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


def assert_states_equal(a, b):
    """Equal keys in equal order, equal Python types, NaN equal to NaN."""
    assert list(a) == list(b)
    for key in a:
        x, y = a[key], b[key]
        if isinstance(x, list):
            assert type(y) is list and len(x) == len(y), key
            for i, (u, v) in enumerate(zip(x, y)):
                if isinstance(u, list):
                    assert type(v) is list and len(u) == len(v), (key, i)
                    assert all(same_value(p, q) for p, q in zip(u, v)), (key, i)
                else:
                    assert same_value(u, v), (key, i, u, v)
        else:
            assert same_value(x, y), key


def regressor_from(d, categorical=()):
    return _zelk.RawRegressor.from_tree(d, list(categorical))


def classifier_from(d, n_classes=2, categorical=()):
    return _zelk.RawClassifier.from_tree(d, n_classes, list(categorical))


def reference_predict(d, rows, categorical=()):
    """Walks the dictionary itself, as the format defines routing, for each row."""
    out = []
    for row in rows:
        i = 0
        while not d["is_leaf"][i]:
            x = row[d["feature"][i]]
            if d["is_categorical"][i]:
                goes_left = (
                    d["feature"][i] in categorical
                    and math.isfinite(x)
                    and x >= 0
                    and min(math.floor(x + 0.5), 4294967295) == (d["category"][i] & 0xFFFFFFFF)
                )
            else:
                lo, hi = d["lower"][i], d["upper"][i]
                goes_left = (
                    d["feature"][i] not in categorical
                    and math.isfinite(x)
                    and (lo == -INF or x >= lo)
                    and (hi == INF or x < hi)
                )
            i = d["children_left"][i] if goes_left else d["children_right"][i]
        out.append(d["value"][i])
    return np.array(out)


SPLIT_ROOT = state(
    [
        interval(2, -INF, 0.25, 1, 2),
        leaf(3, value=-1.5),
        leaf(4, value=2.0),
    ]
)


# ---------------------------------------------------------------------------------------
# Export layout


def test_single_leaf_layout():
    d = state([leaf(7, value=1.25)])
    got = regressor_from(d).export_tree()
    assert_states_equal(
        got,
        {
            "node_count": 1,
            "is_leaf": [True],
            "children_left": [-1],
            "children_right": [-1],
            "feature": [-1],
            "is_categorical": [False],
            "lower": [NAN],
            "upper": [NAN],
            "category": [-1],
            "n_samples": [7],
            "value": [1.25],
        },
    )


def test_root_split_with_upper_bound_only():
    est = regressor_from(SPLIT_ROOT)
    got = est.export_tree()
    assert list(got) == REGRESSOR_KEYS
    assert got["children_left"] == [1, -1, -1]
    assert got["children_right"] == [2, -1, -1]
    assert got["feature"] == [2, -1, -1]
    assert got["lower"][0] == -INF and math.isnan(got["lower"][1]) and math.isnan(got["lower"][2])
    assert got["upper"][0] == 0.25 and math.isnan(got["upper"][1]) and math.isnan(got["upper"][2])
    # A split's count is recomputed from its children, whatever the dictionary said.
    assert got["n_samples"] == [7, 3, 4]
    assert math.isnan(got["value"][0]) and got["value"][1:] == [-1.5, 2.0]
    x = np.array([[0.0, 0.0, v] for v in (-1e300, 0.2499, 0.25, 3.0, NAN, -INF)])
    np.testing.assert_array_equal(est.predict(x), [-1.5, -1.5, 2.0, 2.0, 2.0, 2.0])
    assert (est.depth(), est.n_leaves()) == (1, 2)


def test_classifier_layout_and_negative_class_becomes_zero():
    d = state(
        [
            category(0, 5, 1, 2),
            leaf(2, predicted_class=-1, proba=[0.5, 0.25, 0.25]),
            leaf(6, predicted_class=2, proba=[0.0, 0.5, 0.5]),
        ],
        kind="classifier",
    )
    est = classifier_from(d, n_classes=3, categorical=[0])
    got = est.export_tree()
    assert list(got) == CLASSIFIER_KEYS
    assert got["predicted_class"] == [-1, 0, 2]
    assert got["proba"] == [[], [0.5, 0.25, 0.25], [0.0, 0.5, 0.5]]
    assert got["n_classes"] == 3 and type(got["n_classes"]) is int
    assert got["is_categorical"] == [True, False, False]
    assert got["category"] == [5, -1, -1]
    assert all(math.isnan(v) for v in got["lower"] + got["upper"])
    x = np.array([[5.0], [4.6], [6.0], [NAN]])
    np.testing.assert_array_equal(est.predict(x), [0, 0, 2, 2])
    np.testing.assert_array_equal(est.predict_proba(x)[2], [0.0, 0.5, 0.5])


@pytest.mark.parametrize(
    "code, exported, query, goes_left",
    [
        (4294967295, 4294967295, 5.0, False),  # exported unsigned, never as -1
        (4294967296 + 3, 3, 3.0, True),  # only the low 32 bits are kept
        (-1 - 4294967296 + 8, 7, 7.0, True),
        (0, 0, 0.4, True),
    ],
)
def test_category_code_low_32_bits(code, exported, query, goes_left):
    # The bounds of a category node are ignored on import and exported as NaN.
    nodes = [category(1, code, 1, 2), leaf(1, value=10.0), leaf(1, value=20.0)]
    nodes[0]["lower"], nodes[0]["upper"] = 0.0, 1.0
    est = regressor_from(state(nodes), categorical=[1])
    got = est.export_tree()
    assert got["category"] == [exported, -1, -1]
    assert math.isnan(got["lower"][0]) and math.isnan(got["upper"][0])
    pred = est.predict(np.array([[0.0, query]]))
    assert pred[0] == (10.0 if goes_left else 20.0)


def test_unbounded_interval_sends_every_finite_value_left():
    est = regressor_from(state([interval(0, -INF, INF, 1, 2), leaf(1, 1.0), leaf(1, 2.0)]))
    x = np.array([[v] for v in (-1.7e308, -1.0, 0.0, 1e308, INF, -INF, NAN)])
    np.testing.assert_array_equal(est.predict(x), [1.0, 1.0, 1.0, 1.0, 2.0, 2.0, 2.0])
    got = est.export_tree()
    assert got["lower"][0] == -INF and got["upper"][0] == INF


def test_nan_bound_is_kept_and_sends_everything_right():
    est = regressor_from(state([interval(0, NAN, INF, 1, 2), leaf(1, 1.0), leaf(1, 2.0)]))
    x = np.array([[-5.0], [0.0], [5.0]])
    np.testing.assert_array_equal(est.predict(x), [2.0, 2.0, 2.0])
    got = est.export_tree()
    assert math.isnan(got["lower"][0]) and got["upper"][0] == INF


def test_non_preorder_numbering_is_renumbered_on_export():
    # Root 3; its left child is split 0, whose children are leaves 4 and 1; its right is leaf 2.
    nodes = [
        interval(1, 0.5, INF, 4, 1),
        leaf(2, value=11.0),
        leaf(5, value=12.0),
        interval(0, -INF, 1.0, 0, 2),
        leaf(3, value=13.0),
    ]
    d = state(nodes)
    # Node 0 must be the root: put node 3 first by swapping the numbering of 0 and 3.
    swap = {0: 3, 3: 0}
    renum = [None] * len(nodes)
    for old, n in enumerate(nodes):
        n = dict(n)
        if not n["leaf"]:
            n["left"], n["right"] = swap.get(n["left"], n["left"]), swap.get(n["right"], n["right"])
        renum[swap.get(old, old)] = n
    d = state(renum)
    assert d["children_left"][0] == 3  # not pre-order
    est = regressor_from(d)
    got = est.export_tree()
    assert got["children_left"] == [1, 2, -1, -1, -1]
    assert got["children_right"] == [4, 3, -1, -1, -1]
    assert got["feature"] == [0, 1, -1, -1, -1]
    assert got["value"][2:] == [13.0, 11.0, 12.0]
    assert got["n_samples"] == [10, 5, 3, 2, 5]
    x = np.array([[0.0, 0.7], [0.0, 0.2], [2.0, 0.7]])
    np.testing.assert_array_equal(est.predict(x), [13.0, 11.0, 12.0])
    np.testing.assert_array_equal(est.predict(x), reference_predict(d, x))


def test_unreachable_entries_are_not_looked_at():
    d = state([interval(0, -INF, 0.0, 1, 2), leaf(1, 1.0), leaf(1, 2.0), leaf(1, 3.0)])
    d["children_left"][3] = 99  # node 3 is unreachable, and a leaf
    d["feature"][3] = -5
    d["value"].append(7.0)  # lists need not have equal lengths
    got = regressor_from(d).export_tree()
    assert got["node_count"] == 3


# ---------------------------------------------------------------------------------------
# Element conversion


def as_tuples(d):
    out = dict(d)
    for k, v in d.items():
        if isinstance(v, list):
            out[k] = tuple(tuple(p) if isinstance(p, list) else p for p in v)
    return out


def as_arrays(d):
    out = dict(d)
    for k in SHARED_KEYS + ["value", "predicted_class"]:
        if k in d:
            out[k] = np.array(d[k], dtype=bool if k in ("is_leaf", "is_categorical") else None)
    if "proba" in d:
        out["proba"] = [np.array(p, dtype=np.float64) for p in d["proba"]]
    return out


CLASS_STATE = state(
    [
        interval(0, 0.5, 2.5, 1, 2),
        leaf(3, predicted_class=1, proba=[0.25, 0.75]),
        category(1, 4, 3, 4),
        leaf(2, predicted_class=0, proba=[1.0, 0.0]),
        leaf(1, predicted_class=1, proba=[0.0, 1.0]),
    ],
    kind="classifier",
)


@pytest.mark.parametrize("convert", [as_tuples, as_arrays], ids=["tuple", "ndarray"])
@pytest.mark.parametrize("kind", ["regressor", "classifier"])
def test_tuples_and_arrays_stand_for_lists(convert, kind):
    d = SPLIT_ROOT if kind == "regressor" else CLASS_STATE
    make = regressor_from if kind == "regressor" else lambda s: classifier_from(s, 2, [1])
    expected = make(d).export_tree()
    assert_states_equal(make(convert(d)).export_tree(), expected)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 0.125


def test_index_and_float_objects_convert():
    d = dict(SPLIT_ROOT)
    d["children_left"] = [Index(1), np.int64(-1), -1]
    d["n_samples"] = [0, np.uint64(3), Index(4)]
    d["upper"] = [Floaty(), NAN, NAN]
    d["value"] = [NAN, 1, np.float32(2.0)]
    got = regressor_from(d).export_tree()
    assert got["upper"][0] == 0.125 and type(got["value"][1]) is float
    assert got["n_samples"] == [7, 3, 4]


class Shrinking:
    """An element whose conversion empties the list that holds it."""

    def __init__(self, owner, value):
        self.owner, self.value = owner, value

    def __index__(self):
        self.owner.clear()
        return self.value

    __float__ = lambda self: float(self.__index__())


@pytest.mark.parametrize("key", ["children_left", "lower", "n_samples"])
def test_list_emptied_during_conversion_is_read_as_it_was(key):
    # Lists are read as list() reads them: an element that changes its list while it
    # converts cannot change what is read.
    d = {k: list(v) if isinstance(v, list) else v for k, v in SPLIT_ROOT.items()}
    value = 1 if key == "children_left" else 0
    expected = {k: list(v) if isinstance(v, list) else v for k, v in d.items()}
    expected[key][0] = value
    d[key][0] = Shrinking(d[key], value)
    assert repr(regressor_from(d).export_tree()) == repr(regressor_from(expected).export_tree())
    assert d[key] == []


@pytest.mark.parametrize(
    "key, value, error, message",
    [
        ("lower", "abc", TypeError, "Can't extract `str` to `Vec`"),
        ("is_leaf", "", TypeError, "Can't extract `str` to `Vec`"),
        ("value", "1.0", TypeError, "Can't extract `str` to `Vec`"),
        ("feature", 3, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ("upper", None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
        ("category", {1: 2}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        ("children_left", [1.0, -1, -1], TypeError, "'float' object cannot be interpreted"),
        ("n_samples", [0, -3, 4], OverflowError, None),
        ("category", [2**63, -1, -1], OverflowError, None),
        ("n_samples", [0, 2**64, 4], OverflowError, None),
        ("lower", [-INF, "x", NAN], TypeError, None),
        ("is_leaf", [0, 1, 1], TypeError, None),
        ("is_categorical", [False, 0, False], TypeError, None),
    ],
)
def test_bad_values_raise(key, value, error, message):
    d = dict(SPLIT_ROOT)
    d[key] = value
    with pytest.raises(error) as info:
        regressor_from(d)
    if message is not None:
        assert str(info.value).startswith(message)


def test_bad_proba_entries_raise():
    for proba, message in [
        ("ab", "Can't extract `str` to `Vec`"),
        ([[], 0.5, [], [], []], "'float' object cannot be converted to 'Sequence'"),
        ([[], "ab", [], [], []], "Can't extract `str` to `Vec`"),
        ([[], [0.5, "q"], [], [], []], "must be real number"),
    ]:
        d = dict(CLASS_STATE, proba=proba)
        with pytest.raises(TypeError, match=message):
            classifier_from(d)


def test_numpy_bool_scalars_are_bools():
    d = dict(SPLIT_ROOT, is_leaf=[np.False_, np.True_, True])
    assert regressor_from(d).export_tree()["is_leaf"] == [False, True, True]


@pytest.mark.parametrize("key", SHARED_KEYS + ["value"])
def test_first_missing_key_in_reading_order_is_reported(key):
    d = dict(SPLIT_ROOT)
    order = SHARED_KEYS + ["value"]
    for later in order[order.index(key):]:
        del d[later]
    with pytest.raises(ValueError) as info:
        regressor_from(d)
    assert str(info.value) == f'tree state missing key "{key}"'


def test_missing_lower_with_other_damage_later():
    d = dict(SPLIT_ROOT, upper="bad", n_samples=5)
    del d["lower"]
    del d["value"]
    with pytest.raises(ValueError, match='^tree state missing key "lower"$'):
        regressor_from(d)


def test_classifier_keys_are_read_after_the_shared_ones():
    d = dict(CLASS_STATE)
    del d["predicted_class"]
    del d["proba"]
    with pytest.raises(ValueError, match='^tree state missing key "predicted_class"$'):
        classifier_from(d)
    d = dict(CLASS_STATE)
    del d["proba"]
    with pytest.raises(ValueError, match='^tree state missing key "proba"$'):
        classifier_from(d)
    # The other task's keys are not read, whatever they hold.
    assert classifier_from(dict(CLASS_STATE, value="ignored")).n_leaves() == 3
    assert regressor_from(dict(SPLIT_ROOT, predicted_class="ignored", proba=7)).n_leaves() == 2


def test_empty_tree_is_reported_after_all_shared_keys():
    empty = {k: [] for k in SHARED_KEYS}
    with pytest.raises(ValueError, match="^tree state has no nodes$"):
        regressor_from(empty)  # "value" is missing too, but is read later
    del empty["n_samples"]
    with pytest.raises(ValueError, match='^tree state missing key "n_samples"$'):
        regressor_from(empty)


def test_failed_imports_leave_no_references_behind():
    d = {k: list(v) if isinstance(v, list) else v for k, v in SPLIT_ROOT.items()}
    lists = {k: d[k] for k in SHARED_KEYS}
    bad_lower = [-INF, object(), NAN]
    d["lower"] = bad_lower
    item = bad_lower[1]
    before = {k: sys.getrefcount(v) for k, v in lists.items()}
    before_item = sys.getrefcount(item)
    for _ in range(50):
        with pytest.raises(TypeError):
            regressor_from(d)
    assert {k: sys.getrefcount(v) for k, v in lists.items()} == before
    assert sys.getrefcount(item) == before_item


# ---------------------------------------------------------------------------------------
# Malformed structure


def broken(**changes):
    d = {k: list(v) if isinstance(v, list) else v for k, v in SPLIT_ROOT.items()}
    for key, (index, value) in changes.items():
        d[key][index] = value
    return d


@pytest.mark.parametrize(
    "d, message",
    [
        (broken(children_left=(0, 3)), "children_left index 3"),
        (broken(children_right=(0, -1)), "children_right index -1"),
        (broken(children_left=(0, -7)), "children_left index -7"),
        (broken(children_right=(0, 2**62)), "children_right index"),
        (broken(feature=(0, -1)), "negative feature index -1"),
        (broken(children_left=(0, 0)), "reached more than once"),  # self loop
        (broken(children_right=(0, 1)), "reached more than once"),  # shared child
        (dict(SPLIT_ROOT, feature=[]), 'list "feature" has no entry for node 0'),
        (dict(SPLIT_ROOT, upper=[1.0]), None),  # a bound present is enough
        (dict(SPLIT_ROOT, lower=[]), 'list "lower" has no entry for node 0'),
        (dict(SPLIT_ROOT, children_right=[2]), None),
        (dict(SPLIT_ROOT, children_left=[]), 'list "children_left" has no entry'),
        (dict(SPLIT_ROOT, value=[NAN, 1.0]), 'list "value" has no entry for node 2'),
        (dict(SPLIT_ROOT, n_samples=[0, 1]), 'list "n_samples" has no entry for node 2'),
        # The left subtree is rebuilt first, so its missing entry is the one reported.
        (dict(SPLIT_ROOT, n_samples=[0]), 'list "n_samples" has no entry for node 1$'),
        (dict(SPLIT_ROOT, is_categorical=[True], category=[]), 'list "category" has no entry'),
    ],
)
def test_malformed_structure_is_rejected(d, message):
    if message is None:
        regressor_from(d)  # short lists are fine while no reachable node needs more
        return
    with pytest.raises(ValueError, match=message):
        regressor_from(d)


def test_cycle_through_a_deeper_node_is_rejected():
    d = state([interval(0, 0.0, INF, 1, 2), leaf(), interval(0, 1.0, INF, 3, 0), leaf()])
    with pytest.raises(ValueError, match="node 0 is reached more than once"):
        regressor_from(d)


def test_short_classifier_lists_are_rejected():
    for key in ("predicted_class", "proba"):
        d = dict(CLASS_STATE, **{key: CLASS_STATE[key][:4]})
        with pytest.raises(ValueError, match=f'list "{key}" has no entry for node 4'):
            classifier_from(d)


# ---------------------------------------------------------------------------------------
# Random trees against the format's own routing


def random_state(rng, n_splits, n_features, categorical):
    """A random tree in a random numbering (node 0 stays the root)."""
    nodes = [None]
    pending = [0]
    splits = 0
    while pending:
        i = pending.pop(int(rng.integers(len(pending))))
        if splits < n_splits and (i == 0 or rng.random() < 0.7):
            splits += 1
            feature = int(rng.integers(n_features))
            left, right = len(nodes), len(nodes) + 1
            nodes += [None, None]
            if feature in categorical:
                nodes[i] = category(feature, int(rng.integers(4)), left, right)
            else:
                lower = -INF if rng.random() < 0.3 else float(rng.normal())
                upper = INF if rng.random() < 0.3 else float(lower + abs(rng.normal()) + 0.1)
                nodes[i] = interval(feature, lower, upper, left, right)
            pending += [left, right]
        else:
            nodes[i] = leaf(int(rng.integers(1, 50)), value=float(rng.normal()))
    perm = np.concatenate([[0], 1 + rng.permutation(len(nodes) - 1)])
    renum = [None] * len(nodes)
    for old, n in enumerate(nodes):
        n = dict(n)
        if not n["leaf"]:
            n["left"], n["right"] = int(perm[n["left"]]), int(perm[n["right"]])
        renum[perm[old]] = n
    return state(renum)


def test_random_trees_route_as_the_format_says_and_survive_reexport():
    rng = np.random.default_rng(5)
    categorical = [1, 3]
    for _ in range(40):
        d = random_state(rng, int(rng.integers(0, 25)), 4, categorical)
        est = regressor_from(d, categorical)
        x = rng.normal(size=(200, 4))
        x[:, categorical] = rng.integers(-1, 5, size=(200, 2))
        x[rng.random(x.shape) < 0.05] = NAN
        np.testing.assert_array_equal(est.predict(x), reference_predict(d, x, categorical))
        first = est.export_tree()
        again = regressor_from(first, categorical)
        assert_states_equal(again.export_tree(), first)
        assert first["children_left"] == [
            i + 1 if not is_leaf else -1 for i, is_leaf in enumerate(first["is_leaf"])
        ]
        np.testing.assert_array_equal(again.predict(x), est.predict(x))
        assert (again.depth(), again.n_leaves()) == (est.depth(), est.n_leaves())


# ---------------------------------------------------------------------------------------
# Fitted trees


def make_estimator(kind, mode, categorical):
    if kind == "regressor":
        return _zelk.RawRegressor(criterion="mse", mode=mode, categorical=categorical,
                                  **COMMON_SETTINGS)
    if kind == "classifier":
        return _zelk.RawClassifier(n_classes=3, criterion="gini", mode=mode,
                                   categorical=categorical, **COMMON_SETTINGS)
    return _zelk.RawObjectiveClassifier(n_classes=3, objective="f1", average="macro",
                                        pos_label=1, beta=1.0, mode=mode,
                                        categorical=categorical, **COMMON_SETTINGS)


def training_data(rng, n=300):
    x = rng.normal(size=(n, 4))
    x[:, 2] = rng.integers(0, 5, size=n)  # categorical
    signal = (x[:, 0] > 0.3).astype(int) + (x[:, 2] == 3)
    return x, signal


def rebuild(est, kind, categorical):
    d = est.export_tree()
    cls = type(est)
    if kind == "regressor":
        return d, cls.from_tree(d, categorical)
    return d, cls.from_tree(d, 3, categorical)


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("kind", ["regressor", "classifier", "objective"])
def test_fitted_tree_round_trip(kind, mode):
    rng = np.random.default_rng(11)
    categorical = [2]
    x, signal = training_data(rng)
    est = make_estimator(kind, mode, categorical)
    if kind == "regressor":
        est.fit(x, signal + 0.1 * rng.normal(size=len(x)))
    else:
        est.fit(x, signal.astype(np.int64))
    first, copy = rebuild(est, kind, categorical)
    assert type(copy) is type(est)
    assert list(first) == (REGRESSOR_KEYS if kind == "regressor" else CLASSIFIER_KEYS)
    assert first["node_count"] > 1 and any(first["is_categorical"])
    assert_states_equal(copy.export_tree(), first)
    probe = rng.normal(size=(500, 4))
    probe[:, 2] = rng.integers(-1, 6, size=500) + rng.choice([0.0, 0.4], size=500)
    probe[rng.random(probe.shape) < 0.05] = NAN
    np.testing.assert_array_equal(copy.predict(probe), est.predict(probe))
    if kind != "regressor":
        np.testing.assert_array_equal(copy.predict_proba(probe), est.predict_proba(probe))
    assert (copy.depth(), copy.n_leaves()) == (est.depth(), est.n_leaves())
    assert first["node_count"] == 2 * est.n_leaves() - 1


def test_fitted_single_leaf_layout():
    est = make_estimator("regressor", "strict", [])
    x = np.zeros((6, 2))
    est.fit(x, np.full(6, 2.5))
    got = est.export_tree()
    assert_states_equal(got, state([leaf(6, value=2.5)]))
    assert list(got) == REGRESSOR_KEYS


def test_unfitted_export_raises():
    with pytest.raises(ValueError, match="^estimator is not fitted$"):
        make_estimator("classifier", "strict", []).export_tree()


# ---------------------------------------------------------------------------------------
# Depth


def chain_state(n_splits):
    """Split i sends x < i + 1 to leaf n_splits + i and the rest to split i + 1."""
    n = 2 * n_splits + 1
    leaf_base = n_splits
    is_leaf = [False] * n_splits + [True] * (n_splits + 1)
    left = list(range(leaf_base, leaf_base + n_splits)) + [-1] * (n_splits + 1)
    right = list(range(1, n_splits)) + [2 * n_splits] + [-1] * (n_splits + 1)
    return {
        "is_leaf": is_leaf,
        "children_left": left,
        "children_right": right,
        "feature": [0] * n_splits + [-1] * (n_splits + 1),
        "is_categorical": [False] * n,
        "lower": [-INF] * n_splits + [NAN] * (n_splits + 1),
        "upper": [float(i + 1) for i in range(n_splits)] + [NAN] * (n_splits + 1),
        "category": [-1] * n,
        "n_samples": [0] * n_splits + [1] * (n_splits + 1),
        "value": [NAN] * n_splits + [float(i) for i in range(n_splits + 1)],
    }


def test_million_node_chain_imports_predicts_exports_and_frees():
    n_splits = 500_000
    est = regressor_from(chain_state(n_splits))
    assert est.depth() == n_splits
    assert est.n_leaves() == n_splits + 1
    x = np.array([[0.5], [1234.5], [n_splits - 0.5], [n_splits + 7.0], [NAN]])
    np.testing.assert_array_equal(est.predict(x), [0.0, 1234.0, n_splits - 1, n_splits,
                                                   n_splits])
    got = est.export_tree()
    assert got["node_count"] == 2 * n_splits + 1
    assert got["children_right"][:3] == [2, -1, 4]
    assert got["n_samples"][0] == n_splits + 1
    again = regressor_from(got)
    assert again.depth() == n_splits
    del est, again, got


def test_million_node_cycle_is_rejected_without_recursion():
    d = chain_state(500_000)
    d["children_right"][499_999] = 0
    with pytest.raises(ValueError, match="reached more than once"):
        regressor_from(d)


# ---------------------------------------------------------------------------------------
# Random mutations, in a child interpreter so that a crash fails the test instead of the run

MUTATION_SCRIPT = textwrap.dedent(
    r"""
    import copy, math, random, sys
    import numpy as np
    from zelk import _zelk

    base_regr, base_class, n_mutations, seed = eval(
        sys.stdin.read(), {"nan": math.nan, "inf": math.inf})
    rng = random.Random(seed)
    x = np.array([[v, w, c] for v in (-2.0, 0.0, 0.7, 3.0, math.nan)
                  for w in (-1.0, 0.5) for c in (0.0, 3.0, 4.0)])

    def junk():
        return rng.choice(["", "abc", 7, None, 2.5, {}, [], [1.5], ["x"], [None], (True,),
                           [2**70], [-1], np.zeros((2, 2)), np.array(3.0), object()])

    def mutate(d):
        keys = [k for k in d if k != "node_count"]
        n = len(d["is_leaf"])
        for _ in range(rng.randint(1, 3)):
            what = rng.randrange(9)
            key = rng.choice(keys)
            if key not in d:
                continue
            if what == 0:
                del d[key]
            elif what == 1:
                d[key] = junk()
            elif not isinstance(d[key], list) or not d[key]:
                d[key] = junk()
            elif what == 2:
                i, j = rng.randrange(len(d[key])), rng.randrange(len(d[key]))
                d[key][i], d[key][j] = d[key][j], d[key][i]
            elif what == 3:
                d[key] = d[key][: rng.randrange(len(d[key]))]
            elif what == 4:
                k = rng.choice(["children_left", "children_right"])
                if k in d and isinstance(d[k], list) and d[k]:
                    d[k][rng.randrange(len(d[k]))] = rng.choice(
                        [-1, -2, n, n + 5, 2**40, -(2**40), 0, rng.randrange(n)])
            elif what == 5:
                if isinstance(d.get("is_leaf"), list) and d["is_leaf"]:
                    i = rng.randrange(len(d["is_leaf"]))
                    d["is_leaf"][i] = not d["is_leaf"][i]
            elif what == 6:
                if isinstance(d.get("feature"), list) and d["feature"]:
                    d["feature"][rng.randrange(len(d["feature"]))] = rng.choice(
                        [-1, -(2**62), 2**62, 50, 1])
            elif what == 7:
                d[key][rng.randrange(len(d[key]))] = junk()
            else:
                for k in ("lower", "upper", "value", "category"):
                    if isinstance(d.get(k), list) and d[k]:
                        d[k][rng.randrange(len(d[k]))] = rng.choice(
                            [math.nan, math.inf, -math.inf, 2**33 + 1, -5])
        return d

    imported = rejected = 0
    for m in range(n_mutations):
        is_regr = m % 2 == 0
        d = mutate(copy.deepcopy(base_regr if is_regr else base_class))
        try:
            if is_regr:
                est = _zelk.RawRegressor.from_tree(d, [2])
            else:
                est = _zelk.RawClassifier.from_tree(d, 3, [2])
        except Exception:
            rejected += 1
            continue
        imported += 1
        est.export_tree()
        est.depth(), est.n_leaves()
        try:
            est.predict(x)
            if not is_regr:
                est.predict_proba(x)
        except Exception:
            pass  # a feature beyond x's columns, for example
    print(imported, rejected)
    """
)


def test_random_mutations_import_or_raise():
    nodes = [
        interval(0, -INF, 0.5, 1, 2),
        category(2, 3, 3, 4),
        interval(1, 0.0, INF, 5, 6),
        leaf(2, value=1.0, predicted_class=0, proba=[1.0, 0.0, 0.0]),
        leaf(3, value=2.0, predicted_class=1, proba=[0.0, 1.0, 0.0]),
        leaf(4, value=3.0, predicted_class=2, proba=[0.0, 0.0, 1.0]),
        leaf(5, value=4.0, predicted_class=1, proba=[0.2, 0.6, 0.2]),
    ]
    payload = repr((state(nodes), state(nodes, kind="classifier"), 400, 20240))
    result = subprocess.run(
        [sys.executable, "-c", MUTATION_SCRIPT],
        input=payload,
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(os.environ),
    )
    assert result.returncode == 0, result.stderr[-3000:]
    imported, rejected = map(int, result.stdout.split())
    assert imported + rejected == 400
    assert imported > 20 and rejected > 100
