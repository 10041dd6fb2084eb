"""Conversions from Python end to end: PostScript, an Office document, batches, threads, and
what the interpreter leaves behind when it exits."""

import os
import subprocess
import sys
import threading
import time

import pytest

import docmill
from conftest import pdf_text, write_ps


def flat_text(*pages):
    """A flat ODF text document, one page per text."""
    ns = " ".join('xmlns:%s="urn:oasis:names:tc:opendocument:xmlns:%s:1.0"' % (p, p)
                  for p in ("office", "style", "text"))
    body = "".join('<text:p text:style-name="%s">%s</text:p>' % ("PB" if i else "P", text)
                   for i, text in enumerate(pages))
    return ('<?xml version="1.0"?><office:document %s xmlns:fo="urn:oasis:names:tc:'
            'opendocument:xmlns:xsl-fo-compatible:1.0" office:version="1.3" office:mimetype='
            '"application/vnd.oasis.opendocument.text"><office:automatic-styles><style:style '
            'style:name="PB" style:family="paragraph"><style:paragraph-properties '
            'fo:break-before="page"/></style:style></office:automatic-styles><office:body>'
            '<office:text>%s</office:text></office:body></office:document>' % (ns, body))


def test_postscript_to_pdf(pdf, tmp_path):
    first = write_ps(tmp_path / "in 'quoted' $name.ps", "Alpha")
    second = write_ps(tmp_path / "second.ps", "Bravo")
    out = str(tmp_path / "out.pdf")
    # Both parameters are by reference: they come back after the call.
    assert pdf.CreatePDFfromPS(out, first) == (out, first)
    assert "Alpha" in pdf_text(out)
    joined = str(tmp_path / "joined.pdf")
    pdf.createpdffrommultips(varPSFiles=(second, first), strPDFFile=joined)
    text = pdf_text(joined)
    assert text.index("Bravo") < text.index("Alpha")
    assert os.listdir(tmp_path / "tmp") == []


def test_office_document_with_keyword_arguments(pdf, tmp_path):
    doc = tmp_path / "memo.fodt"
    doc.write_text(flat_text("Alpha page", "Bravo page", "Charlie page"))
    out = str(tmp_path / "memo.pdf")
    result = pdf.CreatePDFfromWord(out, str(doc), strPages="2-3", blnPageNumberInFooter=True)
    assert result[5] == "2-3" and result[2] == "Generic PostScript Printer"
    text = pdf_text(out)
    assert "Bravo" in text and "Charlie" in text and "Alpha" not in text


def test_convert_reports_each_file(tmp_path):
    good = [write_ps(tmp_path / ("p%d.ps" % i), "Page%d" % i) for i in (1, 2)]
    bad = tmp_path / "bad.ps"
    bad.write_text("this is not PostScript\n")
    results = docmill.convert([good[0], bad, good[1]], output=tmp_path / "out", jobs=2)
    assert [r.input for r in results] == [good[0], str(bad), good[1]]
    assert [r.ok for r in results] == [True, False, True]
    assert results[0].output == str(tmp_path / "out" / "p1.pdf")
    assert "Page2" in pdf_text(results[2].output)
    assert results[1].output is None and results[1].error.number == 0x80004101
    assert not (tmp_path / "out" / "bad.pdf").exists()
    single = docmill.convert(good[0], output=tmp_path / "one.pdf")
    assert single[0].ok and single[0].output == str(tmp_path / "one.pdf")


