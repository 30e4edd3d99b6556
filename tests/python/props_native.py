"""Property-based tests of the native module, run in a child interpreter by
test_properties.py (or by scripts/fuzz for long runs), so that a crash ends only the child.

Every native call either works or raises an ordinary exception. Before each risky call the
input is written to the file named by ZELK_PROPS_LAST, so the parent can show what a crash
was working on. HYPOTHESIS_PROFILE chooses the example budget: "ci" (bounded, the default)
or "fuzz" (many examples, no deadline).
"""

import atexit
import math
import os
import resource

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from zelk import _zelk as native

from conftest import arguments, data_for

settings.register_profile(
    "ci",
    max_examples=int(os.environ.get("ZELK_PROPS_EXAMPLES", "300")),
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=list(HealthCheck),
)
settings.register_profile(
    "fuzz",
    max_examples=int(os.environ.get("ZELK_PROPS_EXAMPLES", "2000")),
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=list(HealthCheck),
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def budget(factor):
    """The profile's example count scaled for a property's cost per example."""
    return settings(max_examples=max(1, int(settings().max_examples * factor)))


# A runaway allocation must become MemoryError here rather than take the shared machine's
# memory; no sound input needs more than this.
_CAP = 6 << 30
resource.setrlimit(resource.RLIMIT_AS, (_CAP, resource.getrlimit(resource.RLIMIT_AS)[1]))

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)
REGR = native.RawRegressor
ALL = [native.RawRegressor, native.RawClassifier, native.RawObjectiveClassifier]

_last_path = os.environ.get("ZELK_PROPS_LAST")
_count_path = os.environ.get("ZELK_PROPS_COUNT")
cases = 0  # examples run
calls = 0  # native calls made


@atexit.register
def _write_count():
    if _count_path:
        with open(_count_path, "a") as f:
            f.write(f"{cases} {calls}\n")


def case():
    global cases
    cases += 1


def describe(value):
    if isinstance(value, np.ndarray):
        with np.printoptions(threshold=200, precision=17):
            return (f"ndarray(shape={value.shape}, dtype={value.dtype.str}, "
                    f"strides={value.strides}, values={value!r})")
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k!r}: {describe(v)}" for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)) and len(value) > 50:
        return f"{type(value).__name__} of {len(value)}: {value[:50]!r}..."
    return repr(value)


def record(what, **inputs):
    """Writes the call about to be made, for the parent to show after a crash."""
    global calls
    calls += 1
    if _last_path:
        text = what + "\n" + "\n".join(f"  {k} = {describe(v)}" for k, v in inputs.items())
        with open(_last_path, "w") as f:
            f.write(text + "\n")


def attempt(what, call, *args, loose=(), **inputs):
    """Calls `call(*args)`; returns (True, result) or (False, exception) for an ordinary
    exception. Anything else (PanicException, SystemError) fails, unless it is listed in
    `loose` by type name."""
    record(what, **inputs)
    try:
        result = call(*args)
    except (*ALLOWED, Planted, IndexError) as exc:  # the last two from the test's own objects
        event(f"{what.split('(')[0]}: {type(exc).__name__}")
        return False, exc
    except BaseException as exc:  # noqa: B036 - the point is to see what escapes
        if type(exc).__name__ in loose:
            return False, exc
        raise AssertionError(f"{what} raised {type(exc).__name__}: {exc}") from exc
    event(f"{what.split('(')[0]}: ok")
    return True, result


# ---------------------------------------------------------------------------------------
# Value strategies

EDGE_INTS = [0, 1, 2, 3, -1, -2, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**40, 2**62, 2**63 - 1,
             2**63, 2**64 - 1, 2**64, 2**65, -(2**63), -(2**64), 10**30]
SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324,
                  -5e-324, 1.7976931348623157e308, 0.5, 1e-300]


class Index:
    """An object with __index__ only."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Index({self.v})"


class Planted(Exception):
    """Raised by the test's own hostile objects; it must come back out unchanged."""


class BadIndex:
    def __index__(self):
        raise Planted("__index__ failed")

    def __repr__(self):
        return "BadIndex()"


class BadFloat:
    def __float__(self):
        raise Planted("__float__ failed")

    def __repr__(self):
        return "BadFloat()"


