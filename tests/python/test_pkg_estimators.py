"""The estimators' own behaviour: parameter checks, labels, objectives, categories, NaN."""

import inspect
import re
import warnings

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

from zelk import ZELKClassifier, ZELKRegressor, _params

from conftest import same_tree

pd = pytest.importorskip("pandas")

RNG = np.random.default_rng(7)
X_SMALL = RNG.normal(size=(60, 3))
Y_CLASS = (X_SMALL[:, 0] > 0).astype(int)
Y_REGR = X_SMALL[:, 0] * 3.0


def _tree_depth(tree):
    best, stack = 0, [(0, 0)]
    while stack:
        i, d = stack.pop()
        best = max(best, d)
        if not tree["is_leaf"][i]:
            stack += [(tree["children_left"][i], d + 1), (tree["children_right"][i], d + 1)]
    return best


BAD_PARAMETERS = [
    ("max_depth", -1, "'max_depth' parameter must be an int >= 0"),
    ("max_depth", 2.0, "'max_depth' parameter must be an int >= 0"),
    ("min_samples_split", 1, "'min_samples_split' parameter must be an int >= 2 or a float"),
    ("min_samples_split", 1.5, "'min_samples_split' parameter must be an int >= 2 or a float"),
    ("min_samples_leaf", 0, "'min_samples_leaf' parameter must be an int >= 1 or a float"),
    ("min_samples_leaf", 1.0, "'min_samples_leaf' parameter must be an int >= 1 or a float"),
    ("min_weight_fraction_leaf", 0.6, "'min_weight_fraction_leaf' parameter must be a real "
     "number >= 0.0 and <= 0.5"),
    ("min_impurity_decrease", float("nan"), "'min_impurity_decrease' parameter must be a finite"),
    ("validation", "both", "'validation' parameter must be one of 'tree', 'prune', 'candidates'"),
    ("categorical_split", "all", "'categorical_split' parameter must be one of 'subset', "
     "'one_vs_rest'"),
    ("thresholds", "middle", "'thresholds' parameter must be one of 'midpoint', 'value'"),
    ("n_bins", 1, "'n_bins' parameter must be an int >= 2"),
    ("cv_folds", 1, "'cv_folds' parameter must be an int >= 2"),
    ("cv_seed", -1, "'cv_seed' parameter must be an int >= 0"),
    ("cv_seed", 2**64, "'cv_seed' parameter must be an int >= 0"),
    ("cv_shuffle", 1, "'cv_shuffle' parameter must be a bool"),
    ("mode", "Fast", "'mode' parameter must be one of 'auto', 'strict', 'fast'"),
    ("split_style", "stump", "'split_style' parameter must be one of 'threshold'"),
    ("aggregator", "max", "'aggregator' parameter must be one of 'mean'"),
    ("agg_frac", 0.7, "'agg_frac' parameter must be a real number >= 0.0 and <= 0.5"),
    ("agg_eps", 0.0, "'agg_eps' parameter must be a real number > 0.0"),
    ("agg_lambda", -1.0, "'agg_lambda' parameter must be a real number >= 0.0"),
    ("parallel_min_samples", 0, "'parallel_min_samples' parameter must be an int >= 1"),
    ("n_jobs", 0, "'n_jobs' parameter must be None or a non-zero int"),
    ("categorical_features", "all", "'categorical_features' parameter must be None"),
    ("categorical_features", [5], "categorical_features index 5 is out of range for 3 features"),
    ("categorical_features", ["a"], "requires X to be a DataFrame with column names"),
    ("categorical_features", [True, False], "boolean mask has 2 entries, but X has 3 features"),
    ("monotonic_cst", [1, 0], "monotonic_cst has 2 entries, but X has 3 features"),
    ("monotonic_cst", [1, 0, 0, 0], "monotonic_cst has 4 entries, but X has 3 features"),
    ("monotonic_cst", [2, 0, 0], "'monotonic_cst' parameter must be None or an array-like of "
     "-1, 0 or 1"),
    ("monotonic_cst", [0.5, 0, 0], "'monotonic_cst' parameter must be None or an array-like"),
    ("monotonic_cst", "101", "'monotonic_cst' parameter must be None or an array-like"),
    ("monotonic_cst", [[1, 0, 0]], "'monotonic_cst' parameter must be None or an array-like"),
    ("monotonic_cst", [None, 0, 0], "'monotonic_cst' parameter must be None or an array-like"),
]