def test_convert_merges_in_order_or_not_at_all(tmp_path):
    p1, p2, p3 = (write_ps(tmp_path / ("p%d.ps" % i), "Page%d" % i) for i in (1, 2, 3))
    docmill.convert(p2, output=tmp_path / "p2.pdf")
    merged = str(tmp_path / "all.pdf")
    results = docmill.convert([p3, str(tmp_path / "p2.pdf"), p1], output=merged, merge=True)
    assert all(r.ok and r.output == merged for r in results)
    text = pdf_text(merged)
    assert text.index("Page3") < text.index("Page2") < text.index("Page1")
    results = docmill.convert([p1, str(tmp_path / "missing.docx")], tmp_path / "none.pdf",
                              merge=True)
    assert [r.ok for r in results] == [False, False]
    assert results[0].error is None and results[1].error.number == 0x80004100
    assert not (tmp_path / "none.pdf").exists()


@pytest.mark.parametrize("args, kwargs", [
    (([],), {}),
    (("a.ps",), {"merge": True}),
    (("a.ps",), {"output": "./a.ps"}),  # an output that is also an input
    (("a.ps",), {"jobs": 0}),
])
def test_convert_refuses_requests_it_cannot_carry_out(tmp_path, monkeypatch, args, kwargs):
    monkeypatch.chdir(tmp_path)
    write_ps(tmp_path / "a.ps", "Kept")
    before = (tmp_path / "a.ps").read_bytes()
    with pytest.raises(ValueError):
        docmill.convert(*args, **kwargs)
    assert (tmp_path / "a.ps").read_bytes() == before


@pytest.mark.parametrize("kwargs, words", [
    ({"quality": 0}, 'quality: "0" is not a whole number from 1 to 100'),
    ({"pdfa": "PDF/A-4"}, 'pdfa: "PDF/A-4" is not PDF/A-1b, PDF/A-2b or PDF/A-3b'),
    ({"bogus": True}, "bogus is no option docmill knows"),
    ({"watermarkSource": "x"}, "watermarkSource is not supported by docmill"),
    ({"metadata": 1.5}, "metadata: a value of type float"),
    ({"metadata": {"Colour": "red"}}, "metadata: \"Colour\" is not a key docmill writes"),
    ({"via_postscript": True, "pdfua": True}, "pdfua needs the office's own export"),
    ({"userPassword": "u", "pdfa": "PDF/A-2b"}, "cannot be encrypted"),
])
def test_convert_options_are_checked_before_any_work(tmp_path, kwargs, words):
    source = write_ps(tmp_path / "a.ps", "Kept")
    with pytest.raises(ValueError) as refused:
        docmill.convert(source, **kwargs)
    assert words in str(refused.value)
    assert not (tmp_path / "a.pdf").exists()


def test_convert_keywords_reach_the_office_export(tmp_path):
    doc = tmp_path / "memo.fodt"
    doc.write_text(flat_text("Alpha page", "Bravo page"))
    archival, = docmill.convert(doc, output=tmp_path / "a.pdf", pdfa="PDF/A-2b",
                                exportFormFields=False, quality=80, via_postscript=None)
    assert archival.ok, archival.error
    meta = subprocess.run(["pdfinfo", "-meta", archival.output], capture_output=True,
                          text=True).stdout
    assert "<pdfaid:part>2</pdfaid:part>" in meta
    printed, = docmill.convert(doc, output=tmp_path / "p.pdf", via_postscript=True)
    assert printed.ok and "Bravo" in pdf_text(printed.output)
    producer = subprocess.run(["pdfinfo", printed.output], capture_output=True, text=True).stdout
    assert "LibreOffice" not in producer


def test_convert_split_fills_parts_and_metadata_reaches_them(tmp_path):
    doc = tmp_path / "memo.fodt"
    doc.write_text(flat_text("Alpha page", "Bravo page", "Charlie page"))
    result, = docmill.convert(doc, output=tmp_path / "memo.pdf", splitMode="pages",
                              splitSpan="2-", metadata={"Title": "Cut"})
    assert result.ok and result.output is None
    assert result.parts == [str(tmp_path / "memo_0.pdf"), str(tmp_path / "memo_1.pdf")]
    assert "Charlie" in pdf_text(result.parts[1])
    info = subprocess.run(["pdfinfo", result.parts[0]], capture_output=True, text=True).stdout
    assert "Title:           Cut" in info


