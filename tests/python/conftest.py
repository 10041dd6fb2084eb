"""Fixtures of the Python module's tests.

The test server library (DOCMILL_ECHO_SERVER) is registered in a private registry folder
before docmill is imported, so the tests create it by ProgID as any registered class.
"""

import os
import subprocess
import tempfile

import pytest

_registry = tempfile.mkdtemp(prefix="docmill-pytest-registry-")
os.environ["DOCMILL_REGISTRY"] = _registry
ECHO_CLSID = "{0EC705E7-314D-4E51-8A60-2B117C3E0001}"
LATE_CLSID = "{0EC705E7-314D-4E51-8A60-2B117C3E0002}"
for clsid, progid in ((ECHO_CLSID, "Docmill.Echo"), (LATE_CLSID, "Docmill.EchoLate")):
    with open(os.path.join(_registry, clsid + ".reg"), "w") as record:
        record.write("CLSID=%s\nProgID=%s\nInprocServer32=%s\nThreadingModel=Apartment\n"
                     % (clsid, progid, os.environ.get("DOCMILL_ECHO_SERVER", "")))

import docmill  # noqa: E402


def pytest_sessionfinish(session, exitstatus):
    for name in os.listdir(_registry):
        os.remove(os.path.join(_registry, name))
    os.rmdir(_registry)


@pytest.fixture
def echo():
    return docmill.Dispatch("Docmill.Echo")


@pytest.fixture
def pdf(tmp_path):
    obj = docmill.Dispatch("PDF.CreatePDF")
    obj.TempFilePath = str(tmp_path / "tmp")
    return obj


def write_ps(path, *pages, loops=0):
    """A PostScript file with one page per text; `loops` empty iterations per page make
    the interpreter work for a while."""
    with open(path, "w") as f:
        f.write("%!PS\n/Helvetica findfont 24 scalefont setfont\n")
        for text in pages:
            if loops:
                f.write("0 1 %d { pop } for\n" % loops)
            f.write("72 700 moveto (%s) show showpage\n" % text)
    return str(path)


def pdf_text(path):
    return subprocess.run(["pdftotext", "-q", str(path), "-"], capture_output=True,
                          text=True, check=True).stdout
