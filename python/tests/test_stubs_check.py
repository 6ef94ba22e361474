"""The type stubs take what the README's examples pass: a type checker reads them."""
import os
import subprocess
import sys
import textwrap

import pytest

import clsg

EXAMPLE = '''
import pathlib
import numpy as np
import numpy.typing as npt
import clsg
import clsg.dask

image = clsg.read_image("coffee.png")
def box(x: int, y: int, w: int, h: int) -> npt.NDArray[np.bool_]:
    mask = np.zeros(image.shape[:2], bool)
    mask[y:y + h, x:x + w] = True
    return mask
examples = {"crema": [(image, box(250, 120, 75, 45))], "table": [(image, box(470, 20, 110, 60))]}
tool = clsg.Tool()
choice = clsg.suggest(examples)
tool.train(examples, choice["tolerance_frac"], choice["tolerance_min"])
tool.train({"a": [(image, None)], "b": [(image, None)]}, colors={"a": (176, 64, 32)})
tool.save(pathlib.Path("my.clsg"))
tool.save(b"my.clsg")
labels, table = clsg.Tool.load("my.clsg").run(image, neighborhood=5).cleaned(min_area=50)
'''


def test_the_readme_examples_type_check(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "user.py").write_text(textwrap.dedent(EXAMPLE))
    package = os.path.dirname(os.path.dirname(os.path.abspath(clsg.__file__)))
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir",
                           os.devnull, "user.py"], cwd=tmp_path, capture_output=True, text=True,
                          env=dict(os.environ, MYPYPATH=package))
    assert done.returncode == 0, done.stdout + done.stderr
