"""scikit-learn estimators over the native trees of :mod:`zelk._engine`."""

from __future__ import annotations

import copy
import inspect
import numbers
import os

import numpy as np
from scipy import sparse
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.class_weight import compute_sample_weight
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_array, check_is_fitted, check_X_y

from . import _engine, _shap
from ._inputs import as_frame

try:  # scikit-learn >= 1.6
    from sklearn.utils.validation import validate_data as _sk_validate_data
except ImportError:  # pragma: no cover - older scikit-learn
    _sk_validate_data = None

# scikit-learn 1.6 renamed force_all_finite to ensure_all_finite.
_FINITE_KW = (
    "ensure_all_finite"
    if "ensure_all_finite" in inspect.signature(check_array).parameters
    else "force_all_finite"
)

_REGRESSION_CRITERIA = ("mse", "variance", "mae")
_CLASSIFICATION_CRITERIA = ("gini", "entropy")
_OBJECTIVES = ("accuracy", "precision", "recall", "f1", "fbeta")
_AVERAGES = ("binary", "micro", "macro", "weighted")
_MODES = ("strict", "fast")
_SPLIT_STYLES = ("threshold", "bin", "bin_membership")
_AGGREGATORS = ("mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std")
_VALIDATIONS = ("prune", "candidates")
_U64_MAX = 2**64 - 1

_GROWTH_DOC = """
    criterion : str, default={criterion_default}
        The impurity a split reduces: {criteria}. With "prune" its decrease
        on a node's samples chooses the node's split (and each fold's pick);
        with "candidates" its decrease on each fold's held-out part scores
        every candidate.

    max_depth : int or None, default=None
        Depth limit of the tree; None grows until no split survives the
        validation folds (0 gives a single leaf).

    min_samples_split : int or float, default=2
        A node with fewer samples is not split. A float in (0, 1] is a
        fraction of the training samples (rounded up).

    min_samples_leaf : int or float, default={leaf_default}
        Minimum samples on each side of a split. A float in (0, 1) is a
        fraction of the training samples (rounded up).

    min_weight_fraction_leaf : float, default=0.0
        Minimum fraction of the training set's total sample weight (of its
        sample count without ``sample_weight``) on each side of a split, in
        [0, 0.5].

    validation : {{"prune", "candidates"}}, default="prune"
        How a split is validated on the node's own folds.

        "prune": the node splits by its best candidate on its own samples;
        on every fold the training part picks the split it likes best and
        that pick is measured on the fold's held-out part, with the
        predictions learnt on the training part ({held_out_loss}). The
        node's validated gain is the aggregate of these held-out gains,
        corrected for the training parts being smaller than the node. After
        growth, a split is kept only when the validated gain of its subtree
        (its own and that of the splits kept below it) is positive, and the
        whole tree must beat a single leaf at the 5% level (one-sided t test
        on the folds): data with nothing to learn give a single leaf.

        "candidates": every candidate split is scored on every fold by its
        {candidate_score} on the fold's held-out part, the fold scores are
        aggregated, and the best candidate splits the node while its score
        beats ``min_impurity_decrease``; nothing is pruned.

    min_impurity_decrease : float, default=0.0
        With "prune", a split is kept only when its subtree's validated gain
        per sample exceeds this value; with "candidates", only when its
        aggregated validation score is strictly greater than this value.

    n_bins : int, default=16
        Quantile bins per continuous feature: candidate thresholds are the
        bin edges.

    cv_folds : int, default=5
        Folds over each node's own samples on which every candidate split is
        scored.

    cv_seed : int, default=0
        Seed of the fold shuffle (0 .. 2**64 - 1).

    cv_shuffle : bool, default=True
        Shuffle a node's samples before dealing them into folds.

    mode : {{"strict", "fast"}}, default="strict"
        "strict" re-fits the bins on every fold's training part; "fast" bins
        every feature once and scores candidates from histograms.

    split_style : {{"threshold", "bin"}}, default="threshold"
        "threshold" splits a continuous feature at one bin edge; "bin" sends
        one quantile bin left and the rest right ("bin_membership" is an
        alias of "bin").

    aggregator : str, default="mean"
        How the fold scores become one score: "mean", "median",
        "trimmed_mean", "signal_to_noise" or "mean_minus_lambda_std". With
        "candidates" it ranks the candidates; with "prune" it combines the
        folds' held-out gains of a node's split ("signal_to_noise", a ratio
        without the gains' units, combines them as "mean" there).

    agg_frac : float, default=0.1
        Fraction trimmed at each end by "trimmed_mean" (0 .. 0.5).

    agg_eps : float, default=1e-9
        Added to the fold standard deviation by "signal_to_noise" (> 0).

    agg_lambda : float, default=1.0
        Multiple of the fold standard deviation subtracted by
        "mean_minus_lambda_std" (>= 0).

    parallel_min_samples : int, default=512
        In "fast" mode, the smallest node whose features are scored on
        worker threads.

    n_jobs : int or None, default=None
        Worker threads that score a node's features: None means 1, -1 all
        cores, -2 all but one. Trees are identical whatever the value.

    categorical_features : None, "from_dtype", array-like of int, str or bool, default="from_dtype"
        Categorical columns: column indices, column names of a DataFrame, a
        boolean mask over the columns, or "from_dtype" for the columns of a
        categorical dtype (pandas ``category`` or pyarrow dictionary, polars
        ``Categorical`` or ``Enum``; no column for other inputs).
        A categorical split sends one category left and all others right.
        Numeric categorical values are category codes (rounded to the
        nearest integer; negative values and NaN are missing); columns of a
        categorical dtype are encoded by their declared categories (pandas
        ``category``, polars ``Enum``) or their sorted distinct values, as
        are text columns named here, and a category unseen in training is
        treated as missing.
"""

