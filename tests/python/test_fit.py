"""fit: accepted arrays, the order of its checks, growth in both modes, determinism."""

import hashlib
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zelk import _zelk as native

from conftest import (
    ALL_CLASSES,
    classification_data,
    classifier,
    data_for,
    make,
    objective_classifier,
    regression_data,
    regressor,
    same_tree,
)

HERE = os.path.dirname(os.path.abspath(__file__))


def fit_export(est, x, y):
    est.fit(x, y)
    return est.export_tree()


# --- argument types -----------------------------------------------------------------------

X_ERRORS = [
    [[1.0, 2.0]],
    np.zeros(4),
    np.zeros((2, 2, 1)),
    np.zeros((4, 2), dtype=np.float32),
    np.zeros((4, 2), dtype=np.int64),
    np.zeros((4, 2), dtype=">f8"),
    np.zeros((4, 2), dtype=np.longdouble),
    np.zeros((4, 2), dtype=np.complex128),
]


@pytest.mark.parametrize("x", X_ERRORS, ids=lambda v: type(v).__name__ + str(getattr(v, "dtype", "")))
def test_bad_x_is_a_type_error_naming_x(estimator_class, x):
    _, y = data_for(estimator_class, n=4)
    with pytest.raises(TypeError, match="^argument 'x': "):
        make(estimator_class).fit(x, y)


def test_bad_y_is_a_type_error_naming_y(estimator_class):
    x, y = data_for(estimator_class, n=4)
    wrong = np.float64 if estimator_class is not native.RawRegressor else np.int64
    for bad in (list(y), y.astype(wrong), y.reshape(2, 2), y.astype(y.dtype.newbyteorder()),
                y.astype(np.int32), y.astype(np.float32)):
        with pytest.raises(TypeError, match="^argument 'y': "):
            make(estimator_class).fit(x, bad)


def test_x_is_converted_before_y():
    with pytest.raises(TypeError, match="^argument 'x': "):
        regressor().fit(np.zeros(3), "not an array")


def test_equivalent_dtypes_are_accepted():
    x, y = classification_data()
    a = fit_export(classifier(), x, y)
    b = fit_export(classifier(), x, y.astype(np.longlong))
    c = fit_export(classifier(), x, y.astype("=i8"))
    assert same_tree(a, b) and same_tree(a, c)


def layouts(x):
    """The same matrix in other memory layouts, none of them C-contiguous copies."""
    n, m = x.shape
    fortran = np.asfortranarray(x)
    wide = np.zeros((2 * n, 3 * m))
    wide[::2, ::3] = x
    reversed_rows = x[::-1].copy()[::-1]
    readonly = x.copy()
    readonly.setflags(write=False)
    raw = np.zeros(x.size * 8 + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, count=x.size, offset=1).reshape(n, m)
    unaligned[...] = x
    return {
        "fortran": fortran,
        "strided": wide[::2, ::3],
        "negative": reversed_rows,
        "negative_both": x[::-1, ::-1].copy()[::-1, ::-1],
        "transposed": np.ascontiguousarray(x.T).T,
        "readonly": readonly,
        "unaligned": unaligned,
    }


@pytest.mark.parametrize("layout", ["fortran", "strided", "negative", "negative_both",
                                    "transposed", "readonly", "unaligned"])
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_any_memory_layout_grows_the_same_tree(estimator_class, layout, mode):
    x, y = data_for(estimator_class, n=90, seed=3)
    reference = fit_export(make(estimator_class, mode=mode), x, y)
    other = layouts(x)[layout]
    assert not other.flags.c_contiguous or layout in ("readonly", "unaligned")
    y_strided = np.repeat(y, 2)[::2]
    y_negative = y[::-1].copy()[::-1]
    for targets in (y, y_strided, y_negative):
        assert same_tree(fit_export(make(estimator_class, mode=mode), other, targets), reference)


def test_zero_strides_and_memmap_are_read_in_place(tmp_path):
    x, y = regression_data(n=60, m=3)
    # A broadcast column: every row reads the same memory.
    constant = np.broadcast_to(np.array([[1.0, 2.0, 3.0]]), (60, 3))
    assert constant.strides[0] == 0
    est = regressor()
    est.fit(constant, y)
    assert est.n_leaves() == 1
    path = tmp_path / "x.dat"
    mapped = np.memmap(path, dtype=np.float64, mode="w+", shape=x.shape)
    mapped[...] = x
    mapped.flush()
    read_only = np.memmap(path, dtype=np.float64, mode="r", shape=x.shape)
    assert same_tree(fit_export(regressor(), read_only, y), fit_export(regressor(), x, y))


