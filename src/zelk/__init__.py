"""Cross-validated decision trees: every split is chosen by k-fold validation inside its node.

The estimators :class:`ZELKClassifier` and :class:`ZELKRegressor` follow
scikit-learn's conventions; :func:`export_text` and :func:`export_graphviz`
show a fitted tree, :func:`plot_tree` and :func:`plot_split_scores` draw it
(with matplotlib: ``pip install 'zelk[plot]'``).
"""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

from ._estimators import ZELKClassifier, ZELKRegressor
from ._export import export_graphviz, export_text
from ._plot import plot_split_scores, plot_tree

try:
    __version__ = _version("zelk")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+unknown"

__all__ = [
    "ZELKClassifier",
    "ZELKRegressor",
    "export_graphviz",
    "export_text",
    "plot_split_scores",
    "plot_tree",
    "__version__",
]
