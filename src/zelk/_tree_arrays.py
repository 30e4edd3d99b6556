"""Per-node arrays of an exported tree turned into importances and decision paths."""

import numpy as np
from scipy import sparse


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
    weight = weight / weight[0]  # shares of the root: products of counts near 1e308 overflow
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
