"""DataFrames as float64 feature matrices.

pandas frames (NumPy, nullable and pyarrow-backed columns) and polars frames are read
column by column: numbers and booleans become floats with missing values as NaN, and
categorical columns become category codes. Neither library is imported here unless the
input already comes from it. Whatever a column holds, reading it fails only with a ValueError
of ours that names the column: the libraries' own exceptions do not pass through.
"""

from __future__ import annotations

import math
import numbers
import sys

import numpy as np


def as_frame(X):
    """A column reader for a pandas or polars DataFrame `X`; None for any other input."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(X, pd.DataFrame):
        return _PandasFrame(X, pd)
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(X, pl.DataFrame):
        return _PolarsFrame(X, pl)
    return None


# What pandas' infer_dtype calls an object column whose values are all numbers (or missing).
_NUMBER_KINDS = frozenset(
    {"integer", "floating", "mixed-integer-float", "boolean", "decimal", "empty"}
)


def _codes_of_numbers(values, labels):
    """The positions in `labels` of the float `values` that equal a numeric label; NaN for
    every other value. Both libraries read a column of numbers in place of categorical labels
    this way, so a label-encoded column that arrives as numbers is matched by value alike."""
    keys, codes = [], []
    for code, label in enumerate(labels):
        if isinstance(label, numbers.Real) and not math.isnan(label):
            keys.append(float(label))
            codes.append(float(code))
    out = np.full(values.shape, np.nan)
    if not keys:
        return out
    keys, codes = np.asarray(keys), np.asarray(codes)
    order = np.argsort(keys, kind="stable")  # equal keys: the lowest code first
    keys, codes = keys[order], codes[order]
    at = np.minimum(np.searchsorted(keys, values), keys.size - 1)
    hit = keys[at] == values  # never for NaN
    out[hit] = codes[at[hit]]
    return out


def _same_labels(a, b):
    """Whether two label lists are equal entry by entry in value and type: pandas matches no
    boolean with a number (True == 1 notwithstanding)."""
    return len(a) == len(b) and all(type(x) is type(y) and x == y for x, y in zip(a, b))


def _ours(error):
    """Marks `error` as one of this module's, which the column guard passes on unchanged."""
    error.zelk_column_error = True
    return error


def _first_non_number(values):
    for value in values:
        if value is None or (isinstance(value, float) and math.isnan(value)):
            continue
        try:
            float(value)
        except (TypeError, ValueError):
            return value
    return None


class _Frame:
    """What the estimators need of a DataFrame, whatever its library."""

    def __init__(self, X):
        self.X = X
        self.names = [str(name) for name in X.columns]
        self.shape = tuple(X.shape)

    def categorical_dtype(self, j):
        """The name of column j's categorical dtype ("pandas category", ...), or None."""
        raise NotImplementedError

    def is_numeric(self, j):
        """Whether column j holds numbers or booleans, which are used as they are."""
        raise NotImplementedError

    def labels(self, j):
        """The categories of column j, whose positions become the category codes."""
        return self._guard(j, self._labels, j)

    def _labels(self, j):
        raise NotImplementedError

    def _codes(self, j, labels):
        """Column j's positions in `labels` as floats; NaN for missing and unseen values."""
        raise NotImplementedError

    def _numbers(self, j):
        """Column j as floats with missing values as NaN."""
        raise NotImplementedError

    def features(self, categories):
        """The frame as a float64 matrix; the columns in `categories` (index -> labels)
        are encoded by their labels, all others must hold numbers."""
        out = np.empty(self.shape, dtype=np.float64, order="F")
        for j in range(self.shape[1]):
            if j in categories:
                out[:, j] = self._guard(j, self._codes, j, categories[j])
            else:
                out[:, j] = self._guard(j, self._numbers, j)
        return out

    def _dtype(self, j):
        raise NotImplementedError

    def _guard(self, j, read, *args):
        """`read(*args)`, with any failure of the frame's library turned into a ValueError
        that names column j."""
        try:
            return read(*args)
        except MemoryError:
            raise
        except Exception as error:
            if getattr(error, "zelk_column_error", False):
                raise
            detail = " ".join(str(error).split()) or type(error).__name__
            raise _ours(
                ValueError(
                    f"Column {self.names[j]!r} of dtype {self._dtype(j)} cannot be read as "
                    f"numbers or categories: {detail}"
                )
            ) from None

    def _not_a_number(self, j, value):
        return _ours(
            ValueError(
                f"Column {self.names[j]!r} has the non-numeric value {value!r}; name it in "
                "categorical_features to use it as a categorical feature."
            )
        )

    def _bad_dtype(self, j, dtype):
        return _ours(
            ValueError(
                f"Column {self.names[j]!r} has the dtype {dtype}, which is neither numeric, "
                "boolean nor categorical."
            )
        )


