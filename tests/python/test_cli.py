"""The command line: the demonstration, fitting a CSV file, and one-line errors on bad input."""

import io
import re
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zelk import _cli
from zelk._cli import main


def run(*args, timeout=120):
    return subprocess.run(
        [sys.executable, "-m", "zelk", *args],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture(scope="module")
def csv_file(tmp_path_factory):
    rng = np.random.default_rng(0)
    path = tmp_path_factory.mktemp("cli") / "plants.csv"
    lines = ["height,colour,width,kind,weight"]
    for i in range(120):
        height = rng.normal(10, 3)
        colour = ["red", "green", "blue"][i % 3]
        width = "" if i % 17 == 0 else f"{rng.normal(2, 1):.3f}"
        kind = "tall" if height > 10 or colour == "red" else "short"
        weight = height * 2 + (5 if colour == "green" else 0) + rng.normal(0, 0.5)
        lines.append(f"{height:.3f},{colour},{width},{kind},{weight:.3f}")
    path.write_text("\n".join(lines) + "\n")
    return path


def splits_off(text, feature, level, others):
    """Whether the printed tree has a split that sets `level` of `feature` against the rest:
    by that one category, or by the set of the others."""
    return any(f"{feature} {op} {side}" in text for op, side in [
        ("==", level), ("!=", level), ("in", "{" + others + "}"), ("not in", "{" + others + "}")])


def test_demo_prints_the_table_and_a_tree():
    result = run()
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for name in ("breast_cancer", "diabetes"):
        assert sum(1 for line in out.splitlines() if line.startswith(name)) == 3
    for model in ("zelk strict", "zelk fast", "sklearn tree"):
        assert out.count(model) >= 2
    assert "|--- " in out and "class: " in out
    assert " ms" in out


def test_fit_classifies_a_csv_with_a_text_category(csv_file):
    result = run("fit", str(csv_file), "--target", "kind", "--categorical", "colour")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "120 rows, 4 features, task classify" in out
    line = next(line for line in out.splitlines() if "cross-validated accuracy" in line)
    assert float(line.split(": ")[1].split(" ")[0]) > 0.8
    assert splits_off(out, "colour", "red", "blue, green")
    assert "class: tall" in out and "class: short" in out


def test_fit_regresses_with_options(csv_file):
    result = run(
        "fit",
        str(csv_file),
        "--target",
        "weight",
        "--categorical",
        "colour,kind",
        "--mode",
        "fast",
        "--max-depth",
        "3",
        "--folds",
        "3",
    )
    assert result.returncode == 0, result.stderr
    assert "task regress" in result.stdout
    assert "3-fold cross-validated r2" in result.stdout
    depth = int(result.stdout.split("depth ")[1].split(",")[0])
    assert 1 <= depth <= 3


@pytest.mark.parametrize(
    "args, message",
    [
        (["fit", "missing.csv", "--target", "kind"], "cannot read 'missing.csv'"),
        (
            ["fit", "{csv}", "--target", "colourz"],
            "unknown column 'colourz' (columns: height, colour",
        ),
        (["fit", "{csv}", "--target", "kind", "--categorical", "hue"], "unknown column 'hue'"),
        (["fit", "{csv}", "--target", "kind", "--folds", "1"], "--folds must be at least 2"),
        (
            ["fit", "{csv}", "--target", "kind", "--task", "regress", "--categorical", "colour"],
            "target column 'kind' has the non-numeric value",
        ),
        (
            ["fit", "{csv}", "--target", "kind", "--categorical", "colour", "--criterion", "mse"],
            "'criterion' parameter must be one of 'gini', 'entropy'",
        ),
        (["fit", "{csv}"], "the following arguments are required: --target"),
        (["fit", "{csv}", "--target", "kind", "--max-depth", "two"], "invalid int value: 'two'"),
    ],
)
def test_bad_input_gives_one_line_and_a_failing_status(csv_file, args, message, capsys):
    try:
        status = main([a.replace("{csv}", str(csv_file)) for a in args])
    except SystemExit as exit_:  # argument errors leave through argparse
        status = exit_.code
    out, err = capsys.readouterr()
    assert status != 0
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert message in lines[0]
    assert out == ""


def test_errors_in_a_fresh_interpreter_show_no_traceback(csv_file):
    result = run("fit", str(csv_file), "--target", "kinds", timeout=60)
    assert result.returncode == 1
    assert result.stderr.startswith("zelk: error: unknown column 'kinds'")
    assert len(result.stderr.strip().splitlines()) == 1


def test_ragged_and_empty_files_are_reported(tmp_path, capsys):
    ragged = tmp_path / "ragged.csv"
    ragged.write_text("a,b,y\n1,2,0\n3,1,1,4\n")
    empty = tmp_path / "empty.csv"
    empty.write_text("")
    twice = tmp_path / "twice.csv"
    twice.write_text("a,a,y\n1,2,0\n3,1,1\n")
    for path, message in (
        (ragged, "row 3 of"),
        (empty, "is empty"),
        (twice, "more than one column named 'a': rename them"),
    ):
        assert main(["fit", str(path), "--target", "y"]) == 1
        err = capsys.readouterr().err
        assert message in err and len(err.strip().splitlines()) == 1


def _write(tmp_path, header, rows):
    path = tmp_path / "data.csv"
    path.write_text("\n".join([header, *rows]) + "\n")
    return str(path)


def test_short_rows_are_read_with_missing_cells_as_pandas_reads_them(tmp_path, capsys):
    rng = np.random.default_rng(2)
    rows = [f"{int(i % 3 == 0)},{rng.normal():.3f},{i % 2}" for i in range(60)]
    padded = [row.rsplit(",", 1)[0] + "," if i % 9 == 0 else row for i, row in enumerate(rows)]
    short = [row.rstrip(",") for row in padded]
    outputs = []
    for lines in (padded, short):
        assert main(["fit", _write(tmp_path, "y,a,b", lines), "--target", "y"]) == 0
        outputs.append(re.sub(r"\([0-9.]+ s\)", "", capsys.readouterr().out))
    assert outputs[0] == outputs[1]


def test_integer_targets_beyond_64_bits_are_class_labels(tmp_path, capsys):
    big = 2**70
    rows = [f"{i * 0.1:.2f},{big + 1 if i % 2 else i % 3}" for i in range(80)]
    path = _write(tmp_path, "x,y", rows)
    assert main(["fit", path, "--target", "y"]) == 0
    out = capsys.readouterr().out
    assert "80 rows, 1 features, task classify" in out
    assert f"class: {big + 1}" in out
    # Regressing them is the user's choice.
    assert main(["fit", path, "--target", "y", "--task", "regress"]) == 0
    assert "task regress" in capsys.readouterr().out


@pytest.mark.parametrize(
    "rows, message",
    [
        (["1,2", "2,inf", "3,4"] * 10, "target column 'y' holds 'inf' in data row 2, beyond"),
        (["1,2.5", "1e999,4.25", "3,4.75"] * 10, "column 'x' holds '1e999' in data row 2"),
        (["1,", "2,1", "3,0"] * 10, "target column 'y' has 10 missing values: fill them in"),
        (
            [f"{i},{i * 1e300 / 40:.6e}" for i in range(40)],  # more values than classes
            "y holds a target of magnitude",
        ),
    ],
    ids=["inf-target", "inf-feature", "missing-target", "huge-target"],
)
def test_values_beyond_what_a_fit_takes_are_named_in_one_line(tmp_path, capsys, rows, message):
    assert main(["fit", _write(tmp_path, "x,y", rows), "--target", "y"]) == 1
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and message in err, err


@pytest.fixture(scope="module")
def zones_csv(tmp_path_factory):
    # zone holds integer category codes; colour is text with missing cells.
    rng = np.random.default_rng(1)
    path = tmp_path_factory.mktemp("cli") / "zones.csv"
    lines = ["zone,colour,size,y"]
    for i in range(160):
        zone = int(rng.integers(1, 5))
        colour = ["red", "blue", "green", "NA", ""][i % 5]
        size = rng.normal()
        y = int(zone == 3 or (colour == "red" and size > 0))
        lines.append(f"{zone},{colour},{size:.3f},{y}")
    path.write_text("\n".join(lines) + "\n")
    return path


def test_text_columns_are_categorical_without_being_listed(zones_csv, capsys):
    outputs = []
    for listed in ([], ["--categorical", "colour"]):
        assert main(["fit", str(zones_csv), "--target", "y", *listed]) == 0
        outputs.append(re.sub(r"\([0-9.]+ s\)", "", capsys.readouterr().out))
    assert outputs[0] == outputs[1]
    assert "categorical features: colour (3 labels)" in outputs[0]
    assert splits_off(outputs[0], "colour", "red", "blue, green")


def test_listed_integer_columns_are_category_codes(zones_csv, capsys):
    assert main(["fit", str(zones_csv), "--target", "y", "--categorical", "zone"]) == 0
    listed = capsys.readouterr().out
    assert "categorical features: zone, colour (3 labels)" in listed
    assert splits_off(listed, "zone", "3", "1, 2, 4")
    assert main(["fit", str(zones_csv), "--target", "y"]) == 0
    assert "zone == " not in capsys.readouterr().out


CELLS = ["0", "1", "-3", "2.5", "7", "1e300", "-1e300", str(2**70), "inf", "-1e999", "", "NA",
         "nan", "red", "blue", '"a,b"', " 4 "]


@st.composite
def csv_texts(draw):
    """CSV files of a header and 6 to 40 rows, each column drawing from its own few cells."""
    n_columns = draw(st.integers(2, 4))
    pools = [draw(st.lists(st.sampled_from(CELLS), min_size=1, max_size=4, unique=True))
             for _ in range(n_columns)]
    n_rows = draw(st.integers(6, 40))
    rows = [",".join(draw(st.sampled_from(pool)) for pool in pools) for _ in range(n_rows)]
    header = ",".join(f"c{j}" for j in range(n_columns))
    return "\n".join([header, *rows]) + "\n"


@settings(max_examples=100, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=csv_texts(), task=st.sampled_from([None, "classify", "regress"]))
def test_any_file_pandas_reads_fits_or_gets_an_error_that_says_what_to_change(
    tmp_path, text, task
):
    pd = pytest.importorskip("pandas")
    path = tmp_path / "fuzz.csv"
    path.write_text(text)
    pd.read_csv(path)  # a file pandas reads
    argv = ["fit", str(path), "--target", "c0", "--folds", "3"]
    if task is not None:
        argv += ["--task", task]
    args = _cli._parser().parse_args(argv)
    try:
        _cli._fit_csv(args, io.StringIO())
    except _cli.CliError as error:
        assert "\n" not in str(error)
    except ValueError as error:  # from the fit: only a target that no fit takes
        assert str(error).startswith("y holds a target of magnitude"), str(error)
