"""Shared helpers for the tests of the native module: constructor settings, estimator
factories and small random data sets."""

import numpy as np
import pytest

from zelk import _zelk as native


def pytest_configure(config):
    # ./scripts/sanitize runs the suite under AddressSanitizer with `-m "not no_sanitizer"`.
    # Mark with @pytest.mark.no_sanitizer every test that measures the process itself
    # (resident memory, address-space limits, allocation failures): the sanitizer's shadow
    # memory, quarantine and reserved address space make such measurements meaningless there.
    config.addinivalue_line(
        "markers", "no_sanitizer: measures the process itself; left out of the sanitizer run")

# The 18 settings every class shares, in constructor order.
COMMON = dict(
    max_depth=None,
    min_samples_split=2,
    min_samples_leaf=1,
    min_impurity_decrease=0.0,
    n_bins=8,
    cv_folds=3,
    cv_seed=7,
    cv_shuffle=True,
    mode="strict",
    split_style="threshold",
    aggregator="mean",
    agg_frac=0.1,
    agg_eps=1e-9,
    agg_lambda=1.0,
    parallel=False,
    n_threads=1,
    parallel_min_samples=512,
    categorical=[],
)

REGRESSOR_ARGS = dict(criterion="mse", **COMMON)
CLASSIFIER_ARGS = dict(n_classes=3, criterion="gini", **COMMON)
OBJECTIVE_ARGS = dict(n_classes=3, objective="f1", average="macro", pos_label=1, beta=1.0,
                      **COMMON)

REGRESSOR_PARAMS = list(REGRESSOR_ARGS)
CLASSIFIER_PARAMS = list(CLASSIFIER_ARGS)
OBJECTIVE_PARAMS = list(OBJECTIVE_ARGS)

DEFAULT_ARGS = {
    native.RawRegressor: REGRESSOR_ARGS,
    native.RawClassifier: CLASSIFIER_ARGS,
    native.RawObjectiveClassifier: OBJECTIVE_ARGS,
}
ALL_CLASSES = list(DEFAULT_ARGS)
CLASSIFIERS = [native.RawClassifier, native.RawObjectiveClassifier]


def arguments(cls, **overrides):
    """The full keyword arguments of `cls` with `overrides` applied."""
    args = dict(DEFAULT_ARGS[cls])
    unknown = set(overrides) - set(args)
    assert not unknown, unknown
    args.update(overrides)
    return args


def make(cls, **overrides):
    """`cls` built positionally from the defaults with `overrides`."""
    return cls(*arguments(cls, **overrides).values())


def regressor(**overrides):
    return make(native.RawRegressor, **overrides)


def classifier(**overrides):
    return make(native.RawClassifier, **overrides)


def objective_classifier(**overrides):
    return make(native.RawObjectiveClassifier, **overrides)


def regression_data(n=120, m=4, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = 2.0 * x[:, 0] - x[:, 1] ** 2 + 0.3 * rng.normal(size=n)
    return x, y


def classification_data(n=120, m=4, n_classes=3, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    score = x[:, 0] + 0.5 * x[:, 1] + 0.3 * rng.normal(size=n)
    edges = np.quantile(score, np.linspace(0, 1, n_classes + 1)[1:-1])
    y = np.searchsorted(edges, score).astype(np.int64)
    return x, y


def data_for(cls, **kwargs):
    if cls is native.RawRegressor:
        return regression_data(**kwargs)
    return classification_data(**kwargs)


def same_tree(a, b):
    """Whether two exported tree dictionaries are equal, with NaN equal to NaN."""
    if a.keys() != b.keys():
        return False
    for key in a:
        left, right = a[key], b[key]
        if isinstance(left, list):
            if len(left) != len(right):
                return False
            for u, v in zip(left, right):
                if isinstance(u, list):
                    if not np.array_equal(u, v, equal_nan=True):
                        return False
                elif not (u == v or (u != u and v != v)):
                    return False
        elif left != right:
            return False
    return True


@pytest.fixture(params=ALL_CLASSES, ids=lambda c: c.__name__)
def estimator_class(request):
    return request.param


@pytest.fixture(params=CLASSIFIERS, ids=lambda c: c.__name__)
def classifier_class(request):
    return request.param