def test_every_growth_setting_has_a_value_that_fit_rejects():
    assert {name for name, _, _ in BAD_PARAMETERS} == set(_params.GROWTH)


@pytest.mark.parametrize("cls, table", [
    (ZELKRegressor, _params.REGRESSOR),
    (ZELKClassifier, _params.CLASSIFIER),
])
def test_constructor_and_docstring_follow_the_table_of_settings(cls, table):
    parameters = inspect.signature(cls).parameters
    assert list(parameters) == list(table)
    for name, row in table.items():
        # repr tells 0 from 0.0, which get_params and clone would carry along.
        assert repr(parameters[name].default) == repr(row.default), name
    assert cls().get_params() == {name: row.default for name, row in table.items()}
    # A Parameters section with one entry per setting, in order, each hole filled.
    section = cls.__doc__.split("Parameters\n    ----------\n")[1].split("Attributes")[0]
    assert re.findall(r"^    (\w+) : ", section, re.M) == list(table)
    assert not re.search(r"\{[a-z_]+\}", section)


@pytest.mark.parametrize("cls, y", [(ZELKClassifier, Y_CLASS), (ZELKRegressor, Y_REGR)])
@pytest.mark.parametrize("name, value, message", BAD_PARAMETERS)
def test_bad_parameters_are_rejected_by_fit_not_by_init(cls, y, name, value, message):
    estimator = cls(**{name: value})
    assert estimator.get_params()[name] is value
    with pytest.raises(ValueError, match=re.escape(message)):
        estimator.fit(X_SMALL, y)


@pytest.mark.parametrize(
    "estimator, message",
    [
        (
            ZELKRegressor(criterion="gini"),
            "'criterion' parameter must be one of 'mse', 'variance', 'mae'",
        ),
        (ZELKClassifier(criterion="mse"), "'criterion' parameter must be one of 'gini', 'entropy'"),
        (ZELKClassifier(objective="auc"), "'objective' parameter must be one of 'accuracy'"),
        (ZELKClassifier(objective="f1", average="samples"), "'average' parameter must be one of"),
        (
            ZELKClassifier(objective="fbeta", beta=-1.0),
            "'beta' parameter must be a real number >= 0.0",
        ),
        (
            ZELKClassifier(objective="recall", pos_label=5),
            "pos_label=5 is not a valid label: it should be one of [0, 1]",
        ),
        # The native core's own message passes through unchanged.
        (
            ZELKRegressor(mode="fast", criterion="mae"),
            "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict",
        ),
    ],
)
def test_setting_errors_name_the_setting(estimator, message):
    y = Y_REGR if isinstance(estimator, ZELKRegressor) else Y_CLASS
    with pytest.raises(ValueError, match=re.escape(message)):
        estimator.fit(X_SMALL, y)


def test_binary_average_needs_a_binary_target():
    y = np.arange(60) % 3
    with pytest.raises(ValueError, match="average='binary' needs a binary target, but y has 3"):
        ZELKClassifier(objective="f1", average="binary").fit(X_SMALL, y)
    # The default averaging adapts to the number of classes; accuracy ignores averaging.
    ZELKClassifier(objective="f1").fit(X_SMALL, y)
    ZELKClassifier(objective="accuracy", average="binary").fit(X_SMALL, y)


@pytest.mark.parametrize(
    "labels",
    [
        np.array(["spam", "eggs", "ham"]),
        np.array([-5, 0, 12]),
        np.array([2.0, -1.0, 7.0]),
        np.array([True, False, True]),
    ],
    ids=["str", "negative-int", "float", "bool"],
)
def test_labels_of_any_sortable_kind_are_recovered(labels):
    X = np.repeat(np.arange(3.0), 20).reshape(-1, 1)
    codes = np.repeat([0, 1, 2], 20) if labels.dtype != bool else np.repeat([0, 1, 0], 20)
    y = labels[codes]
    model = ZELKClassifier(cv_folds=3).fit(X, y)
    expected_classes = np.unique(y)
    assert np.array_equal(model.classes_, expected_classes)
    assert model.n_classes_ == len(expected_classes)
    predicted = model.predict(X)
    assert predicted.dtype == y.dtype
    assert np.array_equal(predicted, y)
    proba = model.predict_proba(X)
    assert proba.shape == (60, len(expected_classes))
    # Columns follow classes_: each row puts all its mass on the column of its own label.
    assert np.array_equal(model.classes_[proba.argmax(axis=1)], y)
    assert np.allclose(proba.max(axis=1), 1.0)


