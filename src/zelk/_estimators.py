"""scikit-learn estimators over the native trees of :mod:`zelk._engine`."""

from __future__ import annotations

import copy
import inspect

import numpy as np
from scipy import sparse
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.class_weight import compute_sample_weight
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_array, check_is_fitted, check_X_y

from . import _engine, _params
from ._docs import CLASSIFIER_DOC, REGRESSOR_DOC
from ._inputs import as_frame
from ._params import fail, is_real

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


def impurity_importances(tree, n_features):
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


def validated_importances(tree, n_features):
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


def decision_path(tree, leaves):
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


def check_sample_weight(sample_weight, n_samples):
    """`sample_weight` as a float64 array of n_samples finite, non-negative weights that are
    not all zero (a number weighs every row the same), or None."""
    if sample_weight is None:
        return None
    if is_real(sample_weight):
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


def with_class_weights(class_weight, y, weights):
    """`weights` times the weight of each sample's class under a checked `class_weight`."""
    if class_weight is None:
        return weights
    by_class = compute_sample_weight(class_weight, y)
    return check_sample_weight(by_class if weights is None else weights * by_class, y.shape[0])


# Rows, not weight units, are dealt into folds, so an integer weight and repeated rows grow
# different trees.
_EQUIVALENCE_REASON = (
    "rows, not weight units, are dealt into each node's cross-validation folds, so an "
    "integer weight is not equivalent to repeating the row"
)
EXPECTED_FAILED_CHECKS = {
    "check_sample_weight_equivalence_on_dense_data": _EQUIVALENCE_REASON,
    "check_sample_weight_equivalence_on_sparse_data": _EQUIVALENCE_REASON,
    "check_sample_weights_invariance": _EQUIVALENCE_REASON,  # scikit-learn < 1.6
}


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


# Pickles made before the package drove zelk._engine name zelk._zelk's classes.
_LEGACY_KINDS = {
    "RawRegressor": "Regressor",
    "RawClassifier": "Classifier",
    "RawObjectiveClassifier": "ObjectiveClassifier",
}
# A setting that an earlier zelk did not have takes its default, except where the trees of
# that time grew otherwise: they were grown by validating candidates.
_EARLIER_DEFAULTS = {"validation": "candidates"}


def _pickled(state):
    """`state` with the native tree replaced by its dictionary and class name."""
    state = dict(state)
    native = state.pop("_native", None)
    if native is not None:
        state["_tree_state"] = native.export_tree()
        state["_native_kind"] = type(native).__name__
    return state


def _unpickled(state, settings):
    """The attributes of a pickled `state`, with the rows of `settings` it lacks, and the
    native tree rebuilt from it (None for an unfitted estimator)."""
    state = dict(state)
    for name, row in settings.items():
        state.setdefault(name, _EARLIER_DEFAULTS.get(name, row.default))
    tree = state.pop("_tree_state", None)
    kind = state.pop("_native_kind", None)
    if tree is None:
        return state, None
    cls = getattr(_engine, _LEGACY_KINDS.get(kind, kind))
    categorical = [int(j) for j in np.flatnonzero(state["is_categorical_"])]
    if cls is _engine.Regressor:
        return state, cls.from_tree(tree, categorical=categorical)
    return state, cls.from_tree(tree, n_classes=len(state["classes_"]), categorical=categorical)


def _expected_failed_checks(estimator):
    """scikit-learn's estimator checks that zelk's estimators are expected to fail, with the
    reason: ``parametrize_with_checks(..., expected_failed_checks=expected_failed_checks)``."""
    return dict(EXPECTED_FAILED_CHECKS) if isinstance(estimator, _ZELKBase) else {}


def _native_array(X):
    """A float64 array in native byte order, as the native module requires."""
    X = np.asarray(X)
    if X.dtype != np.float64 or not X.dtype.isnative:
        X = X.astype(np.float64)
    return X


