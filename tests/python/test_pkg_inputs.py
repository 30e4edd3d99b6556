"""Input containers: pandas frames with NumPy, nullable and pyarrow-backed columns, and
polars frames, grow the trees of the equivalent float array and predict alike."""

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
COLOURS = ["blue", "green", "red"]


def _raw(n, seed):
    """Columns as Python lists with None for missing values, and the two targets."""
    rng = np.random.default_rng(seed)
    count = rng.integers(0, 12, n)
    ratio = rng.normal(size=n)
    flag = rng.random(n) < 0.4
    colour = rng.integers(0, 3, n)
    missing = rng.random((4, n)) < 0.08
    y = count * 0.5 + np.where(colour == 1, 4.0, 0.0) + flag + rng.normal(scale=0.3, size=n)
    columns = [
        [None if m else int(v) for v, m in zip(count, missing[0])],
        [None if m else float(v) for v, m in zip(ratio, missing[1])],
        [None if m else bool(v) for v, m in zip(flag, missing[2])],
        [None if m else COLOURS[v] for v, m in zip(colour, missing[3])],
    ]
    return columns, y, (y > np.median(y)).astype(int)


def _as_array(columns, order):
    """The float matrix the frames stand for: colour as its position in `order`."""
    X = np.array([[np.nan if v is None else float(v) for v in c] for c in columns[:3]]).T
    codes = [np.nan if v is None else float(order.index(v)) for v in columns[3]]
    return np.column_stack([X, codes])


def _pandas(columns, numbers, colour):
    frame = pd.DataFrame(
        {
            name: pd.Series(values, dtype=dtype)
            for name, values, dtype in zip(NAMES, columns, numbers)
        }
    )
    frame["colour"] = colour(columns[3])
    return frame


def _polars(columns, colour_dtype):
    frame = pl.DataFrame({name: values for name, values in zip(NAMES[:3], columns)})
    return frame.with_columns(pl.Series("colour", columns[3], dtype=colour_dtype))


ENUM_ORDER = ["red", "blue", "green"]

# Each container with the order that defines its colour codes and the categorical setting.
CONTAINERS = {
    "pandas-nullable": (
        lambda c: _pandas(c, ["Int64", "Float64", "boolean"], lambda v: pd.Categorical(v)),
        COLOURS,
        "from_dtype",
    ),
    "pandas-declared-categories": (
        lambda c: _pandas(
            c,
            ["Int64", "float64", "boolean"],
            lambda v: pd.Categorical(v, categories=ENUM_ORDER),
        ),
        ENUM_ORDER,
        "from_dtype",
    ),
    "pandas-pyarrow": (
        lambda c: _pandas(
            c,
            ["int64[pyarrow]", "double[pyarrow]", "bool[pyarrow]"],
            lambda v: pd.Series(pd.arrays.ArrowExtensionArray(pa.array(v).dictionary_encode())),
        ),
        COLOURS,
        "from_dtype",
    ),
    "pandas-text-named": (
        lambda c: _pandas(
            c, ["Int64", "Float64", "boolean"], lambda v: pd.Series(v, dtype="string")
        ),
        COLOURS,
        ["colour"],
    ),
    "polars-categorical": (lambda c: _polars(c, pl.Categorical), COLOURS, "from_dtype"),
    "polars-enum": (lambda c: _polars(c, pl.Enum(ENUM_ORDER)), ENUM_ORDER, "from_dtype"),
    "polars-string-named": (lambda c: _polars(c, pl.String), COLOURS, [3]),
}


@pytest.mark.parametrize("container", CONTAINERS)
@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize(
    "make",
    [
        lambda categorical: ZELKRegressor(categorical_features=categorical, min_samples_leaf=3),
        lambda categorical: ZELKClassifier(categorical_features=categorical, mode="fast"),
    ],
    ids=["regressor", "classifier-fast"],
)
def test_frames_grow_the_tree_of_the_equivalent_array(container, seed, make):
    build, order, categorical = CONTAINERS[container]
    columns, y_value, y_class = _raw(400, seed)
    frame = build(columns)
    X = _as_array(columns, order)
    y = y_value if isinstance(make(None), ZELKRegressor) else y_class
    model = make(categorical).fit(frame, y)
    reference = make([3]).fit(X, y)
    assert same_tree(model.export_tree(), reference.export_tree())
    assert list(model.feature_names_in_) == NAMES
    assert model.is_categorical_.tolist() == [False, False, False, True]
    expected = reference.predict(X)
    assert np.array_equal(model.predict(frame), expected)
    assert np.array_equal(pickle.loads(pickle.dumps(model)).predict(frame), expected)
    # Rows of new data, in another container kind, are matched by category label.
    other = _polars(columns, pl.String) if isinstance(frame, pd.DataFrame) else frame.to_pandas()
    assert np.array_equal(model.predict(other), expected)