# --- checks and their order ---------------------------------------------------------------


@pytest.mark.parametrize("x_shape,y_len,message", [
    ((5, 0), 5, "need at least one feature column"),
    ((0, 0), 3, "need at least one feature column"),
    ((4, 2), 3, "targets length 3 does not match 4 samples"),
    ((0, 3), 2, "targets length 2 does not match 0 samples"),
    ((0, 3), 0, "need at least one sample"),
])
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_shape_errors_in_order(estimator_class, x_shape, y_len, message, mode):
    y = np.zeros(y_len, dtype=np.float64 if estimator_class is native.RawRegressor else np.int64)
    with pytest.raises(ValueError) as info:
        make(estimator_class, mode=mode).fit(np.zeros(x_shape), y)
    assert str(info.value) == message


def test_mae_is_refused_in_fast_mode_before_binning():
    x, y = regression_data()
    est = regressor(criterion="mae", mode="fast", n_bins=70000)  # binning would fail too
    with pytest.raises(ValueError) as info:
        est.fit(x, y)
    assert str(info.value) == "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict"
    strict = regressor(criterion="mae", mode="strict")
    strict.fit(x, y)
    assert strict.n_leaves() > 1


def test_classifiers_have_no_fast_mode_restriction():
    x, y = classification_data()
    for est in (classifier(mode="fast", criterion="entropy"), objective_classifier(mode="fast")):
        est.fit(x, y)
        assert est.n_leaves() > 1


@pytest.mark.parametrize("column,n_bins,message", [
    (np.linspace(0, 1, 50), 65536, "feature 1: 65536 continuous bins exceed fast-mode limit"),
    (np.arange(65536.0), 8, "feature 1: 65536 categories exceed fast-mode limit"),
])
def test_binning_limits_are_raised_as_value_errors(column, n_bins, message):
    n = len(column)
    x = np.column_stack([np.full(n, np.nan), column])
    y = np.zeros(n)
    est = regressor(mode="fast", n_bins=n_bins, categorical=[1] if n > 50 else [])
    with pytest.raises(ValueError) as info:
        est.fit(x, y)
    assert str(info.value) == message
    assert est.n_leaves() == 0


@pytest.mark.parametrize("n_bins", [2**32, 2**40, 2**64 - 1])
def test_strict_bin_counts_whose_codes_would_not_fit_32_bits_are_refused(estimator_class, n_bins):
    x, y = data_for(estimator_class, n=60)
    x[:, 0] = np.nan  # a column without a finite value has no bin to number
    # Categorical and all-missing columns take no bins: the limit does not apply to them.
    est = make(estimator_class, n_bins=n_bins, categorical=[1, 2, 3])
    coded = x.copy()
    coded[:, 1:] = np.round(np.abs(coded[:, 1:]))
    est.fit(coded, y)
    assert est.n_leaves() > 1
    before = est.export_tree()
    est_continuous = make(estimator_class, n_bins=n_bins)
    for target, message in [(est_continuous, "feature 1"), (est, "feature 0")]:
        if target is est:
            x[:, 0] = 1.0  # now the categorical columns' neighbour holds a finite value
        with pytest.raises(ValueError) as info:
            target.fit(x, y)
        assert str(info.value) == f"{message}: {n_bins} continuous bins exceed strict-mode limit"
    assert same_tree(est.export_tree(), before)
    assert est_continuous.n_leaves() == 0


@pytest.mark.parametrize("n_bins", [2**24, 2**32 - 1])
def test_strict_mode_takes_huge_bin_counts_in_memory_of_the_data(estimator_class, n_bins):
    # The edge lists grow with the values, not with n_bins: this would need gigabytes per
    # list otherwise. With more bins than values every value is its own bin, as with 4 * n.
    x, y = data_for(estimator_class, n=300)
    huge, plain = make(estimator_class, n_bins=n_bins), make(estimator_class, n_bins=4 * 300)
    huge.fit(x, y)
    plain.fit(x, y)
    assert huge.n_leaves() > 1
    np.testing.assert_array_equal(huge.predict(x), plain.predict(x))


