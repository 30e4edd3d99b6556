"""The native extension module `zelk._zelk`: the package's native core.

Use `zelk.ZELKClassifier` and `zelk.ZELKRegressor`; these classes take every
argument, unchecked beyond their types and names, and label-encoded targets.
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_F64Matrix = npt.NDArray[np.float64]
_Categorical = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]
_TreeState = dict[str, Any]

@final
class RawRegressor:
    """Native regression tree."""

    def __new__(
        cls,
        criterion: str,
        max_depth: SupportsIndex | None,
        min_samples_split: SupportsIndex,
        min_samples_leaf: SupportsIndex,
        min_impurity_decrease: float,
        n_bins: SupportsIndex,
        cv_folds: SupportsIndex,
        cv_seed: SupportsIndex,
        cv_shuffle: bool | np.bool_,
        mode: str,
        split_style: str,
        aggregator: str,
        agg_frac: float,
        agg_eps: float,
        agg_lambda: float,
        parallel: bool | np.bool_,
        n_threads: SupportsIndex,
        parallel_min_samples: SupportsIndex,
        categorical: _Categorical,
    ) -> RawRegressor: ...
    def fit(self, /, x: _F64Matrix, y: npt.NDArray[np.float64]) -> None: ...
    def predict(self, /, x: _F64Matrix) -> npt.NDArray[np.float64]: ...
    def depth(self, /) -> int: ...
    def n_leaves(self, /) -> int: ...
    def export_tree(self, /) -> _TreeState: ...
    @staticmethod
    def from_tree(tree: _TreeState, categorical: _Categorical) -> RawRegressor: ...

@final
class RawClassifier:
    """Native classification tree. Targets are already label-encoded to `0..n`
    by the Python layer; class recovery happens there via `classes_`."""

    def __new__(
        cls,
        n_classes: SupportsIndex,
        criterion: str,
        max_depth: SupportsIndex | None,
        min_samples_split: SupportsIndex,
        min_samples_leaf: SupportsIndex,
        min_impurity_decrease: float,
        n_bins: SupportsIndex,
        cv_folds: SupportsIndex,
        cv_seed: SupportsIndex,
        cv_shuffle: bool | np.bool_,
        mode: str,
        split_style: str,
        aggregator: str,
        agg_frac: float,
        agg_eps: float,
        agg_lambda: float,
        parallel: bool | np.bool_,
        n_threads: SupportsIndex,
        parallel_min_samples: SupportsIndex,
        categorical: _Categorical,
    ) -> RawClassifier: ...
    def fit(self, /, x: _F64Matrix, y: npt.NDArray[np.int64]) -> None: ...
    def predict(self, /, x: _F64Matrix) -> npt.NDArray[np.int64]: ...
    def predict_proba(self, /, x: _F64Matrix) -> npt.NDArray[np.float64]: ...
    def depth(self, /) -> int: ...
    def n_leaves(self, /) -> int: ...
    def export_tree(self, /) -> _TreeState: ...
    @staticmethod
    def from_tree(
        tree: _TreeState, n_classes: SupportsIndex, categorical: _Categorical
    ) -> RawClassifier: ...

@final
class RawObjectiveClassifier:
    """Native classification tree that selects splits by a metric objective
    (precision/recall/F1/Fβ/accuracy) instead of impurity."""

    def __new__(
        cls,
        n_classes: SupportsIndex,
        objective: str,
        average: str,
        pos_label: SupportsIndex,
        beta: float,
        max_depth: SupportsIndex | None,
        min_samples_split: SupportsIndex,
        min_samples_leaf: SupportsIndex,
        min_impurity_decrease: float,
        n_bins: SupportsIndex,
        cv_folds: SupportsIndex,
        cv_seed: SupportsIndex,
        cv_shuffle: bool | np.bool_,
        mode: str,
        split_style: str,
        aggregator: str,
        agg_frac: float,
        agg_eps: float,
        agg_lambda: float,
        parallel: bool | np.bool_,
        n_threads: SupportsIndex,
        parallel_min_samples: SupportsIndex,
        categorical: _Categorical,
    ) -> RawObjectiveClassifier: ...
    def fit(self, /, x: _F64Matrix, y: npt.NDArray[np.int64]) -> None: ...
    def predict(self, /, x: _F64Matrix) -> npt.NDArray[np.int64]: ...
    def predict_proba(self, /, x: _F64Matrix) -> npt.NDArray[np.float64]: ...
    def depth(self, /) -> int: ...
    def n_leaves(self, /) -> int: ...
    def export_tree(self, /) -> _TreeState: ...
    @staticmethod
    def from_tree(
        tree: _TreeState, n_classes: SupportsIndex, categorical: _Categorical
    ) -> RawObjectiveClassifier: ...