class LyingSequence:
    """Claims a length it does not have; items past the first few raise IndexError."""

    def __init__(self, length, items=(1, 0)):
        self.length, self.items = length, list(items)

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if not 0 <= i < len(self.items):
            raise IndexError(i)
        return self.items[i]

    def __repr__(self):
        return f"LyingSequence({self.length}, {self.items})"


class Shrinking:
    """An index that empties the list it sits in while it is converted."""

    def __init__(self, box):
        self.box = box

    def __index__(self):
        self.box.clear()
        return 1

    def __float__(self):
        self.box.clear()
        return 1.0

    def __repr__(self):
        return "Shrinking()"


def shrinking_list(n=6):
    box = [1, 2]
    box.extend(Shrinking(box) for _ in range(n))
    return box


hostile_sequences = st.one_of(
    st.sampled_from([2**62, 2**40, 2**63 - 1, 0, 5]).map(LyingSequence),
    st.sampled_from([range(2**62), range(2**40), range(-1, 2), range(2**64, 2**64 + 2)]),
    st.builds(shrinking_list),
)

ints = st.one_of(st.sampled_from(EDGE_INTS), st.integers(), st.integers(-5, 300))
floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(allow_nan=True))
names = st.sampled_from(["mse", "variance", "mae", "gini", "entropy", "strict", "fast",
                         "threshold", "bin", "bin_membership", "mean", "median",
                         "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std", "binary",
                         "micro", "macro", "weighted", "precision", "recall", "f1", "fbeta",
                         "accuracy", "Fast", "max", "", "a\"b\\c\n\t\0\x7f\u00e9\U0001f600"])
odd_scalars = st.one_of(
    st.none(), st.booleans(), st.sampled_from([np.True_, np.False_]),
    ints, floats, names, st.text(max_size=8), st.binary(max_size=4),
    st.builds(Index, ints), st.just(BadIndex()), st.just(BadFloat()),
    st.sampled_from([np.int64(-3), np.uint64(2**64 - 1), np.float64(2.0), np.int8(5),
                     np.array(3), np.array([1, 2]), object(), {}, (), [], 1j]),
)
odd_values = st.one_of(
    odd_scalars,
    st.lists(odd_scalars, max_size=5),
    st.lists(ints, max_size=6),
    st.tuples(ints, ints),
    st.lists(st.lists(ints, max_size=2), max_size=3),
    hostile_sequences,
    st.sampled_from([np.array([3, 1, 3, 2]), np.array([-1, 2]), np.array([1.5, 2.0]),
                     np.array([[0, 1]]), np.array([], dtype=np.int64),
                     np.array([2**63], dtype=np.uint64), "012", b"\x00\x01", range(3),
                     range(10**20, 10**20 + 2)]),
)


FLOAT_PARAMS = {"min_impurity_decrease", "beta", "agg_frac", "agg_eps", "agg_lambda"}
BOOL_PARAMS = {"cv_shuffle", "parallel"}
STR_PARAMS = {"criterion", "objective", "average", "mode", "split_style", "aggregator"}


def plausible(name):
    """Values of the right kind for parameter `name`, in and out of range."""
    if name in FLOAT_PARAMS:
        return st.one_of(floats, ints, st.builds(Index, ints))
    if name in BOOL_PARAMS:
        return st.sampled_from([True, False, np.True_, np.False_, 1, 0, None])
    if name in STR_PARAMS:
        return st.one_of(names, names, st.text(max_size=6))
    if name == "categorical":
        return st.one_of(st.lists(ints, max_size=5), st.tuples(ints), hostile_sequences,
                         st.lists(st.integers(0, 5), max_size=5).map(np.array))
    if name == "max_depth":
        return st.one_of(st.none(), ints)
    return st.one_of(ints, st.builds(Index, ints), st.sampled_from([np.int64(-1), True]))


@st.composite
def constructor_call(draw, cls):
    args = arguments(cls)
    names_ = list(args)
    for name in draw(st.lists(st.sampled_from(names_), min_size=1, max_size=4, unique=True)):
        args[name] = draw(st.one_of(plausible(name), plausible(name), odd_values))
    form = draw(st.sampled_from(["positional", "keyword", "mixed"] * 3 + ["missing", "extra"]))
    values = list(args.values())
    if form == "positional":
        return values, {}
    if form == "keyword":
        return [], args
    if form == "mixed":
        k = draw(st.integers(0, len(values)))
        return values[:k], dict(list(args.items())[k:])
    if form == "missing":
        drop = draw(st.sampled_from(names_))
        return [], {k: v for k, v in args.items() if k != drop}
    extra = draw(st.sampled_from(["bogus", names_[0]]))
    return values, {extra: 1}


