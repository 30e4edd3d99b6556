"""Input containers: pandas frames with NumPy, nullable and pyarrow-backed columns, and
polars frames, grow the trees of the equivalent float array and predict alike."""

import os
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import same_tree

from zelk import ZELKClassifier, ZELKRegressor

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

NAMES = ["count", "ratio", "flag", "colour"]
SORTED = ["blue", "green", "red"]
DECLARED = ["red", "blue", "green"]


def _raw(n, seed):
    """Columns as lists with None for missing values, a numeric and a class target."""
    rng = np.random.default_rng(seed)
    values = [rng.integers(0, 12, n), rng.normal(size=n), rng.random(n) < 0.4]
    colour = rng.integers(0, 3, n)
    y = values[0] * 0.5 + (colour == 1) * 4.0 + values[2] + rng.normal(scale=0.3, size=n)
    missing = rng.random((4, n)) < 0.08
    kinds = [int, float, bool, lambda code: SORTED[code]]
    columns = [
        [None if gone else kind(v) for v, gone in zip(column, missing[k])]
        for k, (column, kind) in enumerate(zip([*values, colour], kinds))
    ]
    return columns, y, (y > np.median(y)).astype(int)


def _as_array(columns, order):
    """The float matrix a frame stands for, with colour as its position in `order`."""
    codes = [[None if v is None else order.index(v) for v in columns[3]]]
    return np.array(columns[:3] + codes, dtype=float).T  # None becomes NaN


def _pandas(dtypes, colour):
    def build(columns):
        frame = pd.DataFrame({n: pd.Series(v, dtype=d) for n, v, d in zip(NAMES, columns, dtypes)})
        return frame.assign(colour=colour(columns[3]))

    return build


def _polars(colour_dtype):
    return lambda columns: pl.DataFrame(dict(zip(NAMES[:3], columns))).with_columns(
        pl.Series("colour", columns[3], dtype=colour_dtype)
    )


NULLABLE = ["Int64", "Float64", "boolean"]
ARROW = ["int64[pyarrow]", "double[pyarrow]", "bool[pyarrow]"]
# Each container: how it is built, the order of its colour codes, categorical_features.
CONTAINERS = {
    "pandas-nullable": (_pandas(NULLABLE, pd.Categorical), SORTED, "from_dtype"),
    "pandas-declared": (
        _pandas(["Int64", "float64", "boolean"], lambda v: pd.Categorical(v, DECLARED)),
        DECLARED,
        "from_dtype",
    ),
    "pandas-pyarrow": (
        _pandas(ARROW, lambda v: pd.arrays.ArrowExtensionArray(pa.array(v).dictionary_encode())),
        SORTED,
        "from_dtype",
    ),
    "pandas-text-named": (_pandas(NULLABLE, lambda v: pd.array(v, "string")), SORTED, ["colour"]),
    "polars-categorical": (_polars(pl.Categorical), SORTED, "from_dtype"),
    "polars-enum": (_polars(pl.Enum(DECLARED)), DECLARED, "from_dtype"),
    "polars-text-named": (_polars(pl.String), SORTED, [3]),
}


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("cls", [ZELKRegressor, ZELKClassifier])
def test_frames_grow_the_tree_of_the_equivalent_array(container, seed, cls):
    build, order, categorical = CONTAINERS[container]
    columns, y_value, y_class = _raw(400, seed)
    frame, X = build(columns), _as_array(columns, order)
    y = y_value if cls is ZELKRegressor else y_class
    mode = "fast" if seed == 2 else "strict"
    model = cls(categorical_features=categorical, mode=mode).fit(frame, y)
    reference = cls(categorical_features=[3], mode=mode).fit(X, y)
    assert same_tree(model.export_tree(), reference.export_tree())
    assert list(model.feature_names_in_) == NAMES
    assert model.is_categorical_.tolist() == [False, False, False, True]
    expected = reference.predict(X)
    assert np.array_equal(model.predict(frame), expected)
    assert np.array_equal(pickle.loads(pickle.dumps(model)).predict(frame), expected)
    # New rows in the other library are matched by label; an unseen one counts as missing.
    other = _polars(pl.String)(columns) if isinstance(frame, pd.DataFrame) else frame.to_pandas()
    assert np.array_equal(model.predict(other), expected)
    unseen = _polars(pl.String)(columns[:3] + [["purple"] * 400])
    X[:, 3] = np.nan
    assert np.array_equal(model.predict(unseen), reference.predict(X))