_WEIGHTS_DOC = """
    Sample weights: ``fit`` takes ``sample_weight``, and every count and sum
    that growth, scoring, the leaves and the exported statistics use is
    weighted: the folds' statistics, the class frequencies and means of the
    leaves, the impurities and "weighted_n_samples". Rows, not weight units,
    are dealt into each node's folds, so an integer weight is not the same as
    repeating the row (a repeated row can land in several folds, a weighted
    one lands in one); scikit-learn's sample-weight equivalence checks are
    expected to fail for that reason. A row of zero weight still routes down
    the tree and counts in "n_samples", but takes part in no statistic: not in
    the quantile bin edges (which come from the rows of positive weight, each
    counted once), not in ``min_samples_split`` and ``min_samples_leaf``
    (which count rows of positive weight), not in any score. Weights of 1 grow
    the unweighted tree exactly, and scaling every weight by a power of two
    changes nothing but "weighted_n_samples".
"""

_MISSING_DOC = """
    Missing values: NaN is allowed in ``X``; a sample whose value is missing
    for a split's feature always goes to the right child, in training and in
    prediction. Infinite values are rejected.
"""


def _is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def _is_real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _fail(name, expected, value):
    raise ValueError(f"The '{name}' parameter must be {expected}; got {value!r}.")


def _check_int(name, value, low, high=_U64_MAX):
    if not _is_int(value) or not low <= value <= high:
        bound = f"an int >= {low}" if high == _U64_MAX else f"an int in [{low}, {high}]"
        _fail(name, bound, value)
    return int(value)


def _check_real(name, value, low=None, high=None, low_open=False):
    if not _is_real(value) or not np.isfinite(value):
        _fail(name, "a finite real number", value)
    value = float(value)
    if low is not None and (value < low or (low_open and value == low)):
        _fail(
            name,
            f"a real number {'>' if low_open else '>='} {low}"
            + (f" and <= {high}" if high is not None else ""),
            value,
        )
    if high is not None and value > high:
        _fail(name, f"a real number >= {low} and <= {high}", value)
    return value


def _check_choice(name, value, choices):
    if not isinstance(value, str) or value not in choices:
        listed = ", ".join(repr(c) for c in choices)
        _fail(name, f"one of {listed}", value)
    return value


def _resolve_count(name, value, n_samples, min_int, frac_high_open):
    """An absolute sample count from an int or a fraction of the training samples."""
    if _is_int(value) and min_int <= value <= _U64_MAX:
        return int(value)
    if (
        _is_real(value)
        and not _is_int(value)
        and (0.0 < value < 1.0 or (not frac_high_open and value == 1.0))
    ):
        return max(min_int, int(np.ceil(float(value) * n_samples)))
    upper = ")" if frac_high_open else "]"
    _fail(name, f"an int >= {min_int} or a float in (0, 1{upper}", value)


def _n_threads(n_jobs):
    if n_jobs is None:
        return 1
    if not _is_int(n_jobs) or n_jobs == 0:
        _fail("n_jobs", "None or a non-zero int", n_jobs)
    cores = os.cpu_count() or 1
    return int(n_jobs) if n_jobs > 0 else max(1, cores + 1 + int(n_jobs))


def _validate(estimator, X, y=None, reset=True, **kwargs):
    kwargs.setdefault(_FINITE_KW, "allow-nan")
    kwargs.setdefault("dtype", np.float64)
    if _sk_validate_data is not None:
        if y is None and not reset:
            return _sk_validate_data(estimator, X, reset=reset, **kwargs)
        return _sk_validate_data(estimator, X, y, reset=reset, **kwargs)
    if y is None and not reset:  # pragma: no cover - older scikit-learn
        return estimator._validate_data(X, reset=reset, **kwargs)
    return estimator._validate_data(X, y, reset=reset, **kwargs)  # pragma: no cover


_LEGACY_KINDS = {
    "RawRegressor": "Regressor",
    "RawClassifier": "Classifier",
    "RawObjectiveClassifier": "ObjectiveClassifier",
}