def test_two_threads_convert_at_the_same_time(tmp_path):
    inputs = [write_ps(tmp_path / ("slow%d.ps" % i), "Thread%d" % i, loops=4_000_000)
              for i in range(2)]
    failures = []

    def work(i):
        obj = docmill.Dispatch("PDF.CreatePDF")
        try:
            obj.CreatePDFfromPS(str(tmp_path / ("slow%d.pdf" % i)), inputs[i])
        except Exception as e:  # reported below, from the test's own thread
            failures.append(e)

    def runs():
        """Interpreter runs going on now: the children of this process's interpreter
        helper, each of which is one run."""
        fields = list(stat_fields())
        helpers = {p for p, state, parent, _ in fields
                   if parent == os.getpid() and state != "Z" and command(p) ==
                   "docmill-interpreter"}
        return sum(1 for _, state, parent, _ in fields if parent in helpers and state != "Z")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    # Each run takes a while: were the calls taking turns (holding this interpreter's lock),
    # two runs would never be under way at once.
    both = False
    while not both and any(t.is_alive() for t in threads):
        both = runs() == 2
        time.sleep(0.005)
    for t in threads:
        t.join()
    assert not failures
    assert both
    for i in range(2):
        assert "Thread%d" % i in pdf_text(tmp_path / ("slow%d.pdf" % i))


def command(pid):
    """The program a process runs (the file name of its executable), or None."""
    try:
        return os.path.basename(os.readlink("/proc/%d/exe" % pid))
    except OSError:
        return None


def stat_fields():
    """(pid, state, parent, group) of every process."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            yield int(entry), fields[0], int(fields[1]), int(fields[2])
        except (OSError, ValueError, IndexError):
            continue


EXIT_SCRIPT = r"""
import os, sys, threading, time, docmill
pdf = docmill.Dispatch("PDF.CreatePDF")
pdf.CreatePDFfromTextFile(sys.argv[2], sys.argv[1])
# A daemon thread still inside a conversion when the interpreter ends.
started = threading.Event()
def convert_again():
    other = docmill.Dispatch("PDF.CreatePDF")
    started.set()
    other.CreatePDFfromTextFile(sys.argv[2] + ".again.pdf", sys.argv[1])
threading.Thread(target=convert_again, daemon=True).start()
started.wait()
# Inside means the office holds its copy of the document (it keeps the file's name), in the
# host's scratch folder; the wait ends too if that conversion is already over.
def inside():
    for folder, _, files in os.walk(pdf.TempFilePath):
        if os.path.basename(sys.argv[1]) in files:
            return True
    return os.path.exists(sys.argv[2] + ".again.pdf")
for _ in range(12000):
    if inside():
        break
    time.sleep(0.005)
else:
    sys.exit("the second conversion never reached the office")
def parent(entry):
    try:
        with open("/proc/%s/stat" % entry) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, ValueError, IndexError):
        return None
print(os.getpid())
print(pdf.TempFilePath)
print(" ".join(e for e in os.listdir("/proc") if parent(e) == os.getpid()))
"""


def test_interpreter_exit_ends_the_offices_and_removes_their_files(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("Exit test line\n")
    out = tmp_path / "notes.pdf"
    run = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, str(text), str(out)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    pid, scratch, offices = (run.stdout.splitlines() + ["", "", ""])[:3]
    assert "Exit test line" in pdf_text(out)
    offices = [int(o) for o in offices.split()]
    assert offices, run.stdout
    # Neither an office nor anything in its process group is left running.
    left = [p for p, state, _, group in stat_fields()
            if state != "Z" and (p in offices or group in offices)]
    assert left == []
    assert scratch.startswith("/") and not os.path.exists(scratch)
    assert [n for n in os.listdir("/tmp") if n.startswith("docmill-%s-" % pid)] == []
