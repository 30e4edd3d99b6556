"""scikit-learn's own estimator test suite, run on both estimators in both growth modes."""

from sklearn.utils.estimator_checks import parametrize_with_checks

from zelk import ZELKClassifier, ZELKRegressor

# No check is skipped or expected to fail: every estimator below must pass them all.
ESTIMATORS = [
    ZELKRegressor(),
    ZELKRegressor(mode="fast", n_jobs=2, parallel_min_samples=1),
    ZELKClassifier(),
    ZELKClassifier(mode="fast", criterion="entropy"),
    ZELKClassifier(objective="f1", average="macro"),
]


@parametrize_with_checks(ESTIMATORS)
def test_sklearn_estimator_checks(estimator, check, monkeypatch):
    # The array-API input check skips itself unless this variable is set; scikit-learn
    # reads it when the check runs, and with NumPy inputs nothing else depends on it.
    monkeypatch.setenv("SCIPY_ARRAY_API", "1")
    check(estimator)
