"""What `cmake --install` puts down works on its own, and lands where Debian's python3
looks."""

import os
import subprocess
import sys

from conftest import pdf_text, write_ps


def test_installed_package_converts_without_the_build_tree(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", os.environ["DOCMILL_BUILD_DIR"], "--prefix", str(prefix)],
                   check=True, capture_output=True)
    site = prefix / os.environ["DOCMILL_PYTHON_INSTALL_DIR"]
    ps = write_ps(tmp_path / "in.ps", "Installed")
    out = tmp_path / "out.pdf"
    # A clean environment: nothing of the build tree on any search path.
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "PYTHONPATH": str(site)}
    run = subprocess.run(
        [sys.executable, "-c",
         "import sys, docmill; print(docmill.__file__); "
         "r = docmill.convert(sys.argv[1], output=sys.argv[2]); sys.exit(0 if r[0].ok else 1)",
         ps, str(out)], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(str(site))
    assert "Installed" in pdf_text(out)
    host = subprocess.run([str(prefix / "bin" / "docmill"), "--get", "GhostScriptVersion"],
                          env=env, capture_output=True, text=True)
    assert host.returncode == 0, host.stderr


def test_default_install_folder_is_on_the_interpreters_path():
    folder = os.path.join(os.environ["DOCMILL_INSTALL_PREFIX"],
                          os.environ["DOCMILL_PYTHON_INSTALL_DIR"])
    paths = subprocess.run([sys.executable, "-c", "import sys; print('\\n'.join(sys.path))"],
                           env={"PATH": "/usr/bin:/bin"}, capture_output=True, text=True,
                           check=True).stdout.split("\n")
    assert folder in paths
