"""The example notebook, executed with nbconvert where Jupyter is installed."""
import pathlib

import pytest

pytestmark = pytest.mark.programs

nbformat = pytest.importorskip("nbformat")
pytest.importorskip("ipykernel")
execute = pytest.importorskip("nbconvert.preprocessors")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def test_the_network_notebook_runs_and_draws_its_policies():
    notebook = nbformat.read(EXAMPLES / "network_policy.ipynb", as_version=4)
    execute.ExecutePreprocessor(timeout=300, kernel_name="python3").preprocess(
        notebook, {"metadata": {"path": str(EXAMPLES)}}
    )
    outputs = [output for cell in notebook.cells if cell.cell_type == "code" for output in cell.outputs]
    assert not [output for output in outputs if output.output_type == "error"]
    pictures = [output["data"]["image/svg+xml"] for output in outputs if "image/svg+xml" in output.get("data", {})]
    assert len(pictures) == 4 and all("<svg" in picture for picture in pictures)
