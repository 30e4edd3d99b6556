"""Monotonic constraints through the package: predictions follow them along each constrained
feature, constraints of 0 grow the unconstrained tree bit for bit, and what cannot be
constrained is refused naming the parameter."""

import itertools
import pickle
import re

import numpy as np
import pytest
from sklearn.base import clone

from zelk import ZELKClassifier, ZELKRegressor, _engine

N_ROWS, N_COLS = 300, 4
GRID = np.linspace(-3.5, 3.5, 57)


def wiggly_data(seed, weighted):
    """Targets that rise with feature 0, fall with 1 and wiggle with 2 (so that a free tree
    breaks any order along it); 10% missing cells in features 1 and 3; random weights, some
    zero."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(N_ROWS, N_COLS))
    signal = x[:, 0] - 0.5 * x[:, 1] + np.sin(3.0 * x[:, 2]) + 0.5 * rng.normal(size=N_ROWS)
    for j in (1, 3):
        x[rng.random(N_ROWS) < 0.1, j] = np.nan
    weights = None
    if weighted:
        weights = np.where(rng.random(N_ROWS) < 0.1, 0.0, 0.5 + rng.random(N_ROWS))
    return x, signal, (signal > 0).astype(int), weights


def random_constraints(rng):
    """At least one non-zero entry; features 0 and 1 never against their trend, so the tree
    still has something to learn."""
    while True:
        cst = [int(rng.choice([0, 1])), int(rng.choice([-1, 0])), int(rng.choice([-1, 0, 1])),
               int(rng.choice([-1, 0, 1]))]
        if any(cst):
            return cst


def along(est, x, feature):
    """The predictions (the probability of classes_[1] for the classifier) of each row of `x`
    with `feature` moved through GRID, one row of the result per row of `x`."""
    rows = np.repeat(x, len(GRID), axis=0)
    rows[:, feature] = np.tile(GRID, len(x))
    if isinstance(est, ZELKClassifier):
        out = est.predict_proba(rows)[:, 1]
    else:
        out = est.predict(rows)
    return out.reshape(len(x), len(GRID))


def follows(est, x, feature, direction):
    steps = np.diff(along(est, x, feature), axis=1)
    return bool(np.all(steps * direction >= 0.0))


CASES = list(itertools.product(["strict", "fast"], ["regressor", "classifier"],
                               ["tree", "prune", "candidates"], [False, True]))


def make(task, **params):
    if task == "regressor":
        return ZELKRegressor(min_samples_leaf=3, **params)
    return ZELKClassifier(min_samples_leaf=3, **params)


@pytest.mark.parametrize("mode, task, validation, weighted", CASES)
def test_predictions_follow_random_constraints_and_zeros_constrain_nothing(
        mode, task, validation, weighted):
    seed = CASES.index((mode, task, validation, weighted))
    rng = np.random.default_rng(100 + seed)
    x, y_reg, y_cls, w = wiggly_data(seed, weighted)
    y = y_reg if task == "regressor" else y_cls
    settings = dict(mode=mode, validation=validation, cv_seed=3)
    cst = random_constraints(rng)
    est = make(task, monotonic_cst=cst, **settings).fit(x, y, sample_weight=w)
    # A lone leaf would pass trivially.
    assert est.get_n_leaves() > 1
    probe = x[::9]  # missing cells in the other features included
    for feature, direction in enumerate(cst):
        if direction != 0:
            assert follows(est, probe, feature, direction), (feature, direction)

    free = make(task, **settings).fit(x, y, sample_weight=w)
    zeros = make(task, monotonic_cst=np.zeros(N_COLS, dtype=np.int64), **settings)
    zeros.fit(x, y, sample_weight=w)
    # repr keeps every bit of a float (and the sign of zero).
    assert repr(zeros.export_tree()) == repr(free.export_tree())


@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_the_check_catches_a_free_tree_breaking_the_order(mode):
    x, y, _, _ = wiggly_data(0, False)
    free = ZELKRegressor(min_samples_leaf=3, mode=mode).fit(x, y)
    assert not follows(free, x[::9], 2, 1) and not follows(free, x[::9], 2, -1)
    rising = ZELKRegressor(min_samples_leaf=3, mode=mode, monotonic_cst=[0, 0, 1, 0]).fit(x, y)
    assert follows(rising, x[::9], 2, 1)


def test_constraints_survive_clone_pickle_and_the_exported_tree():
    x, y, _, _ = wiggly_data(1, False)
    est = ZELKRegressor(monotonic_cst=(1, -1, 1, 0)).fit(x, y)
    assert clone(est).get_params()["monotonic_cst"] == (1, -1, 1, 0)
    again = pickle.loads(pickle.dumps(est))
    assert again.monotonic_cst == (1, -1, 1, 0)
    np.testing.assert_array_equal(again.predict(x), est.predict(x))
    rebuilt = _engine.Regressor.from_tree(est.export_tree())
    np.testing.assert_array_equal(rebuilt.predict(x), est.predict(x))
    assert follows(again, x[::9], 2, 1)


def test_string_labels_constrain_the_probability_of_the_greater_label():
    x, _, y, _ = wiggly_data(2, False)
    labels = np.where(y == 1, "yes", "no")
    est = ZELKClassifier(monotonic_cst=[0, 0, -1, 0]).fit(x, labels)
    assert est.classes_.tolist() == ["no", "yes"]
    assert follows(est, x[::9], 2, -1)


# --- refusals -----------------------------------------------------------------------------

X3 = np.random.default_rng(5).normal(size=(60, 3))
Y2 = (X3[:, 0] > 0).astype(int)


@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("estimator, y, message", [
    (ZELKClassifier(monotonic_cst=[1, 0, 0]), np.arange(60) % 3,
     "monotonic_cst is supported for two classes only, but y has 3 classes"),
    (ZELKClassifier(monotonic_cst=[0, 0, 0]), np.arange(60) % 3,
     "monotonic_cst is supported for two classes only"),
    (ZELKClassifier(objective="f1", monotonic_cst=[1, 0, 0]), Y2,
     "monotonic_cst needs an impurity criterion: the objective classifier (objective='f1')"),
    (ZELKClassifier(categorical_features=[1], monotonic_cst=[0, -1, 0]), Y2,
     "monotonic_cst constrains the categorical feature 1"),
    (ZELKRegressor(categorical_features=[True, False, True], monotonic_cst=[0, 1, 1]),
     X3[:, 0], "monotonic_cst constrains the categorical feature 2"),
])
def test_what_cannot_be_constrained_is_refused_naming_the_parameter(mode, estimator, y, message):
    x = np.round(np.abs(X3) * 2)  # category codes are fine numbers too
    with pytest.raises(ValueError, match=re.escape(message)):
        estimator.set_params(mode=mode).fit(x, y)


def test_a_categorical_feature_may_take_zero_and_the_rest_be_constrained():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"a": X3[:, 0], "c": pd.Categorical(np.arange(60) % 3)})
    est = ZELKRegressor(monotonic_cst=[1, 0]).fit(frame, X3[:, 0])
    assert est.predict(frame).shape == (60,)
    with pytest.raises(ValueError, match="monotonic_cst constrains the categorical feature 1"):
        ZELKRegressor(monotonic_cst=[1, 1]).fit(frame, X3[:, 0])


@pytest.mark.parametrize("factory, kwargs, error, message", [
    (_engine.Regressor, dict(monotonic_cst=[0, 2]), ValueError,
     "monotonic_cst must hold -1, 0 or 1 per feature, got 2 at index 1"),
    (_engine.Regressor, dict(monotonic_cst=[-2**70]), ValueError,
     "monotonic_cst must hold -1, 0 or 1 per feature, got -1180591620717411303424 at index 0"),
    (_engine.Regressor, dict(monotonic_cst="1"), TypeError, "argument 'monotonic_cst': "),
    (_engine.Regressor, dict(monotonic_cst=[1.0]), TypeError, "argument 'monotonic_cst': "),
    (_engine.Classifier, dict(n_classes=3, monotonic_cst=[1]), ValueError,
     "monotonic_cst is supported for at most two classes, got n_classes=3"),
    (_engine.ObjectiveClassifier, dict(monotonic_cst=[0]), ValueError,
     "monotonic_cst is not supported by the objective classifier"),
    (_engine.Classifier, dict(categorical=[0, 2], monotonic_cst=[0, 1, -1]), ValueError,
     "monotonic_cst constrains feature 2, which is categorical"),
])
def test_the_engine_refuses_constraints_at_construction(factory, kwargs, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        factory(**kwargs)


def test_the_engine_takes_none_or_a_sequence_and_checks_its_length_at_fit():
    x = np.ascontiguousarray(X3)
    y = X3[:, 0].copy()
    for constraints in (None, [], np.array([1, 0, -1], dtype=np.int8), (True, False, 0)):
        _engine.Regressor(monotonic_cst=constraints).fit(x, y)
    est = _engine.Regressor(monotonic_cst=[1, 0])
    with pytest.raises(ValueError, match="^monotonic_cst has 2 entries but x has 3 columns$"):
        est.fit(x, y)
    assert est.n_leaves() == 0
