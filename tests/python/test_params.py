"""Constructor arguments: call matching, conversion, validation by name, and no leaks."""

import random

import numpy as np
import pytest

from zelk import _zelk as native

from conftest import (
    ALL_CLASSES,
    REGRESSOR_ARGS,
    arguments,
    classification_data,
    classifier,
    make,
    objective_classifier,
    regression_data,
    regressor,
    same_tree,
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class AsFloat:
    def __float__(self):
        return 0.25


# --- call matching ------------------------------------------------------------------------


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_all_arguments_by_keyword_in_any_order(cls):
    args = list(arguments(cls).items())
    random.Random(3).shuffle(args)
    est = cls(**dict(args))
    assert type(est) is cls and est.depth() == 0


def test_mixed_positional_and_keyword_arguments():
    values = list(REGRESSOR_ARGS.values())
    names = list(REGRESSOR_ARGS)
    est = native.RawRegressor(*values[:7], **dict(zip(names[7:], values[7:])))
    assert est.n_leaves() == 0


def call_error(function, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    return str(info.value)


def test_call_errors_use_the_interpreter_wording():
    values = list(REGRESSOR_ARGS.values())
    args = dict(REGRESSOR_ARGS)
    new = native.RawRegressor
    assert call_error(new, *values[1:]) == (
        "RawRegressor.__new__() missing 1 required positional argument: 'categorical'")
    del args["criterion"]
    assert call_error(new, **args) == (
        "RawRegressor.__new__() missing 1 required positional argument: 'criterion'")
    del args["mode"]
    assert call_error(new, **args) == (
        "RawRegressor.__new__() missing 2 required positional arguments: 'criterion' and 'mode'")
    del args["categorical"]
    assert call_error(new, **args) == (
        "RawRegressor.__new__() missing 3 required positional arguments: "
        "'criterion', 'mode', and 'categorical'")
    assert call_error(new).startswith(
        "RawRegressor.__new__() missing 19 required positional arguments: 'criterion', ")
    assert call_error(new, *values, 1) == (
        "RawRegressor.__new__() takes 19 positional arguments but 20 were given")
    assert call_error(new, *values, foo=1) == (
        "RawRegressor.__new__() got an unexpected keyword argument 'foo'")
    assert call_error(new, *values, criterion="mse") == (
        "RawRegressor.__new__() got multiple values for argument 'criterion'")
    # As in the interpreter, keyword problems are reported before a surplus of positionals.
    assert call_error(new, *values, 1, foo=1) == (
        "RawRegressor.__new__() got an unexpected keyword argument 'foo'")


def test_every_method_uses_the_same_matcher():
    x, y = classification_data()
    est = classifier()
    assert call_error(est.fit, x) == (
        "RawClassifier.fit() missing 1 required positional argument: 'y'")
    assert call_error(est.fit) == (
        "RawClassifier.fit() missing 2 required positional arguments: 'x' and 'y'")
    assert call_error(est.fit, x, y, x) == (
        "RawClassifier.fit() takes 2 positional arguments but 3 were given")
    assert call_error(est.fit, x, x=x) == (
        "RawClassifier.fit() got multiple values for argument 'x'")
    est.fit(y=y, x=x)
    assert call_error(est.predict) == (
        "RawClassifier.predict() missing 1 required positional argument: 'x'")
    assert call_error(est.predict_proba, x, x) == (
        "RawClassifier.predict_proba() takes 1 positional argument but 2 were given")
    assert call_error(est.depth, 1) == (
        "RawClassifier.depth() takes 0 positional arguments but 1 was given")
    assert call_error(est.n_leaves, k=1) == (
        "RawClassifier.n_leaves() got an unexpected keyword argument 'k'")
    assert call_error(est.export_tree, 1, 2) == (
        "RawClassifier.export_tree() takes 0 positional arguments but 2 were given")
    tree = est.export_tree()
    assert call_error(native.RawClassifier.from_tree, tree) == (
        "RawClassifier.from_tree() missing 2 required positional arguments: "
        "'n_classes' and 'categorical'")
    assert call_error(native.RawRegressor.from_tree, tree, [], 3) == (
        "RawRegressor.from_tree() takes 2 positional arguments but 3 were given")
    rebuilt = native.RawObjectiveClassifier.from_tree(categorical=[], n_classes=3, tree=tree)
    np.testing.assert_array_equal(rebuilt.predict(x), est.predict(x))


# --- conversion ---------------------------------------------------------------------------

TYPE_ERRORS = [
    ("max_depth", 2.0, "argument 'max_depth': 'float' object cannot be interpreted as an integer"),
    ("max_depth", "3", "argument 'max_depth': 'str' object cannot be interpreted as an integer"),
    ("n_bins", np.float64(4.0), "argument 'n_bins': "),
    ("cv_seed", [1], "argument 'cv_seed': "),
    ("cv_shuffle", 1, "argument 'cv_shuffle': "),
    ("cv_shuffle", np.int64(0), "argument 'cv_shuffle': "),
    ("parallel", None, "argument 'parallel': "),
    ("min_impurity_decrease", "0.1", "argument 'min_impurity_decrease': "),
    ("agg_frac", None, "argument 'agg_frac': "),
    ("criterion", b"mse", "argument 'criterion': "),
    ("mode", None, "argument 'mode': "),
    ("categorical", "12", "argument 'categorical': "),
    ("categorical", 3, "argument 'categorical': "),
    ("categorical", {1, 2}, "argument 'categorical': "),
    ("categorical", [1.0], "argument 'categorical': "),
    ("categorical", np.array([1.0, 2.0]), "argument 'categorical': "),
    ("categorical", [[1]], "argument 'categorical': "),
]


@pytest.mark.parametrize("name,value,message", TYPE_ERRORS)
def test_wrong_python_type_is_a_type_error_naming_the_argument(name, value, message):
    with pytest.raises(TypeError) as info:
        regressor(**{name: value})
    assert str(info.value).startswith(message), str(info.value)


@pytest.mark.parametrize("name", ["max_depth", "min_samples_split", "n_bins", "cv_seed",
                                  "n_threads", "parallel_min_samples", "categorical"])
@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_ints_outside_64_bits_raise_the_interpreter_overflow_error(name, value):
    arg = [value] if name == "categorical" else value
    with pytest.raises(OverflowError) as info:
        regressor(**{name: arg})
    assert not str(info.value).startswith("argument")


def test_classifier_specific_conversions():
    with pytest.raises(OverflowError):
        classifier(n_classes=-1)
    with pytest.raises(TypeError, match="^argument 'n_classes': "):
        classifier(n_classes=2.5)
    with pytest.raises(TypeError, match="^argument 'pos_label': "):
        objective_classifier(pos_label=1.0)
    with pytest.raises(TypeError, match="^argument 'beta': "):
        objective_classifier(beta="1")
    with pytest.raises(TypeError, match="^argument 'average': "):
        objective_classifier(average=1)


ACCEPTED = [
    ("max_depth", None),
    ("max_depth", 0),
    ("max_depth", 2**64 - 1),
    ("max_depth", np.int64(3)),
    ("max_depth", Index(4)),
    ("cv_seed", 2**64 - 1),
    ("cv_folds", 0),
    ("n_bins", 0),
    ("n_threads", 0),
    ("min_impurity_decrease", -1.0),
    ("min_impurity_decrease", 3),
    ("min_impurity_decrease", AsFloat()),
    ("min_impurity_decrease", Index(2)),
    ("agg_frac", 0.9),
    ("cv_shuffle", np.bool_(False)),
    ("parallel", np.True_),
    ("categorical", ()),
    ("categorical", (5, 5)),
    ("categorical", np.array([2, 0], dtype=np.int32)),
    ("categorical", np.array([2, 0], dtype=np.uint64)),
    ("categorical", range(3)),
    ("categorical", [Index(1)]),
]


@pytest.mark.parametrize("name,value", ACCEPTED)
def test_accepted_values_without_range_checks(name, value):
    assert regressor(**{name: value}).depth() == 0


def test_objective_settings_are_not_range_checked():
    objective_classifier(n_classes=0, pos_label=7, beta=float("nan"))
    classifier(n_classes=1)


def test_an_error_raised_by_index_passes_unchanged():
    class Broken:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        regressor(n_bins=Broken())


def test_first_failing_argument_in_parameter_order_is_reported():
    with pytest.raises(TypeError, match="^argument 'min_samples_split': "):
        regressor(min_samples_split=1.5, n_bins=1.5, criterion="nope")
    with pytest.raises(OverflowError):  # max_depth precedes categorical
        regressor(max_depth=-1, categorical="x")
    # Conversion of every argument comes before any name is validated.
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        regressor(criterion="nope", categorical="x")


# --- validation by name -------------------------------------------------------------------

NAME_ERRORS = [
    (regressor, dict(criterion="gini"),
     'unknown regression criterion "gini" (expected "mse", "variance" or "mae")'),
    (classifier, dict(criterion="mse"),
     'unknown classification criterion "mse" (expected "gini" or "entropy")'),
    (objective_classifier, dict(average="samples"),
     'unknown average "samples" (expected binary/micro/macro/weighted)'),
    (objective_classifier, dict(objective="auc"),
     'unknown objective "auc" (expected precision/recall/f1/fbeta/accuracy)'),
    (regressor, dict(mode="Fast"), 'unknown mode "Fast" (expected "strict" or "fast")'),
    (classifier, dict(split_style="bins"),
     'unknown split_style "bins" (expected "threshold" or "bin")'),
    (objective_classifier, dict(aggregator="max"), 'unknown aggregator "max"'),
    (regressor, dict(criterion=" mse"),
     'unknown regression criterion " mse" (expected "mse", "variance" or "mae")'),
    (regressor, dict(aggregator=""), 'unknown aggregator ""'),
]


@pytest.mark.parametrize("factory,overrides,message", NAME_ERRORS)
def test_unknown_names_raise_value_error_with_the_exact_message(factory, overrides, message):
    with pytest.raises(ValueError) as info:
        factory(**overrides)
    assert str(info.value) == message


@pytest.mark.parametrize("value,literal", [
    ('a"b', r'"a\"b"'),
    ("a\\b", r'"a\\b"'),
    ("\0\t\r\n", r'"\0\t\r\n"'),
    ("\x01\x1b\x7f", r'"\u{1}\u{1b}\u{7f}"'),
    ("\u200b\u2028", r'"\u{200b}\u{2028}"'),
    ("\ud800", r'"\u{d800}"'),
    ("caf\u00e9 \u03b2 \U0001f600 'q'", "\"caf\u00e9 \u03b2 \U0001f600 'q'\""),
])
def test_rejected_name_is_shown_as_an_escaped_literal(value, literal):
    with pytest.raises(ValueError) as info:
        regressor(aggregator=value)
    assert str(info.value) == "unknown aggregator " + literal


@pytest.mark.parametrize("factory,overrides,prefix", [
    (regressor, dict(criterion="x", mode="x", split_style="x", aggregator="x"),
     "unknown regression criterion"),
    (regressor, dict(mode="x", split_style="x", aggregator="x"), "unknown mode"),
    (regressor, dict(split_style="x", aggregator="x"), "unknown split_style"),
    (classifier, dict(criterion="x", mode="x"), "unknown classification criterion"),
    (objective_classifier, dict(average="x", objective="x", mode="x"), "unknown average"),
    (objective_classifier, dict(objective="x", mode="x"), "unknown objective"),
    (objective_classifier, dict(mode="x", aggregator="x"), "unknown mode"),
])
def test_names_are_validated_in_order(factory, overrides, prefix):
    with pytest.raises(ValueError) as info:
        factory(**overrides)
    assert str(info.value).startswith(prefix + ' "x"')


def test_str_subclass_is_matched_by_value():
    class Name(str):
        pass

    assert regressor(criterion=Name("variance")).depth() == 0


# --- settings take effect -----------------------------------------------------------------


def fitted_tree(factory, x, y, **overrides):
    est = factory(**overrides)
    est.fit(x, y)
    return est.export_tree()


def test_categorical_indices_are_sorted_and_deduplicated():
    rng = np.random.default_rng(1)
    x = rng.integers(0, 4, size=(150, 4)).astype(float)
    y = x[:, 1] * 1.5 + (x[:, 3] == 2) * 3.0 + 0.1 * rng.normal(size=150)
    normalised = fitted_tree(regressor, x, y, categorical=[1, 2, 3])
    assert any(normalised["is_categorical"])
    assert same_tree(fitted_tree(regressor, x, y, categorical=[3, 1, 3, 2]), normalised)
    assert same_tree(fitted_tree(regressor, x, y, categorical=np.array([2, 3, 1, 1])),
                     normalised)
    assert not any(fitted_tree(regressor, x, y, categorical=[])["is_categorical"])
    # An index beyond the columns matches none.
    assert same_tree(fitted_tree(regressor, x, y, categorical=[1, 2, 3, 99]), normalised)


def test_bin_membership_is_the_bin_style():
    x, y = regression_data(n=150)
    for mode in ("strict", "fast"):
        bins = fitted_tree(regressor, x, y, split_style="bin", mode=mode)
        assert same_tree(fitted_tree(regressor, x, y, split_style="bin_membership", mode=mode),
                         bins)


def test_accuracy_ignores_average_pos_label_and_beta():
    x, y = classification_data(n=150)
    reference = fitted_tree(objective_classifier, x, y, objective="accuracy")
    for average in ("binary", "micro", "macro", "weighted"):
        tree = fitted_tree(objective_classifier, x, y, objective="accuracy", average=average,
                           pos_label=2, beta=5.0)
        assert same_tree(tree, reference)


def test_max_depth_none_is_unlimited_and_zero_is_a_leaf():
    x, y = regression_data(n=200)
    deep = regressor(max_depth=None, cv_folds=2)
    deep.fit(x, y)
    assert deep.depth() > 3
    stump = regressor(max_depth=0)
    stump.fit(x, y)
    assert (stump.depth(), stump.n_leaves()) == (0, 1)


# --- no leaks -----------------------------------------------------------------------------


def rss_pages():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


@pytest.mark.no_sanitizer
def test_constructing_and_dropping_many_estimators_keeps_memory_flat():
    good = list(REGRESSOR_ARGS.values())
    bad_cases = [
        dict(criterion="nope"),          # ValueError after every conversion
        dict(max_depth=-1),              # OverflowError
        dict(categorical=[1, 2, "x"]),   # TypeError inside the sequence
        dict(aggregator='q"\n'),         # escaped message
        dict(cv_shuffle=1),              # TypeError
    ]
    bad = [list(dict(REGRESSOR_ARGS, **case).values()) for case in bad_cases]
    good_categorical = dict(REGRESSOR_ARGS, categorical=list(range(50)))

    def churn(rounds):
        for i in range(rounds):
            native.RawRegressor(*good)
            native.RawClassifier(**dict(n_classes=3, criterion="gini",
                                        **{k: v for k, v in good_categorical.items()
                                           if k != "criterion"}))
            try:
                native.RawRegressor(*bad[i % len(bad)])
            except (TypeError, ValueError, OverflowError):
                pass
            try:
                native.RawRegressor(*good, extra=1)
            except TypeError:
                pass

    churn(2000)  # warm-up: caches, arenas, interned strings
    before = rss_pages()
    churn(25000)  # 100,000 constructions, half of them rejected
    after = rss_pages()
    assert after - before < 256, (before, after)  # under 1 MiB of 4 KiB pages


@pytest.mark.no_sanitizer
def test_fitting_predicting_and_failing_repeatedly_keeps_memory_flat():
    x, y = classification_data(n=40, m=3)
    est = classifier(max_depth=2)
    est.fit(x, y)
    tree = est.export_tree()
    bad_x = x.astype(np.float32)

    def churn(rounds):
        for i in range(rounds):
            est.predict(x)
            est.predict_proba(x)
            for call in (lambda: est.predict(bad_x), lambda: est.fit(x, y[:-1]),
                         lambda: est.fit(x, y, 1), lambda: est.predict(x[:, :0][:, :0])):
                try:
                    call()
                except (TypeError, ValueError):
                    pass
            if i % 10 == 0:
                est.fit(x, y)
                native.RawClassifier.from_tree(tree, 3, [])
                est.export_tree()

    churn(500)
    before = rss_pages()
    churn(5000)
    after = rss_pages()
    assert after - before < 256, (before, after)
