"""What the distributions hold: the sdist every file of the checkout that
builds or tests selkbar, but not the charts, the fuzzers' seed corpora or the
CI set-up; the installed module its licence files and metadata, with the
extension as the package selkbar that python -m selkbar runs."""
import importlib.metadata
import pathlib
import subprocess
import sys
import tarfile

import pytest

import selkbar

REPO = pathlib.Path(__file__).resolve().parents[2]
LEFT_OUT = (".ci/", "bench/charts/", "fuzz/corpus/")


def checkout_files():
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
                            cwd=REPO, capture_output=True, check=False)
    if listed.returncode != 0:
        pytest.skip("not a git checkout: nothing to compare the sdist with")
    names = listed.stdout.decode("utf-8").split("\0")
    return {name for name in names if name and (REPO / name).is_file()}


def test_sdist_holds_the_checkout_but_charts_fuzz_corpora_and_ci(tmp_path):
    expected = {name for name in checkout_files() if not name.startswith(LEFT_OUT)}
    built = subprocess.run([sys.executable, "-m", "build", "--sdist", "--no-isolation",
                            "--outdir", str(tmp_path), str(REPO)],
                           capture_output=True, text=True, timeout=600)
    assert built.returncode == 0, built.stdout + built.stderr
    (sdist,) = tmp_path.glob("selkbar-*.tar.gz")
    with tarfile.open(sdist) as archive:
        root = archive.getmembers()[0].name.split("/")[0]
        files = {member.name[len(root) + 1:] for member in archive.getmembers() if member.isfile()}
        pkg_info = archive.extractfile(f"{root}/PKG-INFO").read().decode("utf-8").splitlines()
    assert files - {"PKG-INFO"} == expected
    assert {"License-Expression: Apache-2.0", "License-File: LICENSE",
            "License-File: NOTICE"} <= set(pkg_info)


@pytest.mark.subset
def test_installed_module_is_the_package_with_licence_files():
    assert pathlib.Path(selkbar.__file__).name.startswith("__init__.")
    assert selkbar.__spec__.submodule_search_locations
    distribution = importlib.metadata.distribution("selkbar")
    assert distribution.metadata["License-Expression"] == "Apache-2.0"
    installed = {path.as_posix() for path in distribution.files}
    for name in ("LICENSE", "NOTICE"):
        assert any(path.endswith(f".dist-info/licenses/{name}") for path in installed), name
    assert "selkbar/__main__.py" in installed