@budget(3)
@given(cls=st.sampled_from(ALL), data=st.data())
def test_construction_works_or_raises(cls, data):
    case()
    pos, kw = data.draw(constructor_call(cls))
    ok, est = attempt(f"{cls.__name__}(*pos, **kw)", lambda: cls(*pos, **kw), pos=pos, kw=kw)
    complete = len(pos) + len(kw) == len(arguments(cls)) and not set(kw) - set(arguments(cls))
    if not ok and complete:
        if isinstance(est, TypeError):
            assert str(est).startswith("argument '"), est
        elif isinstance(est, ValueError):
            assert str(est).startswith("unknown "), est
    if ok:
        assert type(est) is cls
        ok, exc = attempt("export_tree of an unfitted estimator", est.export_tree)
        assert not ok and isinstance(exc, ValueError), exc


# ---------------------------------------------------------------------------------------
# fit inputs

DTYPES = ["<f8", ">f8", "f4", "f2", "i8", ">i8", "u8", "i4", "bool", "c16", "O", "U3"]
value_floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(-1e6, 1e6),
                         st.integers(-3, 3).map(float))


@st.composite
def array_of(draw, shape, dtype, elements):
    n = int(np.prod(shape)) if shape else 1
    flat = draw(st.lists(elements, min_size=n, max_size=n))
    base = np.array(flat, dtype=np.float64).reshape(shape)
    with np.errstate(all="ignore"):
        if dtype == "O":
            arr = base.astype(object)
        elif dtype == "U3":
            arr = base.astype("U3")
        else:
            arr = base.astype(dtype)
    return arr


@st.composite
def laid_out(draw, arr):
    """`arr`'s values or a view of them in another memory layout."""
    how = draw(st.sampled_from(["as_is", "fortran", "reversed", "strided", "transposed",
                                "broadcast", "readonly", "unaligned"]))
    if arr.ndim == 0 or arr.dtype == object:
        return arr
    if how == "fortran":
        return np.asfortranarray(arr)
    if how == "reversed":  # negative strides on every axis, same values
        flip = (slice(None, None, -1),) * arr.ndim
        return arr[flip].copy()[flip]
    if how == "strided":
        big = np.repeat(arr, 2, axis=0)
        return big[::2] if arr.ndim == 1 else big[::2, ...]
    if how == "transposed" and arr.ndim == 2:
        return np.ascontiguousarray(arr.T).T
    if how == "broadcast" and arr.ndim == 2 and arr.shape[0] > 0:
        return np.broadcast_to(arr[:1], arr.shape)
    if how == "readonly":
        out = arr.copy()
        out.flags.writeable = False
        return out
    if how == "unaligned" and arr.dtype.itemsize > 1:
        raw = np.zeros(arr.nbytes + 1, dtype=np.uint8)
        out = raw[1:].view(arr.dtype).reshape(arr.shape)
        out[...] = arr
        return out
    return arr


def labels_strategy(n_classes):
    return st.one_of(st.integers(0, max(n_classes - 1, 0)), st.integers(-3, 3),
                     st.sampled_from([n_classes, n_classes + 1, 2**40, 2**63 - 1, -(2**63)]))


def fit_checks(est, cls, x, y, n_classes, categorical=()):
    """Invariants of an accepted fit on a proper float64 x."""
    n = x.shape[0]
    tree = est.export_tree()
    leaves = [i for i, leaf in enumerate(tree["is_leaf"]) if leaf]
    assert sum(tree["n_samples"][i] for i in leaves) == n
    assert tree["n_samples"][0] == n
    assert est.n_leaves() == len(leaves)
    pred = est.predict(x)
    assert pred.shape == (n,)
    if cls is REGR:
        assert pred.dtype == np.float64
        again = REGR.from_tree(tree, list(categorical))
    else:
        assert pred.dtype == np.int64
        proba = est.predict_proba(x)
        assert proba.shape == (n, max(n_classes, 1))
        check_proba(proba)
        again = cls.from_tree(tree, n_classes, list(categorical))
        assert again.predict_proba(x).tobytes() == proba.tobytes()
    assert again.predict(x).tobytes() == pred.tobytes()
    assert repr(again.export_tree()) == repr(tree)