# Under ASan, operator new stops the process on impossible sizes instead of throwing.
@pytest.mark.no_sanitizer
@pytest.mark.parametrize("mode", ["strict", "fast"])
@pytest.mark.parametrize("n_classes", [2**40, 2**62, 2**64 - 1])
def test_class_tables_that_cannot_exist_are_memory_errors(classifier_class, mode, n_classes):
    x, y = classification_data(n=40)
    big = make(classifier_class, n_classes=n_classes, mode=mode)
    for _ in range(2):
        with pytest.raises(MemoryError):
            big.fit(x, y)
        with pytest.raises(ValueError, match="^estimator is not fitted$"):
            big.predict(x)


def test_fast_mode_refuses_more_samples_than_32_bits_can_number():
    n = 2**32
    x = np.broadcast_to(np.zeros((1, 1)), (n, 1))  # no memory behind the rows
    y = np.broadcast_to(np.zeros(1), (n,))
    with pytest.raises(ValueError) as info:
        regressor(mode="fast").fit(x, y)
    assert str(info.value) == "fast mode supports at most 4294967295 samples, got 4294967296"


def test_negative_labels_become_class_zero(classifier_class):
    x = np.zeros((3, 1))
    est = make(classifier_class, max_depth=0)
    est.fit(x, np.array([-1, 0, 2], dtype=np.int64))
    np.testing.assert_array_equal(est.predict_proba(x[:1]), [[2 / 3, 0.0, 1 / 3]])
    assert est.predict(x[:1]).tolist() == [0]
    est.fit(x, np.array([-5, 2, 2], dtype=np.int64))
    assert est.predict(x[:1]).tolist() == [2]


def test_labels_beyond_n_classes_are_accepted():
    est = classifier(n_classes=2, max_depth=0)
    est.fit(np.zeros((4, 1)), np.array([1, 5, 5, 0], dtype=np.int64))
    # Out-of-range labels are in no class and out of the total.
    np.testing.assert_array_equal(est.predict_proba(np.zeros((1, 1))), [[0.5, 0.5]])


@pytest.mark.parametrize("bad_fit", [
    lambda est, x, y: est.fit(x[:, :0], y),
    lambda est, x, y: est.fit(x, y[:-1]),
    lambda est, x, y: est.fit(x.astype(np.float32), y),
    lambda est, x, y: est.fit(x, y, x),
])
def test_failed_fit_keeps_the_previous_tree(estimator_class, bad_fit):
    x, y = data_for(estimator_class, n=100)
    est = make(estimator_class, max_depth=3)
    est.fit(x, y)
    before = (est.export_tree(), est.predict(x), est.depth(), est.n_leaves())
    with pytest.raises((TypeError, ValueError)):
        bad_fit(est, x[::-1].copy(), y[::-1].copy())
    assert same_tree(est.export_tree(), before[0])
    np.testing.assert_array_equal(est.predict(x), before[1])
    assert (est.depth(), est.n_leaves()) == before[2:]


def test_failed_binning_keeps_an_unfitted_estimator_unfitted_and_refit_replaces():
    x, y = regression_data()
    est = regressor(mode="fast", n_bins=65536)
    with pytest.raises(ValueError):
        est.fit(x, y)
    with pytest.raises(ValueError, match="^estimator is not fitted$"):
        est.predict(x)
    est2 = regressor(max_depth=1)
    est2.fit(x, y)
    est2.fit(x, -y)
    stump = regressor(max_depth=1)
    stump.fit(x, -y)
    assert same_tree(est2.export_tree(), stump.export_tree())


# --- every setting grows and predicts -----------------------------------------------------

AGGREGATORS = ["mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"]
STYLES = ["threshold", "bin", "bin_membership"]
MODES = ["strict", "fast"]


def check_classifier_outputs(est, x, y, n_classes):
    pred = est.predict(x)
    proba = est.predict_proba(x)
    assert pred.dtype == np.int64 and proba.shape == (len(x), n_classes)
    assert set(pred.tolist()) <= set(range(n_classes))
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    np.testing.assert_array_equal(pred, proba.argmax(axis=1))
    assert np.mean(pred == y) > np.bincount(y).max() / len(y)  # beats a constant answer


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("aggregator", AGGREGATORS)
def test_regressor_grows_with_every_aggregator_and_style(mode, style, aggregator):
    x, y = regression_data(n=160)
    est = regressor(mode=mode, split_style=style, aggregator=aggregator, max_depth=4,
                    categorical=[3])
    est.fit(x, y)
    pred = est.predict(x)
    assert pred.dtype == np.float64 and np.all(np.isfinite(pred))
    assert est.n_leaves() > 1
    assert np.mean((pred - y) ** 2) < np.var(y)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("criterion", ["mse", "variance", "mae"])
