"""Runs the property-based tests of props_native.py in a child interpreter, so that a crash
of the extension fails this test (with the child's output and the input it was working on)
instead of ending the test run."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


def run_properties(tmp_path, timeout=600):
    """Runs props_native.py in a child with the bounded example budget; returns (return
    code, output, the last native call recorded)."""
    last = tmp_path / "last_call.txt"
    env = dict(os.environ, HYPOTHESIS_PROFILE="ci", ZELK_PROPS_LAST=str(last),
               PYTHONFAULTHANDLER="1")
    env.pop("ZELK_PROPS_EXAMPLES", None)
    cmd = [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider",
           str(HERE / "props_native.py")]
    try:
        result = subprocess.run(cmd, cwd=HERE, env=env, capture_output=True, text=True,
                                timeout=timeout)
        code, output = result.returncode, result.stdout + result.stderr
    except subprocess.TimeoutExpired as exc:  # a hang: report it like a crash
        code = "hung"
        output = f"{exc.stdout or ''}{exc.stderr or ''}\n(no end after {timeout} s)"
    return code, output, last.read_text() if last.exists() else ""


# Under ASan, operator new stops the process on impossible sizes instead of throwing,
# and a planted crash is a sanitizer report.
@pytest.mark.no_sanitizer
def test_properties_in_child(tmp_path):
    code, output, last = run_properties(tmp_path)
    assert code == 0, (
        f"child exited with {code}\n--- output (tail) ---\n{output[-12000:]}\n"
        f"--- last native call before the end ---\n{last}")
    assert " passed" in output, output[-3000:]


# Under ASan, operator new stops the process on impossible sizes instead of throwing,
# and a planted crash is a sanitizer report.
@pytest.mark.no_sanitizer
def test_a_crash_in_the_child_fails_with_its_input(tmp_path):
    # The harness itself: a child that dies by a signal must be reported as such, with the
    # recorded call.
    script = tmp_path / "props_crash.py"
    script.write_text(
        "import ctypes, os\n"
        "def test_crash():\n"
        "    with open(os.environ['ZELK_PROPS_LAST'], 'w') as f:\n"
        "        f.write('the planted call')\n"
        "    ctypes.string_at(0)\n")
    last = tmp_path / "last_call.txt"
    env = dict(os.environ, ZELK_PROPS_LAST=str(last))
    result = subprocess.run([sys.executable, "-X", "faulthandler", "-m", "pytest", "-q",
                             "-p", "no:cacheprovider", str(script)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode < 0 or result.returncode > 2
    assert "Fatal Python error" in result.stderr
    assert last.read_text() == "the planted call"


# Regressions the properties found, as plain tests


from zelk import _zelk as native  # noqa: E402

from conftest import make  # noqa: E402


class ClaimsLength:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        raise IndexError(i)


@pytest.mark.parametrize("categorical", [range(2**62), ClaimsLength(2**63 - 1)],
                         ids=["range", "claimed-length"])
def test_categorical_longer_than_any_list_is_out_of_memory(estimator_class, categorical):
    # The reservation for the indices used to throw length_error: a PanicException.
    with pytest.raises(MemoryError):
        make(estimator_class, categorical=categorical)
    tree = {"is_leaf": [True]}
    args = (tree, categorical) if estimator_class is native.RawRegressor else (tree, 3,
                                                                              categorical)
    with pytest.raises(MemoryError):
        estimator_class.from_tree(*args)