def _impurity_importances(tree, n_features):
    """Per-feature sums of the splits' weighted impurity decreases, normalised to sum to 1;
    None when the tree carries no impurities."""
    impurity = np.asarray(tree.get("impurity", ()), dtype=np.float64)
    if impurity.shape != (tree["node_count"],):
        return None
    weight = np.asarray(tree["weighted_n_samples"], dtype=np.float64)
    split = ~np.asarray(tree["is_leaf"], dtype=bool)
    left = np.asarray(tree["children_left"])[split]
    right = np.asarray(tree["children_right"])[split]
    if np.isnan(impurity[split]).any() or np.isnan(impurity[left]).any() or np.isnan(
        impurity[right]
    ).any():
        return None
    decrease = (
        weight[split] * impurity[split]
        - weight[left] * impurity[left]
        - weight[right] * impurity[right]
    )
    importances = np.zeros(n_features, dtype=np.float64)
    np.add.at(importances, np.asarray(tree["feature"])[split], decrease)
    total = importances.sum()
    return importances / total if total > 0 else importances


def _validated_importances(tree, n_features):
    """Per-feature sums of the splits' validated gains (aggregated held-out score per unit of
    weight times the node's weighted share of the training set), negative gains clipped at
    zero, normalised to sum to 1; None when the tree carries no split scores."""
    score = np.asarray(tree.get("split_score", ()), dtype=np.float64)
    if score.shape != (tree["node_count"],):
        return None
    weight = np.asarray(tree["weighted_n_samples"], dtype=np.float64)
    split = ~np.asarray(tree["is_leaf"], dtype=bool)
    if np.isnan(score[split]).any():  # a tree imported without its statistics
        return None
    gain = score[split] * (weight[split] / weight[0])
    gain = np.where(gain > 0.0, gain, 0.0)
    importances = np.zeros(n_features, dtype=np.float64)
    np.add.at(importances, np.asarray(tree["feature"], dtype=np.intp)[split], gain)
    total = importances.sum()
    return importances / total if total > 0 else importances


def _decision_path(tree, leaves):
    """The CSR indicator of the nodes on each row's path from the root to its leaf."""
    left = np.asarray(tree["children_left"], dtype=np.intp)
    right = np.asarray(tree["children_right"], dtype=np.intp)
    n_nodes = left.shape[0]
    nodes = np.arange(n_nodes, dtype=np.intp)
    split = left >= 0
    parent = np.full(n_nodes, -1, dtype=np.intp)
    parent[left[split]] = nodes[split]
    parent[right[split]] = nodes[split]
    # Depths level by level: as many vectorised steps as the tree is deep, no recursion.
    depth = np.zeros(n_nodes, dtype=np.intp)
    level = np.array([0], dtype=np.intp) if n_nodes else np.empty(0, dtype=np.intp)
    d = 0
    while level.size:
        depth[level] = d
        level = level[split[level]]
        level = np.concatenate([left[level], right[level]])
        d += 1
    # Each distinct leaf's path once, written from its end upwards; nodes are numbered in
    # pre-order, so a path's nodes ascend from the root.
    distinct, inverse = np.unique(leaves, return_inverse=True)
    inverse = inverse.reshape(-1)
    lengths = depth[distinct] + 1
    ends = np.cumsum(lengths)
    paths = np.empty(int(ends[-1]) if ends.size else 0, dtype=np.intp)
    current, at = distinct.copy(), ends - 1
    active = np.ones(distinct.shape[0], dtype=bool)
    while active.any():
        paths[at[active]] = current[active]
        current = np.where(active, parent[current], -1)
        at -= 1
        active = current >= 0
    row_lengths = lengths[inverse]
    indptr = np.zeros(leaves.shape[0] + 1, dtype=np.intp)
    np.cumsum(row_lengths, out=indptr[1:])
    offsets = np.repeat((ends - lengths)[inverse] - indptr[:-1], row_lengths)
    indices = paths[offsets + np.arange(indptr[-1], dtype=np.intp)]
    data = np.ones(indices.shape[0], dtype=np.int64)
    return sparse.csr_matrix((data, indices, indptr), shape=(leaves.shape[0], n_nodes))


def _check_sample_weight(sample_weight, n_samples):
    """`sample_weight` as a float64 array of n_samples finite, non-negative weights that are
    not all zero (a number weighs every row the same), or None."""
    if sample_weight is None:
        return None
    if _is_real(sample_weight):
        weights = np.full(n_samples, float(sample_weight))
    else:
        try:
            weights = np.asarray(sample_weight, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"sample_weight must hold numbers: {exc}") from None
        if weights.ndim != 1:
            raise ValueError(
                f"sample_weight must be 1-D with one weight per sample; got shape "
                f"{weights.shape}."
            )
        if weights.shape[0] != n_samples:
            raise ValueError(
                f"sample_weight has {weights.shape[0]} entries for {n_samples} samples."
            )
    if not np.isfinite(weights).all():
        raise ValueError("sample_weight must be finite; it holds NaN or infinity.")
    if (weights < 0).any():
        raise ValueError("sample_weight must be non-negative; it holds a negative weight.")
    if not (weights > 0).any():
        raise ValueError("sample_weight sums to zero: no sample has a positive weight.")
    return np.ascontiguousarray(weights)