@pytest.mark.parametrize("container", ["pandas-nullable", "polars-categorical"])
def test_unseen_categories_predict_as_missing(container):
    columns, y, _ = _raw(300, 3)
    model = ZELKRegressor().fit(CONTAINERS[container][0](columns), y)
    reference = ZELKRegressor(categorical_features=[3]).fit(_as_array(columns, COLOURS), y)
    query = dict(
        zip(NAMES, [[1, 1, 1], [0.5, 0.5, 0.5], [True, True, True], ["purple", None, "green"]])
    )
    new = pd.DataFrame(query) if container.startswith("pandas") else pl.DataFrame(query)
    expected = reference.predict(np.array([[1, 0.5, 1, np.nan]] * 2 + [[1, 0.5, 1, 1]]))
    assert expected[0] != expected[2]  # the tree tells green from missing
    assert np.array_equal(model.predict(new), expected)


def _numpy_error(X, y):
    with pytest.raises(ValueError) as error:
        ZELKRegressor().fit(X, y)
    return str(error.value)


@pytest.mark.parametrize(
    "frame",
    [
        lambda: pd.DataFrame({"a": pd.array([1.0, np.inf, None, 2.0], dtype="Float64")}),
        lambda: pd.DataFrame({"a": pd.array([1.0, np.inf, None, 2.0], dtype="double[pyarrow]")}),
        lambda: pl.DataFrame({"a": [1.0, float("inf"), None, 2.0]}),
    ],
    ids=["Float64", "pyarrow", "polars"],
)
def test_infinite_values_give_the_error_of_arrays(frame):
    y = np.arange(4.0)
    expected = _numpy_error(np.array([[1.0], [np.inf], [np.nan], [2.0]]), y)
    with pytest.raises(ValueError, match=re.escape(expected)):
        ZELKRegressor().fit(frame(), y)


@pytest.mark.parametrize(
    "frame, categorical, message",
    [
        (
            lambda: pd.DataFrame({"a": [1.0, 2.0], "b": ["x", None]}),
            "from_dtype",
            "Column 'b' has the non-numeric value 'x'; name it in categorical_features",
        ),
        (
            lambda: pd.DataFrame({"b": pd.Series([2.5, "x"], dtype=object)}),
            "from_dtype",
            "Column 'b' has the non-numeric value 'x'",
        ),
        (
            lambda: pl.DataFrame({"a": [1.0, 2.0], "b": ["1.5", "x"]}),
            "from_dtype",
            "Column 'b' has the non-numeric value 'x'",
        ),
        (
            lambda: pl.DataFrame(
                {"b": pl.date_range(pl.date(2024, 1, 1), pl.date(2024, 1, 2), eager=True)}
            ),
            "from_dtype",
            "Column 'b' has the dtype Date, which is neither numeric, boolean nor categorical",
        ),
        (
            lambda: pd.DataFrame({"b": pd.to_datetime(["2024-01-01", "2024-01-02"])}),
            "from_dtype",
            "Column 'b' has the dtype datetime64",
        ),
        (
            lambda: pl.DataFrame({"b": pl.Series(["x", "y"], dtype=pl.Categorical)}),
            None,
            "Column 'b' has a polars Categorical dtype but is not among categorical_features",
        ),
        (
            lambda: pl.DataFrame({"b": pl.Series(["x", "y"], dtype=pl.Enum(["y", "x"]))}),
            [False],
            "Column 'b' has a polars Enum dtype but is not among categorical_features",
        ),
        (
            lambda: pd.DataFrame(
                {
                    "b": pd.Series(
                        pd.arrays.ArrowExtensionArray(pa.array(["x", "y"]).dictionary_encode())
                    )
                }
            ),
            None,
            "Column 'b' has a pyarrow dictionary dtype but is not among categorical_features",
        ),
        (
            lambda: pl.DataFrame({"a": [1.0, 2.0]}),
            ["b"],
            "categorical_features names an unknown column 'b'",
        ),
    ],
)
def test_bad_columns_are_named_in_the_error(frame, categorical, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        ZELKRegressor(categorical_features=categorical).fit(frame(), [0.0, 1.0])


def test_polars_frames_are_checked_by_column_name_at_prediction():
    columns, y, _ = _raw(200, 4)
    frame = CONTAINERS["polars-categorical"][0](columns)
    model = ZELKRegressor().fit(frame, y)
    with pytest.raises(ValueError, match="feature names"):
        model.predict(frame.rename({"ratio": "rate"}))
    with pytest.raises(ValueError, match="feature names"):
        model.predict(frame.select(NAMES[::-1]))
    with pytest.raises(ValueError, match="Feature names seen at fit time, yet now missing"):
        model.predict(frame.drop("flag"))
    with pytest.raises(ValueError, match="Column 'ratio' has the non-numeric value 'high'"):
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
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