class _ZELKBase(BaseEstimator):
    """The fitting, prediction and persistence shared by both estimators."""

    _settings: dict = {}  # the estimator's table of settings, from zelk._params

    # ----------------------------------------------------------------- parameters

    def _check(self, name, n_samples=None):
        """Setting `name` checked and resolved for the native tree."""
        return self._settings[name].rule.check(name, getattr(self, name), n_samples)

    def _growth_settings(self, n_samples):
        """The native growth settings shared by every task kind, by keyword."""
        settings = {
            name: self._check(name, n_samples)
            for name, row in _params.GROWTH.items()
            if row.rule.check is not None
        }
        n_threads = settings.pop("n_jobs")
        settings.update(
            parallel=n_threads > 1, n_threads=n_threads, categorical=self._categorical_indices()
        )
        return settings

    # ----------------------------------------------------------------------- data

    def _fit_data(self, X, y, **y_kwargs):
        """Training features as a float64 array and checked targets; sets the feature
        bookkeeping (`n_features_in_`, `feature_names_in_`, `is_categorical_`)."""
        frame = as_frame(X)
        if frame is None:
            X, y = validate(self, X, y, reset=True, **y_kwargs)
            mask, categories = categorical_mask(self.categorical_features, X.shape[1]), {}
        else:
            mask, categories = frame_categories(self.categorical_features, frame)
            check_columns(self, X, reset=True)
            X, y = check_features(self, frame.features(categories), y, **y_kwargs)
        self.is_categorical_ = mask
        self._categories = categories
        return _native_array(X), y

    def _predict_features(self, X):
        check_is_fitted(self)
        frame = as_frame(X)
        if frame is None:
            return _native_array(validate(self, X, reset=False))
        check_columns(self, X, reset=False)  # before the columns are read by position
        return _native_array(check_features(self, frame.features(self._categories)))

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
        return decision_path(self._native.export_tree(), leaves)

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
        importances = validated_importances(self._native.export_tree(), self.n_features_in_)
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
        importances = impurity_importances(tree, self.n_features_in_)
        if importances is None:
            raise AttributeError(
                "feature_importances_ needs the per-node impurities that this estimator's "
                "tree, pickled by an earlier zelk, does not carry; fit it again."
            )
        return importances

    # --------------------------------------------------------------- persistence

    def __getstate__(self):
        return _pickled(super().__getstate__())

    def __setstate__(self, state):
        state, native = _unpickled(state, self._settings)
        super().__setstate__(state)
        if native is not None:
            self._native = native

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
        return {"allow_nan": True, "_xfail_checks": dict(EXPECTED_FAILED_CHECKS)}


class ZELKRegressor(RegressorMixin, _ZELKBase):
    __doc__ = REGRESSOR_DOC
    _settings = _params.REGRESSOR

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
        _params.keep(self, locals())

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
        criterion = self._check("criterion")
        X, y = self._fit_data(X, y, y_numeric=True)
        weights = check_sample_weight(sample_weight, X.shape[0])
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
    __doc__ = CLASSIFIER_DOC
    _settings = _params.CLASSIFIER

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
        _params.keep(self, locals())

    def _objective_settings(self):
        """The native (average, pos_label index, beta) of the metric objective."""
        n_classes = len(self.classes_)
        average = self._check("average")
        if average is None:
            average = "binary" if n_classes == 2 else "macro"
        beta = self._check("beta")
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

    def _fit(self, X, y, sample_weight):
        objective = self._check("objective")
        if objective is None:
            criterion = self._check("criterion")
        X, y = self._fit_data(X, y)
        check_classification_targets(y)
        weights = check_sample_weight(sample_weight, X.shape[0])
        weights = with_class_weights(self._check("class_weight"), y, weights)
        classes, encoded = np.unique(y, return_inverse=True)
        settings = self._growth_settings(X.shape[0])
        self.classes_ = classes
        self.n_classes_ = len(classes)
        encoded = np.ascontiguousarray(encoded.reshape(-1), dtype=np.int64)
        if objective is None:
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