def test_pos_label_in_the_callers_label_space_selects_the_encoded_class():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(300, 4))
    score = X[:, 0] + 0.8 * X[:, 1] + rng.normal(scale=0.8, size=300)
    positive = score > 0.9  # imbalanced, so the two choices of positive class differ
    words = np.where(positive, "yes", "no")
    for label, index in (("yes", 1), ("no", 0)):
        by_word = ZELKClassifier(objective="precision", pos_label=label).fit(X, words)
        by_index = ZELKClassifier(objective="precision", pos_label=index).fit(
            X, positive.astype(int)
        )
        assert same_tree(by_word.export_tree(), by_index.export_tree())
    default = ZELKClassifier(objective="precision").fit(X, words)
    explicit = ZELKClassifier(objective="precision", pos_label="yes").fit(X, words)
    assert same_tree(default.export_tree(), explicit.export_tree())
    with pytest.raises(
        ValueError,
        match=r"pos_label='maybe' is not a valid label: it should be one of \['no', 'yes'\]",
    ):
        ZELKClassifier(objective="f1", pos_label="maybe").fit(X, words)


def test_missing_values_go_right_in_training_and_prediction():
    x = np.r_[np.linspace(0, 1, 48), np.linspace(10, 11, 48), [np.nan] * 4]
    y = np.r_[np.zeros(48, dtype=int), np.ones(52, dtype=int)]  # the NaN rows are class 1
    model = ZELKClassifier().fit(x.reshape(-1, 1), y)
    tree = model.export_tree()
    # One split halfway between the classes; the four NaN rows were routed right with class 1.
    assert tree["is_leaf"] == [False, True, True]
    assert tree["upper"][0] == 5.5 and tree["lower"][0] == -np.inf
    assert tree["n_samples"] == [100, 48, 52]
    assert tree["predicted_class"][1:] == [0, 1]
    assert model.predict(np.array([[np.nan], [0.5], [5.49], [5.5]])).tolist() == [1, 0, 0, 1]


# Two classes 61 apart: a split between them has the gap to place.
GAP_X = np.r_[np.arange(40.0), np.arange(100.0, 140.0)].reshape(-1, 1)
GAP_Y = np.r_[np.zeros(40, dtype=int), np.ones(40, dtype=int)]


@pytest.mark.parametrize("cls", [ZELKRegressor, ZELKClassifier])
@pytest.mark.parametrize("validation", ["tree", "prune", "candidates"])
def test_strict_bounds_fall_midway_between_the_values_on_either_side(cls, validation):
    x, y = GAP_X, GAP_Y
    model = cls(mode="strict", validation=validation).fit(x, y)
    assert model.export_tree()["upper"][0] == 69.5
    assert model.predict(np.array([[69.4], [69.5]])).tolist() == [0, 1]
    # "value" cuts at the lowest value above, and fast mode at its bins' edges.
    assert cls(mode="strict", validation=validation, thresholds="value").fit(
        x, y).export_tree()["upper"][0] == 100.0
    fast = cls(mode="fast", validation=validation).fit(x, y)
    assert same_tree(fast.export_tree(), cls(mode="fast", validation=validation,
                                             thresholds="value").fit(x, y).export_tree())


@pytest.mark.parametrize("cls", [ZELKRegressor, ZELKClassifier])
def test_strict_bin_bounds_fall_midway_between_the_values_on_either_side(cls):
    x, y = GAP_X, GAP_Y
    tree = cls(mode="strict", validation="candidates", split_style="bin").fit(x, y).export_tree()
    bounds = [b for b in (tree["lower"][0], tree["upper"][0]) if np.isfinite(b)]
    assert bounds and all(b % 1 == 0.5 for b in bounds)


def test_infinite_values_are_rejected():
    X = X_SMALL.copy()
    X[3, 1] = np.inf
    with pytest.raises(ValueError, match="infinity"):
        ZELKRegressor().fit(X, Y_REGR)


