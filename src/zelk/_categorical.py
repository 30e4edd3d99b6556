"""Which training columns are categorical, from ``categorical_features`` and the input."""

import numpy as np

from ._params import fail

_EXPECTED = 'None, "from_dtype", or an array-like of column indices, names or booleans'


def categorical_mask(spec, n_features, frame=None):
    """A boolean mask of the categorical columns of the training input (`frame`, when it is
    a DataFrame, gives the column names and dtypes)."""
    names = frame.names if frame is not None else None
    mask = np.zeros(n_features, dtype=bool)
    if spec is None:
        return mask
    if isinstance(spec, str):
        if spec != "from_dtype":
            fail("categorical_features", _EXPECTED, spec)
        if frame is not None:
            for j in range(n_features):
                mask[j] = frame.categorical_dtype(j) is not None
        return mask
    values = np.asarray(spec)
    if values.ndim != 1:
        fail("categorical_features", "a 1-D array-like", spec)
    if values.size == 0:
        return mask
    if values.dtype.kind == "b":
        if values.size != n_features:
            raise ValueError(
                f"categorical_features as a boolean mask has {values.size} entries, "
                f"but X has {n_features} features."
            )
        return values.astype(bool)
    if values.dtype.kind in "iu":
        for index in values.tolist():
            if not -n_features <= index < n_features:
                raise ValueError(
                    f"categorical_features index {index} is out of range for "
                    f"{n_features} features."
                )
            mask[index] = True
        return mask
    if values.dtype.kind in "UO" and all(isinstance(v, str) for v in values.tolist()):
        if names is None:
            raise ValueError(
                "categorical_features names columns, which requires X to be a "
                "DataFrame with column names."
            )
        for name in values.tolist():
            if name not in names:
                raise ValueError(f"categorical_features names an unknown column {name!r}.")
            mask[names.index(name)] = True
        return mask
    fail("categorical_features", _EXPECTED, spec)


def frame_categories(spec, frame):
    """The categorical mask of DataFrame `frame` and the labels of each column to encode
    (those of a categorical dtype, and text columns named categorical)."""
    mask = categorical_mask(spec, frame.shape[1], frame)
    categories = {}
    for j in range(frame.shape[1]):
        kind = frame.categorical_dtype(j)
        if kind is not None and not mask[j]:
            raise ValueError(
                f"Column {frame.names[j]!r} has a {kind} dtype but is not among "
                'categorical_features; name it there or use categorical_features="from_dtype".'
            )
        # Numeric categorical columns hold the codes themselves.
        if mask[j] and (kind is not None or not frame.is_numeric(j)):
            categories[j] = frame.labels(j)
    return mask, categories
