"""Cross-validated decision trees: every split is chosen by k-fold validation inside its node.

The estimators :class:`ZELKClassifier` and :class:`ZELKRegressor` follow
scikit-learn's conventions; :func:`export_text` and :func:`export_graphviz`
show a fitted tree, :func:`plot_tree` and :func:`plot_split_scores` draw it
(with matplotlib: ``pip install 'zelk[plot]'``). The estimators' ``shap_values``
explain each prediction, :func:`plot_contributions` draws one row's values,
:func:`to_shap` hands the tree to shap's ``TreeExplainer`` and :func:`to_onnx`
exports it to ONNX (``pip install 'zelk[onnx]'``).
"""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

from ._estimators import ZELKClassifier, ZELKRegressor
from ._export import export_graphviz, export_text
from ._onnx import to_onnx
from ._plot import plot_split_scores, plot_tree
from ._shap import plot_contributions, to_shap

try:
    __version__ = _version("zelk")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+unknown"

__all__ = [
    "ZELKClassifier",
    "ZELKRegressor",
    "export_graphviz",
    "export_text",
    "plot_contributions",
    "plot_split_scores",
    "plot_tree",
    "to_onnx",
    "to_shap",
    "__version__",
]