# Rows, not weight units, are dealt into folds, so an integer weight and repeated rows grow
# different trees.
_EQUIVALENCE_REASON = (
    "rows, not weight units, are dealt into each node's cross-validation folds, so an "
    "integer weight is not equivalent to repeating the row"
)
_EXPECTED_FAILED_CHECKS = {
    "check_sample_weight_equivalence_on_dense_data": _EQUIVALENCE_REASON,
    "check_sample_weight_equivalence_on_sparse_data": _EQUIVALENCE_REASON,
    "check_sample_weights_invariance": _EQUIVALENCE_REASON,  # scikit-learn < 1.6
}


def _expected_failed_checks(estimator):
    """scikit-learn's estimator checks that zelk's estimators are expected to fail, with the
    reason: ``parametrize_with_checks(..., expected_failed_checks=expected_failed_checks)``."""
    return dict(_EXPECTED_FAILED_CHECKS) if isinstance(estimator, _ZELKBase) else {}


def _check_columns(estimator, X, reset):
    """Records (`reset`) or checks the column names and count of DataFrame `X`."""
    if _sk_validate_data is not None:
        _sk_validate_data(estimator, X, reset=reset, skip_check_array=True)
    else:  # pragma: no cover - older scikit-learn
        estimator._validate_data(X, reset=reset, cast_to_ndarray=False)


def _check_features(estimator, features, y=None, **kwargs):
    """The checks of `_validate` on a DataFrame already read as a float matrix."""
    kwargs.setdefault(_FINITE_KW, "allow-nan")
    kwargs.setdefault("dtype", np.float64)
    if y is None:
        return check_array(features, input_name="X", estimator=estimator, **kwargs)
    return check_X_y(features, y, estimator=estimator, **kwargs)


def _native_array(X):
    """A float64 array in native byte order, as the native module requires."""
    X = np.asarray(X)
    if X.dtype != np.float64 or not X.dtype.isnative:
        X = X.astype(np.float64)
    return X