def test_predict_checks_feature_count_and_names():
    frame = pd.DataFrame(X_SMALL, columns=["a", "b", "c"])
    model = ZELKRegressor().fit(frame, Y_REGR)
    assert list(model.feature_names_in_) == ["a", "b", "c"]
    assert model.n_features_in_ == 3
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the array has no names: checked below
        with pytest.raises(ValueError, match="X has 2 features, but ZELKRegressor is expecting 3"):
            model.predict(X_SMALL[:, :2])
    with pytest.raises(ValueError, match="feature names"):
        model.predict(frame.rename(columns={"c": "d"}))
    with pytest.warns(UserWarning, match="X does not have valid feature names"):
        model.predict(X_SMALL)


def _colour_frame(n=240, seed=0):
    rng = np.random.default_rng(seed)
    colour = rng.choice(["blue", "green", "red"], size=n).astype(object)
    colour[rng.random(n) < 0.05] = np.nan
    size = rng.normal(size=n)
    y = np.where(colour == "green", 5.0, 0.0) + size
    frame = pd.DataFrame({"colour": pd.Categorical(colour), "size": size})
    return frame, y


@pytest.mark.parametrize(
    "categorical_features",
    ["from_dtype", [0], [-2], ["colour"], [True, False]],
)
def test_categorical_features_forms_agree(categorical_features):
    frame, y = _colour_frame()
    reference = ZELKRegressor().fit(frame, y)
    model = ZELKRegressor(categorical_features=categorical_features).fit(frame, y)
    assert list(model.is_categorical_) == [True, False]
    assert same_tree(model.export_tree(), reference.export_tree())


def test_pandas_categories_map_to_their_codes_and_missing_to_nan():
    frame, y = _colour_frame()
    model = ZELKRegressor(categorical_split="one_vs_rest").fit(frame, y)
    tree = model.export_tree()
    assert tree["is_categorical"][0] and tree["category"][0] == 1  # "green" is code 1
    codes = frame["colour"].cat.codes.to_numpy().astype(float)
    codes[codes < 0] = np.nan
    X = np.column_stack([codes, frame["size"].to_numpy()])
    by_codes = ZELKRegressor(categorical_features=[0], categorical_split="one_vs_rest").fit(X, y)
    assert same_tree(by_codes.export_tree(), tree)
    assert np.array_equal(by_codes.predict(X), model.predict(frame))
    # A category unseen in training, and a missing one, predict like a missing code.
    query = pd.DataFrame({"colour": ["purple", np.nan, "green"], "size": [0.0, 0.0, 0.0]})
    expected = by_codes.predict(np.array([[np.nan, 0.0], [np.nan, 0.0], [1.0, 0.0]]))
    assert np.array_equal(model.predict(query), expected)


def test_string_columns_named_categorical_are_encoded():
    frame, y = _colour_frame()
    as_text = frame.assign(colour=frame["colour"].astype(object))
    model = ZELKRegressor(categorical_features=["colour"]).fit(as_text, y)
    reference = ZELKRegressor().fit(frame, y)
    assert same_tree(model.export_tree(), reference.export_tree())


def test_category_column_not_named_categorical_is_an_error():
    frame, y = _colour_frame()
    with pytest.raises(ValueError, match="Column 'colour' has a pandas category dtype"):
        ZELKRegressor(categorical_features=None).fit(frame, y)


def test_depth_leaves_and_tree_dictionary_agree():
    X = RNG.normal(size=(300, 4))
    y = np.sin(X[:, 0] * 2) + X[:, 1]
    for max_depth in (0, 1, 3, None):
        model = ZELKRegressor(max_depth=max_depth).fit(X, y)
        tree = model.export_tree()
        assert model.get_depth() == _tree_depth(tree)
        assert model.get_n_leaves() == sum(tree["is_leaf"])
        assert tree["n_samples"][0] == 300
        if max_depth is not None:
            assert model.get_depth() <= max_depth
    assert ZELKRegressor(max_depth=0).fit(X, y).get_n_leaves() == 1
    for method in ("get_depth", "get_n_leaves", "export_tree"):
        with pytest.raises(NotFittedError):
            getattr(ZELKRegressor(), method)()