def check_proba(proba):
    assert np.all(proba >= 0.0), proba
    sums = proba.sum(axis=1)
    for row, s in zip(proba, sums):
        assert abs(s - 1.0) <= 1e-9 or not row.any(), row


@budget(3)
@given(cls=st.sampled_from(ALL), data=st.data())
def test_fit_inputs(cls, data):
    case()
    n_classes = data.draw(st.sampled_from([0, 1, 2, 3, 7]), label="n_classes")
    mode = data.draw(st.sampled_from(["strict", "fast"]), label="mode")
    extra = {} if cls is REGR else {"n_classes": n_classes}
    est = cls(*arguments(cls, mode=mode, cv_folds=3, n_bins=8, **extra).values())
    before = None
    if data.draw(st.booleans(), label="fitted before"):
        x0, y0 = data_for(cls, n=30, m=2, seed=1)
        est.fit(x0, np.minimum(y0, max(n_classes - 1, 0)) if cls is not REGR else y0)
        before = repr(est.export_tree())
    ndim = data.draw(st.sampled_from([2] * 8 + [1, 3, 0]), label="x ndim")
    n = data.draw(st.one_of(st.integers(1, 25), st.just(0)), label="n")
    m = data.draw(st.one_of(st.integers(1, 4), st.just(0)), label="m")
    shape = {0: (), 1: (n,), 2: (n, m), 3: (n, m, 2)}[ndim]
    x_dtype = data.draw(st.sampled_from(["<f8"] * 20 + DTYPES), label="x dtype")
    column = data.draw(st.sampled_from(["random", "constant", "mostly_nan"]), label="column")
    if column == "constant":
        elements = st.just(data.draw(value_floats))
    elif column == "mostly_nan":
        elements = st.one_of(st.just(math.nan), st.just(math.nan), value_floats)
    else:
        elements = value_floats
    x = data.draw(laid_out(data.draw(array_of(shape, x_dtype, elements))), label="x")
    n_y = data.draw(st.sampled_from([n] * 8 + [max(n - 1, 0), n + 1]), label="len y")
    if cls is REGR:
        y_dtype = data.draw(st.sampled_from(["<f8"] * 20 + DTYPES), label="y dtype")
        y = data.draw(array_of((n_y,), y_dtype, value_floats))
    else:
        y_dtype = data.draw(st.sampled_from(["<i8"] * 20 + DTYPES), label="y dtype")
        labels = data.draw(st.lists(labels_strategy(n_classes), min_size=n_y, max_size=n_y))
        with np.errstate(all="ignore"):
            y = np.array(labels, dtype=np.int64).astype(y_dtype) if y_dtype != "O" else \
                np.array(labels, dtype=object)
    y = data.draw(laid_out(y), label="y")
    ok, exc = attempt(f"{cls.__name__}.fit", est.fit, x, y, est=repr(arguments(cls, mode=mode,
                      **extra)), x=x, y=y)
    if not ok:
        # A failed fit leaves the estimator as it was.
        if before is None:
            assert not attempt("export_tree after a failed fit", est.export_tree)[0]
        else:
            assert repr(est.export_tree()) == before
        return
    assert x.dtype == np.float64 and x.dtype.isnative and x.ndim == 2
    fit_checks(est, cls, x, y, n_classes)


# ---------------------------------------------------------------------------------------
# Settings at their edges

# Strict edge lists grow with the values, not with n_bins; above 2**32 - 1 bins strict mode
# refuses continuous features.
STRICT_BINS = [0, 1, 2, 3, 4, 8, 255, 256, 65535, 65536, 2**24, 2**32 - 1, 2**32, 2**40,
               2**64 - 1]
FAST_BINS = STRICT_BINS
HUGE_CLASSES = [2**40, 2**62, 2**64 - 1]