def test_regressor_grows_with_every_criterion(mode, criterion):
    x, y = regression_data(n=160)
    est = regressor(mode=mode, criterion=criterion, max_depth=4)
    if mode == "fast" and criterion == "mae":
        with pytest.raises(ValueError):
            est.fit(x, y)
        return
    est.fit(x, y)
    assert np.mean((est.predict(x) - y) ** 2) < np.var(y)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("criterion", ["gini", "entropy"])
@pytest.mark.parametrize("aggregator", AGGREGATORS)
def test_classifier_grows_with_every_criterion_aggregator_and_style(mode, style, criterion,
                                                                    aggregator):
    x, y = classification_data(n=160)
    est = classifier(mode=mode, split_style=style, criterion=criterion, aggregator=aggregator,
                     max_depth=4, categorical=[2])
    est.fit(x, y)
    check_classifier_outputs(est, x, y, 3)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("objective", ["accuracy", "precision", "recall", "f1", "fbeta"])
@pytest.mark.parametrize("average", ["binary", "micro", "macro", "weighted"])
def test_objective_classifier_grows_with_every_objective_and_average(mode, objective, average):
    n_classes = 2 if average == "binary" else 3
    x, y = classification_data(n=160, n_classes=n_classes)
    est = objective_classifier(mode=mode, objective=objective, average=average,
                               n_classes=n_classes, beta=0.5, max_depth=4)
    est.fit(x, y)
    check_classifier_outputs(est, x, y, n_classes)


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("aggregator", AGGREGATORS)
def test_objective_classifier_grows_with_every_aggregator_and_style(style, aggregator):
    x, y = classification_data(n=160)
    for mode in MODES:
        est = objective_classifier(mode=mode, split_style=style, aggregator=aggregator,
                                   max_depth=4)
        est.fit(x, y)
        check_classifier_outputs(est, x, y, 3)


# --- determinism --------------------------------------------------------------------------

DIGEST_SCRIPT = """
import hashlib
import numpy as np
from conftest import (classification_data, classifier, objective_classifier,
                      regression_data, regressor)
x, y = regression_data(n=150, seed=11)
xc, yc = classification_data(n=150, seed=11)
digest = hashlib.sha256()
for mode in ("strict", "fast"):
    r = regressor(mode=mode, categorical=[2])
    r.fit(x, y)
    digest.update(r.predict(x).tobytes())
    for est in (classifier(mode=mode), objective_classifier(mode=mode)):
        est.fit(xc, yc)
        digest.update(est.predict(xc).tobytes())
        digest.update(est.predict_proba(xc).tobytes())
print(digest.hexdigest())
"""


def test_same_data_gives_bit_identical_predictions_in_separate_interpreters():
    digests = []
    for _ in range(2):
        result = subprocess.run([sys.executable, "-c", DIGEST_SCRIPT], capture_output=True,
                                text=True, timeout=120, cwd=HERE)
        assert result.returncode == 0, result.stderr
        digests.append(result.stdout.strip())
    namespace = {}
    import contextlib
    import io
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(DIGEST_SCRIPT, namespace)
    assert digests[0] == digests[1] == out.getvalue().strip()
    assert len(digests[0]) == 64


@pytest.mark.parametrize("mode", MODES)
def test_thread_settings_do_not_change_the_tree(estimator_class, mode):
    x, y = data_for(estimator_class, n=300, m=7, seed=4)
    serial = make(estimator_class, mode=mode)
    reference = fit_export(serial, x, y)
    for n_threads in (2, 3, 8):
        est = make(estimator_class, mode=mode, parallel=True, n_threads=n_threads,
                   parallel_min_samples=16)
        assert same_tree(fit_export(est, x, y), reference), n_threads
        np.testing.assert_array_equal(est.predict(x), serial.predict(x))


@pytest.mark.parametrize("mode", MODES)
def test_without_shuffle_the_seed_plays_no_part(estimator_class, mode):
    x, y = data_for(estimator_class, n=150, seed=8)
    trees = [fit_export(make(estimator_class, mode=mode, cv_shuffle=False, cv_seed=seed), x, y)
             for seed in (0, 1, 2**64 - 1)]
    assert same_tree(trees[0], trees[1]) and same_tree(trees[0], trees[2])
    shuffled = [fit_export(make(estimator_class, mode=mode, cv_shuffle=True, cv_seed=seed), x, y)
                for seed in (0, 1, 2, 3)]
    # With shuffling the seed matters for at least one of these seeds.
    assert not all(same_tree(shuffled[0], t) for t in shuffled[1:])
