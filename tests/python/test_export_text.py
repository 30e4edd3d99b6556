"""Text and DOT views of trees, pinned on hand-built trees, and checked on fitted ones."""

import numpy as np
import pytest
from sklearn.datasets import load_iris
from sklearn.exceptions import NotFittedError

from zelk import ZELKClassifier, ZELKRegressor, _zelk, export_graphviz, export_text

pd = pytest.importorskip("pandas")

NAN = float("nan")
INF = float("inf")

# Root: a < 2.5; right: colour == code 1; its right: 1.0 <= b < 3.0.
REGRESSION_TREE = {
    "node_count": 7,
    "is_leaf": [False, True, False, True, False, True, True],
    "children_left": [1, -1, 3, -1, 5, -1, -1],
    "children_right": [2, -1, 4, -1, 6, -1, -1],
    "feature": [0, -1, 2, -1, 1, -1, -1],
    "is_categorical": [False, False, True, False, False, False, False],
    "lower": [-INF, NAN, NAN, NAN, 1.0, NAN, NAN],
    "upper": [2.5, NAN, NAN, NAN, 3.0, NAN, NAN],
    "category": [-1, -1, 1, -1, -1, -1, -1],
    "n_samples": [20, 10, 10, 5, 5, 3, 2],
    "value": [NAN, 1.5, NAN, 4.25, NAN, 7.0, -2.0],
}

# Root: x >= 0.5 (lower bound only) on feature 1.
CLASS_TREE = {
    "node_count": 3,
    "is_leaf": [False, True, True],
    "children_left": [1, -1, -1],
    "children_right": [2, -1, -1],
    "feature": [1, -1, -1],
    "is_categorical": [False, False, False],
    "lower": [0.5, NAN, NAN],
    "upper": [INF, NAN, NAN],
    "category": [-1, -1, -1],
    "n_samples": [12, 8, 4],
    "predicted_class": [-1, 1, 0],
    "proba": [[], [0.25, 0.75], [1.0, 0.0]],
    "n_classes": 2,
}


@pytest.fixture
def regressor():
    """A fitted regressor on a frame with a category column, carrying REGRESSION_TREE."""
    frame = pd.DataFrame(
        {
            "a": np.linspace(0, 5, 30),
            "b": np.linspace(-1, 4, 30),
            "colour": pd.Categorical(np.resize(["blue", "green", "red"], 30)),
        }
    )
    model = ZELKRegressor(max_depth=1).fit(frame, np.linspace(0, 1, 30))
    model._native = _zelk.RawRegressor.from_tree(REGRESSION_TREE, [2])
    return model, frame


@pytest.fixture
def classifier():
    X = np.column_stack([np.zeros(12), np.r_[np.zeros(6), np.ones(6)]])
    model = ZELKClassifier(max_depth=1).fit(X, np.array(["no", "yes"] * 6))
    model._native = _zelk.RawClassifier.from_tree(CLASS_TREE, 2, [])
    return model


def test_text_shows_intervals_categories_and_leaves(regressor):
    model, _ = regressor
    assert export_text(model) == (
        "|--- a < 2.50\n"
        "|   |--- value: 1.50 (n=10)\n"
        "|--- a >= 2.50 or missing\n"
        "|   |--- colour == green\n"
        "|   |   |--- value: 4.25 (n=5)\n"
        "|   |--- colour != green\n"
        "|   |   |--- 1.00 <= b < 3.00\n"
        "|   |   |   |--- value: 7.00 (n=3)\n"
        "|   |   |--- b not in [1.00, 3.00) or missing\n"
        "|   |   |   |--- value: -2.00 (n=2)\n"
    )


def test_text_options(regressor):
    model, _ = regressor
    assert export_text(
        model,
        feature_names=["x0", "x1", "x2"],
        max_depth=1,
        spacing=1,
        decimals=1,
        show_samples=False,
        category_names={"x2": ["c0", "c1", "c2"]},
    ) == (
        "|- x0 < 2.5\n"
        "| |- value: 1.5\n"
        "|- x0 >= 2.5 or missing\n"
        "| |- x2 == c1\n"
        "| | |- value: 4.2\n"
        "| |- x2 != c1\n"
        "| | |- truncated branch of depth 1\n"
    )
    with pytest.raises(ValueError, match="feature_names has 2 names"):
        export_text(model, feature_names=["a", "b"])
    with pytest.raises(ValueError, match="spacing must be an int >= 1"):
        export_text(model, spacing=0)


def test_text_of_a_classifier_shows_class_names_and_proba(classifier):
    assert export_text(classifier, show_proba=True) == (
        "|--- feature_1 >= 0.50\n"
        "|   |--- class: yes, proba: [0.25, 0.75] (n=8)\n"
        "|--- feature_1 < 0.50 or missing\n"
        "|   |--- class: no, proba: [1.00, 0.00] (n=4)\n"
    )
    assert "class: B" in export_text(classifier, class_names=["A", "B"])


def test_small_thresholds_keep_significant_digits(classifier):
    tree = dict(CLASS_TREE, lower=[0.000123, NAN, NAN])
    classifier._native = _zelk.RawClassifier.from_tree(tree, 2, [])
    assert export_text(classifier).splitlines()[0] == "|--- feature_1 >= 0.00012"


def test_graphviz_source(classifier, tmp_path):
    source = export_graphviz(classifier, filled=True, out_file=tmp_path / "tree.dot")
    assert (tmp_path / "tree.dot").read_text() == source
    assert source == (
        "digraph Tree {\n"
        'node [shape=box, style="filled", fontname="helvetica"] ;\n'
        '0 [label="feature_1 >= 0.500\\nsamples = 12", fillcolor="#ffffff"] ;\n'
        '0 -> 1 [labeldistance=2.5, labelangle=45, headlabel="True"] ;\n'
        '0 -> 2 [labeldistance=2.5, labelangle=-45, headlabel="False"] ;\n'
        '1 [label="samples = 8\\nclass = yes", fillcolor="#eca06a"] ;\n'
        '2 [label="samples = 4\\nclass = no", fillcolor="#e58139"] ;\n'
        "}\n"
    )


def test_graphviz_of_a_fitted_tree_has_one_edge_per_child():
    X, y = load_iris(return_X_y=True)
    model = ZELKClassifier().fit(X, y)
    source = export_graphviz(model, feature_names=["sl", "sw", "pl", "pw"], node_ids=True)
    tree = model.export_tree()
    assert source.count(" -> ") == 2 * (tree["node_count"] - sum(tree["is_leaf"]))
    assert source.count("[label=") == tree["node_count"]
    assert source.startswith("digraph Tree {") and source.endswith("}\n")


def test_text_of_a_fitted_tree_lists_every_leaf_with_its_count():
    X, y = load_iris(return_X_y=True)
    model = ZELKClassifier().fit(X, y)
    text = export_text(model, max_depth=100)
    tree = model.export_tree()
    leaf_counts = sorted(n for n, leaf in zip(tree["n_samples"], tree["is_leaf"]) if leaf)
    shown = sorted(
        int(line.rsplit("(n=", 1)[1].rstrip(")")) for line in text.splitlines() if "(n=" in line
    )
    assert shown == leaf_counts
    assert sum(shown) == 150


def test_unfitted_estimators_are_refused():
    with pytest.raises(NotFittedError):
        export_text(ZELKRegressor())
    with pytest.raises(NotFittedError):
        export_graphviz(ZELKClassifier())