@st.composite
def edge_settings(draw, cls, n):
    mode = draw(st.sampled_from(["strict", "fast"]))
    big = [2**32, 2**63, 2**64 - 1]
    s = dict(
        mode=mode,
        n_bins=draw(st.sampled_from(STRICT_BINS if mode == "strict" else FAST_BINS)),
        cv_folds=draw(st.one_of(st.integers(0, n + 3), st.sampled_from(big))),
        max_depth=draw(st.sampled_from([None, 0, 1, 2, 3, 2**64 - 1])),
        min_samples_split=draw(st.one_of(st.integers(0, 6), st.sampled_from(big))),
        min_samples_leaf=draw(st.one_of(st.integers(0, 4), st.sampled_from(big))),
        min_impurity_decrease=draw(st.sampled_from([0.0, -1.0, 1e-3, math.inf, -math.inf,
                                                    math.nan])),
        cv_seed=draw(st.sampled_from([0, 1, 42, 2**64 - 1])),
        cv_shuffle=draw(st.booleans()),
        split_style=draw(st.sampled_from(["threshold", "bin", "bin_membership"])),
        aggregator=draw(st.sampled_from(["mean", "median", "trimmed_mean", "signal_to_noise",
                                         "mean_minus_lambda_std"])),
        agg_frac=draw(st.sampled_from([0.0, 0.1, 0.5, 0.7, -1.0, math.nan])),
        agg_eps=draw(st.sampled_from([1e-9, 0.0, -1.0, math.inf, math.nan])),
        agg_lambda=draw(st.sampled_from([0.0, 1.0, -2.0, math.inf, math.nan])),
    )
    if cls is REGR:
        s["criterion"] = draw(st.sampled_from(["mse", "variance", "mae"]))
    else:
        s["n_classes"] = draw(st.sampled_from([0, 1, 2, 3, 5, 1000] + HUGE_CLASSES))
        if cls is native.RawClassifier:
            s["criterion"] = draw(st.sampled_from(["gini", "entropy"]))
        else:
            s["objective"] = draw(st.sampled_from(["precision", "recall", "f1", "fbeta",
                                                   "accuracy"]))
            s["average"] = draw(st.sampled_from(["binary", "micro", "macro", "weighted"]))
            s["pos_label"] = draw(st.sampled_from([0, 1, 2, 7, 2**64 - 1]))
            s["beta"] = draw(st.sampled_from([1.0, 0.5, 0.0, -1.0, math.inf, math.nan]))
    return s


@st.composite
def small_data(draw, cls, n, m, categorical, n_classes):
    cols = []
    for j in range(m):
        if j in categorical:
            el = st.one_of(st.integers(0, 4).map(float), st.sampled_from(
                [math.nan, -1.0, 2.6, 4294967295.0, 4294967296.0, 1e300, -0.0]))
        else:
            el = st.one_of(st.integers(-3, 3).map(float), value_floats)
        cols.append(draw(st.lists(el, min_size=n, max_size=n)))
    x = np.array(cols, dtype=np.float64).T.reshape(n, m)
    if cls is REGR:
        y = np.array(draw(st.lists(st.one_of(st.integers(-3, 3).map(float), value_floats),
                                   min_size=n, max_size=n)), dtype=np.float64)
    else:
        k = n_classes if n_classes < 2**32 else 4
        y = np.array(draw(st.lists(labels_strategy(k), min_size=n, max_size=n)),
                     dtype=np.int64)
    return x, y


@budget(1)
@given(cls=st.sampled_from(ALL), data=st.data())
def test_settings_at_edges(cls, data):
    case()
    n = data.draw(st.integers(1, 40), label="n")
    m = data.draw(st.integers(1, 3), label="m")
    s = data.draw(edge_settings(cls, n), label="settings")
    categorical = data.draw(st.lists(st.integers(0, m + 1), max_size=3), label="categorical")
    s["categorical"] = categorical
    x, y = data.draw(small_data(cls, n, m, set(categorical), s.get("n_classes", 0)), label="xy")
    args = arguments(cls, **s)
    ok, est = attempt(f"{cls.__name__}(**args)", lambda: cls(**args), args=args)
    assert ok, est  # every value here is a valid one
    huge = s.get("n_classes", 0) >= 2**40
    ok, exc = attempt(f"{cls.__name__}.fit", est.fit, x, y, args=args, x=x, y=y)
    if ok and not huge:  # a huge n_classes would ask predict_proba for huge rows
        fit_checks(est, cls, x, y, s["n_classes"] if cls is not REGR else 0, categorical)


# ---------------------------------------------------------------------------------------
# Thread settings do not change the tree