class _ZELKBase(BaseEstimator):
    """The fitting, prediction and persistence shared by both estimators."""

    _criteria: tuple = ()

    # ----------------------------------------------------------------- parameters

    def _growth_settings(self, n_samples):
        """The native growth settings shared by every task kind, by keyword."""
        max_depth = self.max_depth
        if max_depth is not None:
            max_depth = _check_int("max_depth", max_depth, 0)
        min_samples_split = _resolve_count(
            "min_samples_split", self.min_samples_split, n_samples, 2, False
        )
        min_samples_leaf = _resolve_count(
            "min_samples_leaf", self.min_samples_leaf, n_samples, 1, True
        )
        min_weight_fraction_leaf = _check_real(
            "min_weight_fraction_leaf", self.min_weight_fraction_leaf, 0.0, 0.5
        )
        min_impurity_decrease = _check_real("min_impurity_decrease", self.min_impurity_decrease)
        n_bins = _check_int("n_bins", self.n_bins, 2)
        cv_folds = _check_int("cv_folds", self.cv_folds, 2)
        cv_seed = _check_int("cv_seed", self.cv_seed, 0)
        if not isinstance(self.cv_shuffle, (bool, np.bool_)):
            _fail("cv_shuffle", "a bool", self.cv_shuffle)
        mode = _check_choice("mode", self.mode, _MODES)
        split_style = _check_choice("split_style", self.split_style, _SPLIT_STYLES)
        aggregator = _check_choice("aggregator", self.aggregator, _AGGREGATORS)
        validation = _check_choice("validation", self.validation, _VALIDATIONS)
        agg_frac = _check_real("agg_frac", self.agg_frac, 0.0, 0.5)
        agg_eps = _check_real("agg_eps", self.agg_eps, 0.0, low_open=True)
        agg_lambda = _check_real("agg_lambda", self.agg_lambda, 0.0)
        parallel_min_samples = _check_int("parallel_min_samples", self.parallel_min_samples, 1)
        n_threads = _n_threads(self.n_jobs)
        return dict(
            max_depth=max_depth,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            min_weight_fraction_leaf=min_weight_fraction_leaf,
            min_impurity_decrease=min_impurity_decrease,
            n_bins=n_bins,
            cv_folds=cv_folds,
            cv_seed=cv_seed,
            cv_shuffle=bool(self.cv_shuffle),
            mode=mode,
            split_style=split_style,
            aggregator=aggregator,
            validation=validation,
            agg_frac=agg_frac,
            agg_eps=agg_eps,
            agg_lambda=agg_lambda,
            parallel=n_threads > 1,
            n_threads=n_threads,
            parallel_min_samples=parallel_min_samples,
            categorical=self._categorical_indices(),
        )

    # ----------------------------------------------------------------------- data

    def _categorical_mask(self, n_features, frame=None):
        """A boolean mask of the categorical columns of the training input."""
        spec = self.categorical_features
        names = frame.names if frame is not None else None
        mask = np.zeros(n_features, dtype=bool)
        if spec is None:
            return mask
        if isinstance(spec, str):
            if spec != "from_dtype":
                _fail(
                    "categorical_features",
                    'None, "from_dtype", or an array-like of column indices, names or booleans',
                    spec,
                )
            if frame is not None:
                for j in range(n_features):
                    mask[j] = frame.categorical_dtype(j) is not None
            return mask
        values = np.asarray(spec)
        if values.ndim != 1:
            _fail("categorical_features", "a 1-D array-like", spec)
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
        _fail(
            "categorical_features",
            'None, "from_dtype", or an array-like of column indices, names or booleans',
            spec,
        )

    def _fit_data(self, X, y, **y_kwargs):
        """Training features as a float64 array and checked targets; sets the feature
        bookkeeping (`n_features_in_`, `feature_names_in_`, `is_categorical_`)."""
        frame = as_frame(X)
        if frame is None:
            X, y = _validate(self, X, y, reset=True, **y_kwargs)
            mask = self._categorical_mask(X.shape[1])
            categories = {}
        else:
            mask = self._categorical_mask(frame.shape[1], frame)
            categories = {}
            for j in range(frame.shape[1]):
                kind = frame.categorical_dtype(j)
                if kind is not None and not mask[j]:
                    raise ValueError(
                        f"Column {frame.names[j]!r} has a {kind} dtype but is not among "
                        "categorical_features; name it there or use "
                        'categorical_features="from_dtype".'
                    )
                # Numeric categorical columns hold the codes themselves.
                if mask[j] and (kind is not None or not frame.is_numeric(j)):
                    categories[j] = frame.labels(j)
            _check_columns(self, X, reset=True)
            X, y = _check_features(self, frame.features(categories), y, **y_kwargs)
        self.is_categorical_ = mask
        self._categories = categories
        return _native_array(X), y

    def _predict_features(self, X):
        check_is_fitted(self)
        frame = as_frame(X)
        if frame is None:
            return _native_array(_validate(self, X, reset=False))
        _check_columns(self, X, reset=False)  # before the columns are read by position
        return _native_array(_check_features(self, frame.features(self._categories)))

    def _categorical_indices(self):
        return [int(j) for j in np.flatnonzero(self.is_categorical_)]

    def _fit_keeping_state_on_error(self, fit, X, y, sample_weight):
        # Validation records n_features_in_ and friends before the native fit can still
        # fail; restoring them keeps a previously fitted estimator consistent.
        saved = dict(self.__dict__)
        try:
            return fit(X, y, sample_weight)
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(saved)
            raise

    def __sklearn_is_fitted__(self):
        return hasattr(self, "_native")

    # ---------------------------------------------------------------- inspection

    def get_depth(self):
        """Depth of the fitted tree (a single leaf has depth 0)."""
        check_is_fitted(self)
        return int(self._native.depth())

    def get_n_leaves(self):
        """Number of leaves of the fitted tree."""
        check_is_fitted(self)
        return int(self._native.n_leaves())

    def export_tree(self):
        """The fitted tree as a dictionary of flat per-node lists.

        Nodes are numbered in pre-order from the root (node 0). Per node:
        "is_leaf", "children_left" and "children_right" (-1 at leaves),
        "feature" (column index), "is_categorical", "lower" and "upper" (an
        interval split sends finite values with lower <= value < upper left),
        "category" (a categorical split sends that category code left),
        "n_samples" (training samples reaching the node); then "value" for the
        regressor, or "predicted_class" (an index into ``classes_``), "proba"
        (class frequencies in ``classes_`` order) and "n_classes" for the
        classifier. Everything else, missing values included, goes right.

        Then the training statistics of every node: "impurity" (of the node's
        training samples by ``criterion``; Gini for a metric objective),
        "weighted_n_samples" (the node's total sample weight), "split_score"
        (the aggregated cross-validated score of the split chosen at the node;
        NaN at a leaf) and "fold_scores" (that split's score on each fold; an
        empty list at a leaf).
        """
        check_is_fitted(self)
        return self._native.export_tree()

    def apply(self, X):
        """Index of the leaf each sample reaches, in the node numbering of
        :meth:`export_tree` (int64)."""
        X = self._predict_features(X)
        return self._native.apply(X)

    def decision_path(self, X):
        """The nodes each sample passes through, as a scipy CSR indicator matrix of
        shape (n_samples, n_nodes) in the node numbering of :meth:`export_tree`: entry
        (i, j) is 1 when sample i passes node j. Each row's last node is the leaf that
        :meth:`apply` gives."""
        leaves = self.apply(X)
        return _decision_path(self._native.export_tree(), leaves)

    def shap_values(self, X):
        """Exact path-dependent SHAP values of the rows of ``X`` (input as ``predict`` takes
        it): (n_samples, n_features) for the regressor, (n_samples, n_features, n_classes)
        of ``predict_proba`` for the classifier. A row's values plus ``expected_value_``
        give its prediction; an unknown feature averages a split's branches by their
        training cover (``weighted_n_samples``). Computed on ``n_jobs`` threads."""
        return _shap.shap_values(self, self._predict_features(X), _n_threads(self.n_jobs))

    @property
    def expected_value_(self):
        """The prediction that :meth:`shap_values` explain the distance from: the mean over
        the training cover (a float; one value per class for the classifier)."""
        return _shap.expected_value(self)

    @property
    def validated_importances_(self):
        """Held-out feature importances: for every split, its validated gain - the
        aggregated held-out score of the split (``split_score``, per unit of weight)
        times its node's weighted share of the training set - summed per feature and
        normalised to sum to 1 (all zeros for a single leaf). A split whose validated
        gain is negative counts as zero.

        With ``validation="prune"`` a split's score is its own validated gain, estimated
        on the node's folds; with "candidates" it is the aggregated validation score that
        chose it. Unlike ``feature_importances_`` (in-sample impurity decreases, which
        favour noise features with many distinct values, as any impurity-based measure
        does), a split on noise earns little here: its held-out gain is near zero."""
        check_is_fitted(self)
        importances = _validated_importances(self._native.export_tree(), self.n_features_in_)
        if importances is None:
            raise AttributeError(
                "validated_importances_ needs the per-node split scores that this estimator's "
                "tree, pickled by an earlier zelk, does not carry; fit it again."
            )
        return importances

    @property
    def feature_importances_(self):
        """Impurity-based feature importances: for every split, the decrease of
        its node's weighted training impurity into its children's, summed per
        feature and normalised to sum to 1 (all zeros for a single leaf). Like
        any impurity-based importance, it favours features with many distinct
        values and says nothing about held-out performance."""
        check_is_fitted(self)
        tree = self._native.export_tree()
        importances = _impurity_importances(tree, self.n_features_in_)
        if importances is None:
            raise AttributeError(
                "feature_importances_ needs the per-node impurities that this estimator's "
                "tree, pickled by an earlier zelk, does not carry; fit it again."
            )
        return importances

    # --------------------------------------------------------------- persistence

    def __getstate__(self):
        state = super().__getstate__()
        if state is self.__dict__:
            state = dict(state)
        native = state.pop("_native", None)
        if native is not None:
            state["_tree_state"] = native.export_tree()
            state["_native_kind"] = type(native).__name__
        return state

    def __setstate__(self, state):
        state = dict(state)
        # Parameters that estimators pickled by an earlier zelk did not have yet; those grew
        # their trees by validating candidates.
        state.setdefault("validation", "candidates")
        state.setdefault("min_weight_fraction_leaf", 0.0)
        if isinstance(self, ZELKClassifier):
            state.setdefault("class_weight", None)
        tree = state.pop("_tree_state", None)
        kind = state.pop("_native_kind", None)
        super().__setstate__(state)
        if tree is not None:
            # Pickles made before the package drove zelk._engine name zelk._zelk's classes.
            cls = getattr(_engine, _LEGACY_KINDS.get(kind, kind))
            categorical = self._categorical_indices()
            if cls is _engine.Regressor:
                self._native = cls.from_tree(tree, categorical=categorical)
            else:
                self._native = cls.from_tree(
                    tree, n_classes=len(self.classes_), categorical=categorical
                )

    def __deepcopy__(self, memo):
        # Native estimators cannot be copied; going through the pickled state rebuilds them.
        clone = type(self).__new__(type(self))
        clone.__setstate__(copy.deepcopy(self.__getstate__(), memo))
        return clone

    # ---------------------------------------------------------------------- tags

    def __sklearn_tags__(self):
        # scikit-learn >= 1.6 reads expected check failures from
        # parametrize_with_checks(expected_failed_checks=zelk.expected_failed_checks).
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        return tags

    def _more_tags(self):  # scikit-learn < 1.6
        return {"allow_nan": True, "_xfail_checks": dict(_EXPECTED_FAILED_CHECKS)}


