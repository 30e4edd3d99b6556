"""The native extension module `zelk._engine`, which `zelk.ZELKClassifier` and
`zelk.ZELKRegressor` drive: keyword-only settings with the package's defaults, and
label-encoded targets. fit, predict, predict_proba, apply and shap_values release the
interpreter lock while they grow or walk the tree; calls on one object take turns.
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_F64Matrix = npt.NDArray[np.float64]
_Weights = npt.NDArray[np.float64] | None
_Categorical = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]
# One of -1, 0, 1 per feature; None (or empty) for none.
_Constraints = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None
_TreeState = dict[str, Any]

class PanicException(BaseException):
    """An abnormal end of a native operation: a thread that could not start, a failed
    worker, an unexpected C++ exception."""

@final
class Regressor:
    """Native regression tree; leaves predict their mean target."""

    def __new__(
        cls,
        *,
        criterion: str = "mse",
        max_depth: SupportsIndex | None = None,
        min_samples_split: SupportsIndex = 2,
        min_samples_leaf: SupportsIndex = 5,
        min_impurity_decrease: float = 0.0,
        n_bins: SupportsIndex = 16,
        cv_folds: SupportsIndex = 5,
        cv_seed: SupportsIndex = 0,
        cv_shuffle: bool | np.bool_ = True,
        mode: str = "auto",
        split_style: str = "threshold",
        aggregator: str = "mean",
        agg_frac: float = 0.1,
        agg_eps: float = 1e-09,
        agg_lambda: float = 1.0,
        parallel: bool | np.bool_ = False,
        n_threads: SupportsIndex = 1,
        parallel_min_samples: SupportsIndex = 512,
        categorical: _Categorical = (),
        validation: str = "tree",
        min_weight_fraction_leaf: float = 0.0,
        categorical_split: str = "subset",
        monotonic_cst: _Constraints = None,
        thresholds: str = "midpoint",
    ) -> Regressor: ...
    def fit(
        self, /, x: _F64Matrix, y: npt.NDArray[np.float64], sample_weight: _Weights = None
    ) -> None: ...
    def predict(self, /, x: _F64Matrix) -> npt.NDArray[np.float64]: ...
    def apply(self, /, x: _F64Matrix) -> npt.NDArray[np.int64]: ...
    def shap_values(
        self, /, x: _F64Matrix, n_threads: SupportsIndex = 1
    ) -> tuple[npt.NDArray[np.float64], Any]: ...
    def depth(self, /) -> int: ...
    def n_leaves(self, /) -> int: ...
    def export_tree(self, /) -> _TreeState: ...
    @staticmethod
    def from_tree(tree: _TreeState, *, categorical: _Categorical = ()) -> Regressor: ...

@final
class Classifier:
    """Native classification tree with impurity splits over labels 0 .. n_classes - 1."""

    def __new__(
        cls,
        *,
        n_classes: SupportsIndex = 2,
        criterion: str = "entropy",
        max_depth: SupportsIndex | None = None,
        min_samples_split: SupportsIndex = 2,
        min_samples_leaf: SupportsIndex = 1,
        min_impurity_decrease: float = 0.0,
        n_bins: SupportsIndex = 16,
        cv_folds: SupportsIndex = 5,
        cv_seed: SupportsIndex = 0,
        cv_shuffle: bool | np.bool_ = True,
        mode: str = "auto",
        split_style: str = "threshold",
        aggregator: str = "mean",
        agg_frac: float = 0.1,
        agg_eps: float = 1e-09,
        agg_lambda: float = 1.0,
        parallel: bool | np.bool_ = False,
        n_threads: SupportsIndex = 1,
        parallel_min_samples: SupportsIndex = 512,
        categorical: _Categorical = (),
        validation: str = "tree",
        min_weight_fraction_leaf: float = 0.0,
        categorical_split: str = "subset",
        monotonic_cst: _Constraints = None,
        thresholds: str = "midpoint",
    ) -> Classifier: ...
    def fit(
        self, /, x: _F64Matrix, y: npt.NDArray[np.int64], sample_weight: _Weights = None
    ) -> None: ...
    def predict(self, /, x: _F64Matrix) -> npt.NDArray[np.int64]: ...
    def predict_proba(self, /, x: _F64Matrix) -> npt.NDArray[np.float64]: ...
    def apply(self, /, x: _F64Matrix) -> npt.NDArray[np.int64]: ...
    def shap_values(
        self, /, x: _F64Matrix, n_threads: SupportsIndex = 1
    ) -> tuple[npt.NDArray[np.float64], Any]: ...
    def depth(self, /) -> int: ...
    def n_leaves(self, /) -> int: ...
    def export_tree(self, /) -> _TreeState: ...
    @staticmethod
    def from_tree(
        tree: _TreeState, *, n_classes: SupportsIndex | None = None, categorical: _Categorical = ()
    ) -> Classifier: ...

@final
class ObjectiveClassifier:
    """Native classification tree whose splits maximise a metric's cross-validated gain."""

    def __new__(
        cls,
        *,
        n_classes: SupportsIndex = 2,
        objective: str = "accuracy",
        average: str = "binary",
        pos_label: SupportsIndex = 1,
        beta: float = 1.0,
        max_depth: SupportsIndex | None = None,
        min_samples_split: SupportsIndex = 2,
        min_samples_leaf: SupportsIndex = 1,
        min_impurity_decrease: float = 0.0,
        n_bins: SupportsIndex = 16,
        cv_folds: SupportsIndex = 5,
        cv_seed: SupportsIndex = 0,
        cv_shuffle: bool | np.bool_ = True,
        mode: str = "auto",
        split_style: str = "threshold",
        aggregator: str = "mean",
        agg_frac: float = 0.1,
        agg_eps: float = 1e-09,
        agg_lambda: float = 1.0,
        parallel: bool | np.bool_ = False,
        n_threads: SupportsIndex = 1,
        parallel_min_samples: SupportsIndex = 512,
        categorical: _Categorical = (),
        validation: str = "tree",
        min_weight_fraction_leaf: float = 0.0,
        categorical_split: str = "subset",
        monotonic_cst: _Constraints = None,
        thresholds: str = "midpoint",
    ) -> ObjectiveClassifier: ...
    def fit(
        self, /, x: _F64Matrix, y: npt.NDArray[np.int64], sample_weight: _Weights = None
    ) -> None: ...
    def predict(self, /, x: _F64Matrix) -> npt.NDArray[np.int64]: ...
    def predict_proba(self, /, x: _F64Matrix) -> npt.NDArray[np.float64]: ...
    def apply(self, /, x: _F64Matrix) -> npt.NDArray[np.int64]: ...
    def shap_values(
        self, /, x: _F64Matrix, n_threads: SupportsIndex = 1
    ) -> tuple[npt.NDArray[np.float64], Any]: ...
    def depth(self, /) -> int: ...
    def n_leaves(self, /) -> int: ...
    def export_tree(self, /) -> _TreeState: ...
    @staticmethod
    def from_tree(
        tree: _TreeState, *, n_classes: SupportsIndex | None = None, categorical: _Categorical = ()
    ) -> ObjectiveClassifier: ...
