"""scikit-learn estimators over the native trees of :mod:`zelk._engine`."""

from __future__ import annotations

import copy

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from . import _engine, _params, _persistence, _shap
from ._categorical import categorical_mask, frame_categories
from ._compat import check_columns, check_features, validate
from ._docs import CLASSIFIER_DOC, REGRESSOR_DOC
from ._inputs import as_frame
from ._tree_arrays import decision_path, impurity_importances, validated_importances
from ._weights import EXPECTED_FAILED_CHECKS, check_sample_weight, with_class_weights


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
        categorical = self._categorical_indices()
        settings.update(parallel=n_threads > 1, n_threads=n_threads, categorical=categorical)
        constraints = settings["monotonic_cst"]
        if constraints is not None:
            if len(constraints) != self.n_features_in_:
                raise ValueError(
                    f"monotonic_cst has {len(constraints)} entries, but X has "
                    f"{self.n_features_in_} features."
                )
            constrained = [j for j in categorical if constraints[j] != 0]
            if constrained:
                raise ValueError(
                    f"monotonic_cst constrains the categorical feature {constrained[0]}; a "
                    "categorical feature takes 0."
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

    def shap_values(self, X):
        """Exact path-dependent SHAP values of the rows of ``X`` (input as ``predict`` takes
        it): (n_samples, n_features) for the regressor, (n_samples, n_features, n_classes)
        of ``predict_proba`` for the classifier. A row's values plus ``expected_value_``
        give its prediction; an unknown feature averages a split's branches by their
        training cover (``weighted_n_samples``). Computed on ``n_jobs`` threads."""
        n_threads = self._check("n_jobs")
        return _shap.shap_values(self, self._predict_features(X), n_threads)

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

        With ``validation="tree"`` or "prune" a split's score is its own validated gain,
        estimated on the node's folds; with "candidates" it is the aggregated validation score that
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
        return _persistence.pickled(super().__getstate__())

    def __setstate__(self, state):
        state, native = _persistence.unpickled(state, self._settings)
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
        validation="tree",
        n_bins=16,
        cv_folds=5,
        cv_seed=0,
        cv_shuffle=True,
        mode="auto",
        split_style="threshold",
        thresholds="midpoint",
        aggregator="mean",
        agg_frac=0.1,
        agg_eps=1e-9,
        agg_lambda=1.0,
        parallel_min_samples=512,
        n_jobs=None,
        categorical_features="from_dtype",
        categorical_split="subset",
        monotonic_cst=None,
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
        validation="tree",
        n_bins=16,
        cv_folds=5,
        cv_seed=0,
        cv_shuffle=True,
        mode="auto",
        split_style="threshold",
        thresholds="midpoint",
        aggregator="mean",
        agg_frac=0.1,
        agg_eps=1e-9,
        agg_lambda=1.0,
        parallel_min_samples=512,
        n_jobs=None,
        categorical_features="from_dtype",
        categorical_split="subset",
        monotonic_cst=None,
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
        if settings["monotonic_cst"] is not None:
            if objective is not None:
                raise ValueError(
                    "monotonic_cst needs an impurity criterion: the objective classifier "
                    f"(objective={objective!r}) does not support it."
                )
            if len(classes) > 2:
                raise ValueError(
                    "monotonic_cst is supported for two classes only, but y has "
                    f"{len(classes)} classes."
                )
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