class ZELKRegressor(RegressorMixin, _ZELKBase):
    __doc__ = (
        """A regression tree whose splits are chosen by k-fold validation inside each node.

    At every node, each candidate split is scored on ``cv_folds`` folds of the
    node's own samples, the fold scores are combined by ``aggregator``, and the
    best candidate is accepted when its score beats ``min_impurity_decrease``.
    Leaves predict the mean target of their training samples.

    Parameters
    ----------"""
        + _GROWTH_DOC.format(
            criterion_default='"mse"',
            criteria='"mse", "variance" or "mae"',
            leaf_default=5,
            held_out_loss='squared error; absolute error from the sides\' medians for "mae"',
            candidate_score="impurity decrease",
        )
        + """
    Attributes
    ----------
    n_features_in_ : int
        Number of features seen in fit.

    feature_names_in_ : ndarray of str
        Column names of a DataFrame seen in fit (only for such inputs).

    is_categorical_ : ndarray of bool
        Which training columns are categorical.

    feature_importances_ : ndarray of float
        Impurity-based (in-sample) importances.

    validated_importances_ : ndarray of float
        Importances from the splits' held-out (validated) gains.
"""
        + _WEIGHTS_DOC
        + _MISSING_DOC
    )

    def __init__(
        self,
        criterion="mse",
        max_depth=None,
        min_samples_split=2,
        min_samples_leaf=5,
        min_weight_fraction_leaf=0.0,
        min_impurity_decrease=0.0,
        validation="prune",
        n_bins=16,
        cv_folds=5,
        cv_seed=0,
        cv_shuffle=True,
        mode="strict",
        split_style="threshold",
        aggregator="mean",
        agg_frac=0.1,
        agg_eps=1e-9,
        agg_lambda=1.0,
        parallel_min_samples=512,
        n_jobs=None,
        categorical_features="from_dtype",
    ):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.min_impurity_decrease = min_impurity_decrease
        self.validation = validation
        self.n_bins = n_bins
        self.cv_folds = cv_folds
        self.cv_seed = cv_seed
        self.cv_shuffle = cv_shuffle
        self.mode = mode
        self.split_style = split_style
        self.aggregator = aggregator
        self.agg_frac = agg_frac
        self.agg_eps = agg_eps
        self.agg_lambda = agg_lambda
        self.parallel_min_samples = parallel_min_samples
        self.n_jobs = n_jobs
        self.categorical_features = categorical_features

    def fit(self, X, y, sample_weight=None):
        """Grow the tree from features ``X`` (n_samples, n_features) and targets ``y``.

        ``X`` may be any array-like or a pandas DataFrame and may hold NaN.
        ``sample_weight`` (n_samples finite, non-negative weights, not all zero; None
        weighs every sample 1) weighs each sample in every statistic of the fit.
        Parameters are validated here. Returns the fitted estimator; a fit that
        fails leaves the estimator as it was.
        """
        return self._fit_keeping_state_on_error(self._fit, X, y, sample_weight)

    def _fit(self, X, y, sample_weight):
        criterion = _check_choice("criterion", self.criterion, _REGRESSION_CRITERIA)
        X, y = self._fit_data(X, y, y_numeric=True)
        weights = _check_sample_weight(sample_weight, X.shape[0])
        y = np.ascontiguousarray(y, dtype=np.float64)
        settings = self._growth_settings(X.shape[0])
        native = _engine.Regressor(criterion=criterion, **settings)
        native.fit(X, y, weights)
        self._native = native
        return self

    def predict(self, X):
        """Predicted targets: the mean training target of the leaf each row reaches."""
        X = self._predict_features(X)
        return self._native.predict(X)