def test_fractional_sample_counts_match_absolute_ones():
    X = RNG.normal(size=(200, 3))
    y = X[:, 0] + X[:, 1] ** 2
    by_fraction = ZELKRegressor(min_samples_leaf=0.1, min_samples_split=0.25).fit(X, y)
    absolute = ZELKRegressor(min_samples_leaf=20, min_samples_split=50).fit(X, y)
    assert same_tree(by_fraction.export_tree(), absolute.export_tree())
    assert (
        min(
            n
            for n, leaf in zip(
                absolute.export_tree()["n_samples"], absolute.export_tree()["is_leaf"]
            )
            if leaf
        )
        >= 20
    )


# The documented size (samples times features) up to which mode "auto" grows in strict mode.
AUTO_STRICT_VALUES = 500_000


@pytest.mark.parametrize("cls, n, explicit", [
    (ZELKRegressor, AUTO_STRICT_VALUES // 2, "strict"),  # the largest strict size
    (ZELKClassifier, 3000, "strict"),
    (ZELKClassifier, AUTO_STRICT_VALUES // 2 + 1, "fast"),  # just too large for strict
])
def test_auto_mode_grows_the_tree_of_the_mode_it_picks(cls, n, explicit):
    X = RNG.normal(size=(n, 2))
    y = X[:, 0] * X[:, 1] + RNG.normal(size=n)
    if cls is ZELKClassifier:
        y = (y > 0).astype(int)
    settings = dict(max_depth=3, validation="prune")
    auto = cls(**settings).fit(X, y).export_tree()
    assert cls(**settings).get_params()["mode"] == "auto"
    assert same_tree(auto, cls(mode=explicit, **settings).fit(X, y).export_tree())
    other = "fast" if explicit == "strict" else "strict"
    assert not same_tree(auto, cls(mode=other, **settings).fit(X, y).export_tree())


@pytest.mark.parametrize("criterion, n_bins, refusal", [
    ("mae", 2, "not supported in SplitMode::Fast"),
    ("mse", 70000, "more than fast mode can code"),
])
def test_auto_mode_is_strict_where_fast_mode_cannot_grow(criterion, n_bins, refusal):
    X = RNG.normal(size=(AUTO_STRICT_VALUES // 1000 + 1, 1000))  # too large for strict
    y = X[:, 0] + RNG.normal(size=len(X))
    settings = dict(criterion=criterion, max_depth=1, validation="candidates", n_bins=n_bins)
    auto = ZELKRegressor(**settings).fit(X, y).export_tree()
    assert same_tree(auto, ZELKRegressor(mode="strict", **settings).fit(X, y).export_tree())
    with pytest.raises(ValueError, match=refusal):
        ZELKRegressor(mode="fast", **settings).fit(X, y)


@pytest.mark.parametrize("cls, y", [(ZELKRegressor, Y_REGR), (ZELKClassifier, Y_CLASS)])
def test_failed_refit_leaves_the_estimator_as_it_was(cls, y):
    frame = pd.DataFrame(X_SMALL, columns=["a", "b", "c"])
    model = cls().fit(frame, y)
    before = model.predict(frame)
    state = {k: v for k, v in vars(model).items() if k != "_native"}
    wide = np.column_stack([X_SMALL, X_SMALL])
    # Validation passes, then the native fit refuses the bin count.
    with pytest.raises(
        ValueError, match="^n_bins=70000 is more than fast mode can code: at most 65535 bins"
    ):
        model.set_params(mode="fast", n_bins=70000).fit(wide, y)
    with pytest.raises(ValueError, match="'mode' parameter"):
        model.set_params(mode="bogus").fit(wide, y)
    model.set_params(mode="strict", n_bins=16)
    assert model.n_features_in_ == 3
    assert list(model.feature_names_in_) == ["a", "b", "c"]
    assert {k: v for k, v in vars(model).items() if k != "_native"}.keys() == state.keys()
    assert np.array_equal(model.predict(frame), before)
    # An estimator whose first fit fails stays unfitted.
    fresh = cls(mode="fast", n_bins=70000)
    with pytest.raises(ValueError, match="^n_bins=70000 "):
        fresh.fit(X_SMALL, y)
    with pytest.raises(NotFittedError):
        fresh.predict(X_SMALL)
    assert not hasattr(fresh, "n_features_in_")


def test_no_warnings_on_plain_use():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = ZELKClassifier().fit(X_SMALL, Y_CLASS)
        model.predict_proba(X_SMALL)
        model.predict_log_proba(X_SMALL)
