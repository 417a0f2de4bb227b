"""Where NumPy or SciPy is missing in the interpreter used, importing trklib
says so in one line, naming the Debian package and Debian's python3.

Each case runs this interpreter with a finder in front of sys.meta_path that
hides one module, as an interpreter without it would behave."""

import os
import subprocess
import sys

import pytest

HIDE = """
import sys
hidden = {hidden!r}

class Hide:
    def find_spec(self, name, path=None, target=None):
        if name == hidden or name.startswith(hidden + "."):
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
        return None

sys.meta_path.insert(0, Hide())
{statement}
print("imported")
"""


def run_hiding(hidden, statement):
    done = subprocess.run([sys.executable, "-c", HIDE.format(hidden=hidden, statement=statement)],
                          capture_output=True, text=True, timeout=60, env=os.environ.copy())
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("hidden, statement, name, package", [
    ("numpy", "import trklib", "NumPy", "python3-numpy"),
    ("scipy", "import trklib.metrics", "SciPy", "python3-scipy"),
    ("scipy", "import trklib.score", "SciPy", "python3-scipy"),
])
def test_a_missing_dependency_is_named_in_one_line(hidden, statement, name, package):
    status, out, err = run_hiding(hidden, statement)
    assert (status, out) == (1, ""), err
    # The traceback ends in the one line, with no chained error before it.
    last = err.splitlines()[-1]
    assert last.startswith(f"ModuleNotFoundError: trklib needs {name} (No module named '{hidden}")
    assert f"install {package} and use Debian's python3 (/usr/bin/python3)" in last
    assert f"this interpreter is {sys.executable} (Python " in last
    assert "During handling of the above exception" not in err


def test_the_module_itself_needs_no_scipy():
    status, out, err = run_hiding("scipy", "import trklib; trklib.Engine(trklib.Config(height=5))")
    assert (status, out) == (0, "imported\n"), err