class ZELKClassifier(ClassifierMixin, _ZELKBase):
    __doc__ = (
        """A classification tree whose splits are chosen by k-fold validation inside each node.

    At every node, each candidate split is scored on ``cv_folds`` folds of the
    node's own samples, either by its validation impurity decrease
    (``criterion``) or, when ``objective`` is set, by the gain of a
    classification metric over predicting the node's majority class. Leaves
    predict the most frequent training class; ``predict_proba`` returns the
    leaf's class frequencies.

    Parameters
    ----------
    objective : {None, "accuracy", "precision", "recall", "f1", "fbeta"}, default=None
        None chooses splits by impurity (``criterion``); a metric name chooses
        them by that metric's cross-validated gain.

    average : {None, "binary", "micro", "macro", "weighted"}, default=None
        Averaging of "precision", "recall", "f1" and "fbeta" over classes.
        None means "binary" for two classes and "macro" otherwise; "binary"
        scores the class ``pos_label`` alone.

    pos_label : label or None, default=None
        The positive class for "binary" averaging, in the label space of
        ``y``; None means the greater of the two classes (``classes_[1]``).

    beta : float, default=1.0
        Weight of recall against precision in "fbeta" (>= 0).

    class_weight : None, "balanced" or dict, default=None
        Weights of the classes, as scikit-learn defines them: a dict maps labels
        of ``y`` to weights, "balanced" weighs each class by n_samples /
        (n_classes * its count), None weighs every class 1. They multiply
        ``sample_weight`` in ``fit``.
"""
        + _GROWTH_DOC.format(
            criterion_default='"entropy"',
            criteria='"gini" or "entropy"',
            leaf_default=1,
            held_out_loss="the Brier score of the sides' class frequencies, smoothed by one "
            "pseudo-sample per class; with ``objective`` the node's split maximises the "
            "metric and the folds judge it the same way",
            candidate_score="impurity decrease (or, with ``objective``, the metric's gain)",
        )
        + """
    Attributes
    ----------
    classes_ : ndarray
        The class labels, sorted; ``predict_proba`` columns follow this order.

    n_classes_ : int
        Number of classes.

    n_features_in_ : int
        Number of features seen in fit.

    feature_names_in_ : ndarray of str
        Column names of a DataFrame seen in fit (only for such inputs).

    is_categorical_ : ndarray of bool
        Which training columns are categorical.

    feature_importances_ : ndarray of float
        Impurity-based (in-sample) importances.

    validated_importances_ : ndarray of float
        Importances from the splits' held-out (validated) gains.
"""
        + _WEIGHTS_DOC
        + _MISSING_DOC
    )

    def __init__(
        self,
        criterion="entropy",
        objective=None,
        average=None,
        pos_label=None,
        beta=1.0,
        class_weight=None,
        max_depth=None,
        min_samples_split=2,
        min_samples_leaf=1,
        min_weight_fraction_leaf=0.0,
        min_impurity_decrease=0.0,
        validation="prune",
        n_bins=16,
        cv_folds=5,
        cv_seed=0,
        cv_shuffle=True,
        mode="strict",
        split_style="threshold",
        aggregator="mean",
        agg_frac=0.1,
        agg_eps=1e-9,
        agg_lambda=1.0,
        parallel_min_samples=512,
        n_jobs=None,
        categorical_features="from_dtype",
    ):
        self.criterion = criterion
        self.objective = objective
        self.average = average
        self.pos_label = pos_label
        self.beta = beta
        self.class_weight = class_weight
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.min_impurity_decrease = min_impurity_decrease
        self.validation = validation
        self.n_bins = n_bins
        self.cv_folds = cv_folds
        self.cv_seed = cv_seed
        self.cv_shuffle = cv_shuffle
        self.mode = mode
        self.split_style = split_style
        self.aggregator = aggregator
        self.agg_frac = agg_frac
        self.agg_eps = agg_eps
        self.agg_lambda = agg_lambda
        self.parallel_min_samples = parallel_min_samples
        self.n_jobs = n_jobs
        self.categorical_features = categorical_features

    def _objective_settings(self):
        """The native (average, pos_label index, beta) of the metric objective."""
        n_classes = len(self.classes_)
        average = self.average
        if average is None:
            average = "binary" if n_classes == 2 else "macro"
        average = _check_choice("average", average, _AVERAGES)
        beta = _check_real("beta", self.beta, 0.0)
        if average != "binary":
            return average, 0, beta
        if self.objective != "accuracy" and n_classes > 2:
            raise ValueError(
                f"average='binary' needs a binary target, but y has {n_classes} classes; "
                "choose average from 'micro', 'macro' or 'weighted'."
            )
        pos_label = self.pos_label
        if pos_label is None:
            return average, n_classes - 1, beta
        matches = [i for i, label in enumerate(self.classes_.tolist()) if label == pos_label]
        if len(matches) != 1:
            raise ValueError(
                f"pos_label={pos_label!r} is not a valid label: it should be one of "
                f"{self.classes_.tolist()}."
            )
        return average, int(matches[0]), beta

    def fit(self, X, y, sample_weight=None):
        """Grow the tree from features ``X`` (n_samples, n_features) and labels ``y``.

        ``X`` may be any array-like or a pandas DataFrame and may hold NaN;
        labels may be of any sortable kind. ``sample_weight`` (n_samples finite,
        non-negative weights, not all zero; None weighs every sample 1) weighs
        each sample in every statistic of the fit, times its class's
        ``class_weight``. Parameters are validated here. Returns the fitted
        estimator; a fit that fails leaves the estimator as it was.
        """
        return self._fit_keeping_state_on_error(self._fit, X, y, sample_weight)

    def _class_weights(self, y, weights):
        """`weights` times the weight of each sample's class under class_weight."""
        class_weight = self.class_weight
        if class_weight is None:
            return weights
        if not (isinstance(class_weight, dict) or class_weight == "balanced"):
            _fail("class_weight", 'None, "balanced" or a dict of label: weight', class_weight)
        by_class = compute_sample_weight(class_weight, y)
        return _check_sample_weight(
            by_class if weights is None else weights * by_class, y.shape[0]
        )

    def _fit(self, X, y, sample_weight):
        if self.objective is None:
            criterion = _check_choice("criterion", self.criterion, _CLASSIFICATION_CRITERIA)
        else:
            objective = _check_choice("objective", self.objective, _OBJECTIVES)
        X, y = self._fit_data(X, y)
        check_classification_targets(y)
        weights = self._class_weights(y, _check_sample_weight(sample_weight, X.shape[0]))
        classes, encoded = np.unique(y, return_inverse=True)
        settings = self._growth_settings(X.shape[0])
        self.classes_ = classes
        self.n_classes_ = len(classes)
        encoded = np.ascontiguousarray(encoded.reshape(-1), dtype=np.int64)
        if self.objective is None:
            native = _engine.Classifier(n_classes=len(classes), criterion=criterion, **settings)
        else:
            average, pos_label, beta = self._objective_settings()
            native = _engine.ObjectiveClassifier(
                n_classes=len(classes),
                objective=objective,
                average=average,
                pos_label=pos_label,
                beta=beta,
                **settings,
            )
        native.fit(X, encoded, weights)
        self._native = native
        return self

    def predict(self, X):
        """Predicted labels (from ``classes_``): the most frequent class of each row's leaf."""
        X = self._predict_features(X)
        return self.classes_[self._native.predict(X)]

    def predict_proba(self, X):
        """Class frequencies of each row's leaf; columns follow ``classes_``."""
        X = self._predict_features(X)
        return self._native.predict_proba(X)

    def predict_log_proba(self, X):
        """Logarithm of :meth:`predict_proba` (-inf for a class absent from the leaf)."""
        proba = self.predict_proba(X)
        with np.errstate(divide="ignore"):
            # The probabilities are a fresh array of our own, so the log can replace them.
            return np.log(proba, out=proba)