@pytest.mark.parametrize(
    "frame",
    [
        pd.DataFrame({"a": pd.array([1.0, np.inf, None, 2.0], dtype="Float64")}),
        pd.DataFrame({"a": pd.array([1.0, np.inf, None, 2.0], dtype="double[pyarrow]")}),
        pl.DataFrame({"a": [1.0, float("inf"), None, 2.0]}),
    ],
    ids=["Float64", "pyarrow", "polars"],
)
def test_infinite_values_give_the_error_of_arrays(frame):
    y = np.arange(4.0)
    with pytest.raises(ValueError) as from_array:
        ZELKRegressor().fit(np.array([[1.0], [np.inf], [np.nan], [2.0]]), y)
    with pytest.raises(ValueError, match=re.escape(str(from_array.value))):
        ZELKRegressor().fit(frame, y)


DATES = pl.date_range(pl.date(2024, 1, 1), pl.date(2024, 1, 2), eager=True)


@pytest.mark.parametrize(
    "frame, categorical, message",
    [
        (pd.DataFrame({"a": [1.0, 2.0], "b": ["x", None]}), "from_dtype", "value 'x'; name it in"),
        (pd.DataFrame({"b": pd.Series([2.5, "x"], dtype=object)}), "from_dtype", "value 'x'"),
        (pl.DataFrame({"a": [1.0, 2.0], "b": ["1.5", "x"]}), "from_dtype", "value 'x'"),
        (pl.DataFrame({"b": DATES}), "from_dtype", "dtype Date, which is neither numeric"),
        (pd.DataFrame({"b": DATES.to_pandas()}), "from_dtype", "dtype datetime64"),
        (
            pl.DataFrame({"b": pl.Series(["x", "y"], dtype=pl.Enum(["y", "x"]))}),
            [False],
            "has a polars Enum dtype but is not among categorical_features",
        ),
        (
            pd.DataFrame(
                {"b": pd.arrays.ArrowExtensionArray(pa.array(["x", "y"]).dictionary_encode())}
            ),
            None,
            "has a pyarrow dictionary dtype but is not among categorical_features",
        ),
    ],
)
def test_bad_columns_are_named_in_the_error(frame, categorical, message):
    with pytest.raises(ValueError, match=f"^Column 'b' .*{re.escape(message)}"):
        ZELKRegressor(categorical_features=categorical).fit(frame, [0.0, 1.0])


def test_polars_frames_are_checked_by_column_name_at_prediction():
    columns, y, _ = _raw(200, 4)
    frame = CONTAINERS["polars-categorical"][0](columns)
    model = ZELKRegressor().fit(frame, y)
    for renamed in (frame.rename({"ratio": "rate"}), frame.select(NAMES[::-1]), frame[:, 1:]):
        with pytest.raises(ValueError, match="feature names"):
            model.predict(renamed)
    with pytest.raises(ValueError, match="^Column 'ratio' has the non-numeric value 'high'"):
        model.predict(frame.with_columns(pl.lit("high").alias("ratio")))


def test_fitting_pandas_frames_does_not_import_polars():
    code = (
        "import sys, numpy as np, pandas as pd\n"
        "from zelk import ZELKRegressor\n"
        "frame = pd.DataFrame({'a': pd.array([1, None, 3, 4], dtype='Int64'),"
        " 'b': pd.Categorical(['x', 'y', None, 'x'])})\n"
        "ZELKRegressor(min_samples_leaf=1, cv_folds=2).fit(frame, np.arange(4.0)).predict(frame)\n"
        "print('polars' in sys.modules)\n"
    )
    # Under the sanitizers the child checks for leaks at exit, where the checker's tracer now
    # and then faults on pyarrow's threads (pandas loads pyarrow); what this test asks is which
    # modules load, and fitting frames is leak-checked in this process.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
