"""The type stubs: installed where mypy finds them for user code, exact
enough to reject wrong calls, and in step with the runtime signatures."""
import pathlib
import shutil
import subprocess
import sys
import sysconfig

USAGE = pathlib.Path(__file__).with_name("typed_usage.py")


def run_mypy(tmp_path, source, *flags):
    """mypy on a copy of source in an empty directory, so only the installed
    packages can supply selkbar's types."""
    target = tmp_path / "usage.py"
    target.write_text(source, encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         *flags, str(target)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_stub_package_is_installed_beside_the_module():
    site = {pathlib.Path(sysconfig.get_paths()[key]) for key in ("purelib", "platlib")}
    assert any((path / "selkbar-stubs" / "__init__.pyi").is_file() for path in site)


def test_correct_usage_passes_and_every_wrong_call_is_reported(tmp_path):
    result = run_mypy(tmp_path, USAGE.read_text(encoding="utf-8"))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


def test_the_types_come_from_site_packages(tmp_path):
    result = run_mypy(tmp_path, USAGE.read_text(encoding="utf-8"), "--no-site-packages")
    assert result.returncode == 1
    assert 'Cannot find implementation or library stub for module named "selkbar"' \
        in result.stdout


def test_wrong_argument_type_is_an_error(tmp_path):
    source = ('import selkbar\n'
              'selkbar.train_tokenizer(["corpus.txt"], "30000", "tokenizer.json")\n'
              'selkbar.train_tokenizer(["corpus.txt"], 30000, "t.json", special_tokens="[UNK]",'
              ' threads=2.0)\n')
    result = run_mypy(tmp_path, source)
    assert result.returncode == 1
    # mypy spells unions as the checked Python version writes them.
    modern = sys.version_info >= (3, 10)
    sizes = "int | Iterable[int]" if modern else "Union[int, Iterable[int]]"
    assert ('usage.py:2: error: Argument 2 to "train_tokenizer" has incompatible type "str"; '
            f'expected "{sizes}"  [arg-type]') in result.stdout
    optional_int = "int | None" if modern else "Optional[int]"
    assert ('usage.py:3: error: Argument "threads" to "train_tokenizer" has incompatible type '
            f'"float"; expected "{optional_int}"  [arg-type]') in result.stdout


def test_stubs_match_the_runtime_signatures(tmp_path):
    # selkbar.__main__ (python -m selkbar) only runs the command line; nothing
    # imports it, so it has no stub.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("selkbar.__main__\n", encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist),
                             "selkbar"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_readers_and_dask_stubs_match_their_modules(tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "selkbar_dask", "selkbar_readers",
                             "selkbar_arrow", "selkbar_spark"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