class _PandasFrame(_Frame):
    def __init__(self, X, pd):
        super().__init__(X)
        self.pd = pd
        self.types = pd.api.types
        self._columns = {}

    def _column(self, j):
        # By position (column names may repeat), once: every reading of a column asks for it.
        column = self._columns.get(j)
        if column is None:
            column = self._columns[j] = self.X.iloc[:, j]
        return column

    def _dtype(self, j):
        return self._column(j).dtype

    def _arrow_dictionary(self, dtype):
        if not isinstance(dtype, self.pd.ArrowDtype):
            return False
        import pyarrow  # pandas has it when a column has an arrow dtype

        return pyarrow.types.is_dictionary(dtype.pyarrow_dtype)

    def categorical_dtype(self, j):
        dtype = self._column(j).dtype
        if isinstance(dtype, self.pd.CategoricalDtype):
            return "pandas category"
        if self._arrow_dictionary(dtype):
            return "pyarrow dictionary"
        return None

    def is_numeric(self, j):
        column = self._column(j)
        dtype = column.dtype
        types = self.types
        if dtype == object:
            # Numbers are numbers (category codes, if categorical) whatever the column's dtype.
            return types.infer_dtype(column, skipna=True) in _NUMBER_KINDS
        return types.is_bool_dtype(dtype) or (
            types.is_numeric_dtype(dtype) and not types.is_complex_dtype(dtype)
        )

    def _labels(self, j):
        column = self._column(j)
        if isinstance(column.dtype, self.pd.CategoricalDtype):
            return column.cat.categories.tolist()
        if self._arrow_dictionary(column.dtype):
            # Decoded first: the dictionary may differ between chunks.
            column = column.astype(self.pd.ArrowDtype(column.dtype.pyarrow_dtype.value_type))
        # Sorted distinct values, as pandas orders the categories of plain values.
        return self.pd.Categorical(column).categories.tolist()

    def _codes(self, j, labels):
        column = self._column(j)
        dtype = column.dtype
        if isinstance(dtype, self.pd.CategoricalDtype):
            codes = column.cat.codes.to_numpy()
            own = column.cat.categories.tolist()
            if not _same_labels(own, labels):  # else its codes are the positions, as fitted
                # Map the column's own categories once; its code -1 (missing) takes the last
                # entry.
                lookup = np.append(self.pd.Index(labels).get_indexer(own), -1)
                codes = lookup[codes]
        elif self.is_numeric(j):
            return _codes_of_numbers(self._numbers(j), labels)
        elif (
            dtype == object
            or self.types.is_string_dtype(dtype)
            or self._arrow_dictionary(dtype)
        ):
            codes = self.pd.Index(labels).get_indexer(column)
        else:
            raise self._bad_dtype(j, dtype)
        return np.where(codes >= 0, codes, np.nan)

    def _numbers(self, j):
        column = self._column(j)
        dtype = column.dtype
        if self.is_numeric(j):
            return column.to_numpy(dtype=np.float64, na_value=np.nan)
        types = self.types
        if (
            types.is_complex_dtype(dtype)
            or types.is_datetime64_any_dtype(dtype)
            or types.is_timedelta64_dtype(dtype)
            or isinstance(dtype, (self.pd.PeriodDtype, self.pd.IntervalDtype))
        ):
            raise self._bad_dtype(j, dtype)
        try:  # object columns of numbers and None are fine
            return column.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            value = _first_non_number(column.tolist())
            raise self._not_a_number(j, value if value is not None else dtype) from None


class _PolarsFrame(_Frame):
    def __init__(self, X, pl):
        super().__init__(X)
        self.pl = pl

    def _categorical(self, dtype):
        return isinstance(dtype, (self.pl.Categorical, self.pl.Enum))

    def _dtype(self, j):
        return self.X.dtypes[j]

    def categorical_dtype(self, j):
        dtype = self.X.dtypes[j]
        if isinstance(dtype, self.pl.Enum):
            return "polars Enum"
        if isinstance(dtype, self.pl.Categorical):
            return "polars Categorical"
        return None

    def is_numeric(self, j):
        dtype = self.X.dtypes[j]
        return dtype.is_numeric() or dtype == self.pl.Boolean or dtype == self.pl.Null

    def _labels(self, j):
        column = self.X.to_series(j)
        if isinstance(column.dtype, self.pl.Enum):
            return column.dtype.categories.to_list()
        if isinstance(column.dtype, self.pl.Categorical):
            # Sorted strings, as for pandas, rather than the order values were first seen.
            column = column.cast(self.pl.String)
        return column.drop_nulls().unique().sort().to_list()

    def _codes(self, j, labels):
        column = self.X.to_series(j)
        if self._categorical(column.dtype):
            column = column.cast(self.pl.String)
        if column.dtype == self.pl.String:
            # Text matches only text labels, as in pandas.
            mapping = {
                label: float(code) for code, label in enumerate(labels) if isinstance(label, str)
            }
            if not mapping:
                return np.full(len(column), np.nan)
            coded = column.replace_strict(mapping, default=None, return_dtype=self.pl.Float64)
            return coded.to_numpy()
        if self.is_numeric(j):
            return _codes_of_numbers(self._numbers(j), labels)
        raise self._bad_dtype(j, column.dtype)

    def _numbers(self, j):
        column = self.X.to_series(j)
        if self.is_numeric(j):
            return column.cast(self.pl.Float64).to_numpy()
        if column.dtype == self.pl.String or self._categorical(column.dtype):
            column = column.cast(self.pl.String)
            try:  # text that spells numbers is read as numbers, as from NumPy and pandas
                return column.cast(self.pl.Float64).to_numpy()
            except self.pl.exceptions.PolarsError:
                unread = column.cast(self.pl.Float64, strict=False).is_null() & column.is_not_null()
                raise self._not_a_number(j, column.filter(unread)[0]) from None
        raise self._bad_dtype(j, column.dtype)