@budget(0.3)
@given(cls=st.sampled_from(ALL), data=st.data())
def test_thread_settings_do_not_change_the_tree(cls, data):
    case()
    n = data.draw(st.integers(1, 80), label="n")
    m = data.draw(st.integers(1, 4), label="m")
    s = data.draw(edge_settings(cls, n), label="settings")
    if cls is not REGR:
        s["n_classes"] = data.draw(st.sampled_from([1, 2, 3, 5]))
    if s["mode"] == "fast":
        s["n_bins"] = data.draw(st.sampled_from([1, 2, 4, 16, 255]))
    categorical = data.draw(st.lists(st.integers(0, m - 1), max_size=2), label="categorical")
    s["categorical"] = categorical
    x, y = data.draw(small_data(cls, n, m, set(categorical), s.get("n_classes", 0)), label="xy")
    trees = []
    for parallel, n_threads, pms in [(False, 1, 512), (True, 1, 0), (True, 2, 0),
                                     (True, 3, 0), (True, 2, 2**64 - 1), (True, 0, 1),
                                     (True, 2**64 - 1, 0)]:
        args = arguments(cls, **s, parallel=parallel, n_threads=n_threads,
                         parallel_min_samples=pms)
        est = cls(**args)
        ok, exc = attempt(f"{cls.__name__}.fit", est.fit, x, y, args=args, x=x, y=y)
        trees.append(repr(est.export_tree()) if ok else f"{type(exc).__name__}: {exc}")
    assert all(t == trees[0] for t in trees), trees


# ---------------------------------------------------------------------------------------
# predict / predict_proba inputs

_fitted = {}


def fitted(cls, mode):
    key = (cls, mode)
    if key not in _fitted:
        x, y = data_for(cls, n=150, m=4, seed=3)
        x[::7, 1] = np.nan
        x[:, 3] = np.round(np.abs(x[:, 3]) * 2)
        est = cls(*arguments(cls, mode=mode, categorical=[3]).values())
        est.fit(x, y)
        _fitted[key] = est
    return _fitted[key]


@budget(3)
@given(cls=st.sampled_from(ALL), mode=st.sampled_from(["strict", "fast"]), data=st.data())
def test_predict_inputs(cls, mode, data):
    case()
    est = fitted(cls, mode)
    needed = max([f for f in est.export_tree()["feature"]] + [-1]) + 1
    ndim = data.draw(st.sampled_from([2, 2, 2, 1, 3, 0]), label="ndim")
    n = data.draw(st.integers(0, 20), label="n")
    m = data.draw(st.integers(0, 6), label="m")
    shape = {0: (), 1: (n,), 2: (n, m), 3: (n, m, 2)}[ndim]
    dtype = data.draw(st.sampled_from(["<f8"] * 6 + DTYPES), label="dtype")
    x = data.draw(laid_out(data.draw(array_of(shape, dtype, value_floats))), label="x")
    methods = [est.predict] if cls is REGR else [est.predict, est.predict_proba]
    for method in methods:
        ok, out = attempt(f"{cls.__name__}.{method.__name__}", method, x, x=x)
        proper = x.ndim == 2 and x.dtype == np.float64 and x.dtype.isnative
        if not proper:
            assert not ok and isinstance(out, TypeError), out
            continue
        if m < needed:
            assert not ok and isinstance(out, ValueError), out
            continue
        assert ok, out
        assert out.shape[0] == n and out.flags.owndata and out.flags.writeable
        if method.__name__ == "predict_proba":
            check_proba(out)
        else:
            same = est.predict(np.ascontiguousarray(x))
            assert same.tobytes() == out.tobytes()


# ---------------------------------------------------------------------------------------
# export_tree / from_tree with mutated dictionaries

_bases = {}


def base_tree(cls):
    if cls not in _bases:
        est = fitted(cls, "strict")
        _bases[cls] = est.export_tree()
    return _bases[cls]


junk = st.one_of(odd_scalars, st.lists(odd_scalars, max_size=4), hostile_sequences,
                 st.lists(st.lists(floats, max_size=3), max_size=3),
                 st.sampled_from([np.zeros((2, 2)), np.array(3.0), np.arange(5),
                                  np.array([True, False]), (True,), [2**70], [-1]]))


