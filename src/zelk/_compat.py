"""scikit-learn's input checks across its versions (``validate_data`` came with 1.6, and
``force_all_finite`` became ``ensure_all_finite``)."""

import inspect

import numpy as np
from sklearn.utils.validation import check_array, check_X_y

try:  # scikit-learn >= 1.6
    from sklearn.utils.validation import validate_data as _sk_validate_data
except ImportError:  # pragma: no cover - older scikit-learn
    _sk_validate_data = None

_FINITE_KW = (
    "ensure_all_finite"
    if "ensure_all_finite" in inspect.signature(check_array).parameters
    else "force_all_finite"
)


def validate(estimator, X, y=None, reset=True, **kwargs):
    """scikit-learn's checks of `X` (and `y`) as float64, NaN allowed; `reset` records the
    feature count and names, otherwise they are checked."""
    kwargs.setdefault(_FINITE_KW, "allow-nan")
    kwargs.setdefault("dtype", np.float64)
    if _sk_validate_data is not None:
        if y is None and not reset:
            return _sk_validate_data(estimator, X, reset=reset, **kwargs)
        return _sk_validate_data(estimator, X, y, reset=reset, **kwargs)
    if y is None and not reset:  # pragma: no cover - older scikit-learn
        return estimator._validate_data(X, reset=reset, **kwargs)
    return estimator._validate_data(X, y, reset=reset, **kwargs)  # pragma: no cover


def check_columns(estimator, X, reset):
    """Records (`reset`) or checks the column names and count of DataFrame `X`."""
    if _sk_validate_data is not None:
        _sk_validate_data(estimator, X, reset=reset, skip_check_array=True)
    else:  # pragma: no cover - older scikit-learn
        estimator._validate_data(X, reset=reset, cast_to_ndarray=False)


def check_features(estimator, features, y=None, **kwargs):
    """The checks of `validate` on a DataFrame already read as a float matrix."""
    kwargs.setdefault(_FINITE_KW, "allow-nan")
    kwargs.setdefault("dtype", np.float64)
    if y is None:
        return check_array(features, input_name="X", estimator=estimator, **kwargs)
    return check_X_y(features, y, estimator=estimator, **kwargs)