@st.composite
def mutated(draw, tree):
    d = {k: (list(v) if isinstance(v, list) else v) for k, v in tree.items()}
    d = {k: ([list(e) if isinstance(e, list) else e for e in v] if isinstance(v, list) else v)
         for k, v in d.items()}
    n = len(tree["is_leaf"])
    keys = list(d)
    for _ in range(draw(st.sampled_from([1, 1, 1, 2, 3, 4]))):
        key = draw(st.sampled_from(keys))
        what = draw(st.integers(0, 10))
        if key not in d:
            continue
        v = d[key]
        if what == 0:
            del d[key]
        elif what == 1 or not isinstance(v, list) or not v:
            d[key] = draw(junk)
        elif what == 2:
            i = draw(st.integers(0, len(v) - 1))
            v[i] = draw(junk)
        elif what == 3:
            d[key] = v[: draw(st.integers(0, len(v)))]
        elif what == 4:
            d[key] = v + draw(st.lists(junk, max_size=3))
        elif what == 5:
            k = draw(st.sampled_from(["children_left", "children_right"]))
            if isinstance(d.get(k), list) and d[k]:
                d[k][draw(st.integers(0, len(d[k]) - 1))] = draw(st.one_of(
                    st.integers(-2, n + 2), st.sampled_from([2**40, -(2**40), 2**63 - 1,
                                                             2**64, -(2**64)])))
        elif what == 6:
            if isinstance(d.get("is_leaf"), list) and d["is_leaf"]:
                i = draw(st.integers(0, len(d["is_leaf"]) - 1))
                d["is_leaf"][i] = draw(st.sampled_from([True, False, np.True_, 1, None]))
        elif what == 7:
            if isinstance(d.get("feature"), list) and d["feature"]:
                d["feature"][draw(st.integers(0, len(d["feature"]) - 1))] = draw(
                    st.sampled_from([-1, -(2**62), 2**62, 50, 1, 3, 2**64]))
        elif what == 8:
            for k in ("lower", "upper", "value", "category", "n_samples"):
                if isinstance(d.get(k), list) and d[k]:
                    d[k][draw(st.integers(0, len(d[k]) - 1))] = draw(st.sampled_from(
                        [math.nan, math.inf, -math.inf, 2**33 + 1, -5, 2**32 - 1, 2**64 - 1,
                         2**64, 1e308]))
        elif what == 9:
            if isinstance(d.get("proba"), list) and d["proba"]:
                i = draw(st.integers(0, len(d["proba"]) - 1))
                d["proba"][i] = draw(st.lists(floats, max_size=6))
        else:
            kind = draw(st.sampled_from(["tuple", "array", "nested"]))
            if kind == "tuple":
                d[key] = tuple(v)
            elif kind == "array":
                try:
                    d[key] = np.array(v)
                except ValueError:
                    d[key] = tuple(v)
            else:
                d[key] = [v]
    return d


@budget(4)
@given(cls=st.sampled_from(ALL), data=st.data())
def test_from_tree_mutations(cls, data):
    case()
    d = data.draw(mutated(base_tree(cls)), label="tree")
    categorical = data.draw(st.one_of(
        st.sampled_from([[3]] * 4 + [[], [3, 3, 0], [2**64 - 1], [-1], "3"]), hostile_sequences),
        label="categorical")
    # Read as list() reads it, a list that a hostile element empties still gives the same
    # indices when its snapshot is passed again.
    snapshot = list(categorical) if isinstance(categorical, list) else categorical
    if cls is REGR:
        args = (d, categorical)
    else:
        n_classes = data.draw(st.sampled_from([3] * 6 + [0, 1, 2, 10, -1, 2**40, 2**62, 2**63,
                                                         2**64]),
                              label="n_classes")
        args = (d, n_classes, categorical)
    ok, est = attempt(f"{cls.__name__}.from_tree", cls.from_tree, *args, args=args)
    if not ok:
        return
    assert type(est) is cls
    tree = est.export_tree()
    est.depth(), est.n_leaves()
    x = fitted_x()
    outs = []
    for method in ([est.predict] if cls is REGR else [est.predict, est.predict_proba]):
        ok, out = attempt(f"{cls.__name__}.{method.__name__} after import", method, x,
                          args=args)
        outs.append(out.tobytes() if ok else type(out))
    again = cls.from_tree(tree, *args[1:-1], snapshot)
    assert repr(again.export_tree()) == repr(tree)
    for method, before in zip([again.predict] if cls is REGR
                              else [again.predict, again.predict_proba], outs):
        ok, out = attempt("prediction after re-import", method, x)
        assert (out.tobytes() if ok else type(out)) == before


_x = []


def fitted_x():
    if not _x:
        x, _ = data_for(REGR, n=60, m=6, seed=5)
        x[::5, 0] = np.nan
        x[:, 3] = np.round(np.abs(x[:, 3]) * 2)
        x[1, 3] = -1.0
        x[2, 3] = 1e300
        _x.append(x)
    return _x[0]
