"""Late-bound calls from Python: names, arguments, results, errors, lifetime."""

import gc
import pydoc
import threading
import time

import pytest

import docmill
from conftest import ECHO_CLSID


def error_of(call):
    with pytest.raises(docmill.AutomationError) as info:
        call()
    return info.value


def test_names_resolve_in_any_letter_case_and_unknown_ones_fail(pdf, echo):
    pdf.tempfilepath = "/tmp/docmill-case"
    assert pdf.TEMPFILEPATH == "/tmp/docmill-case/"
    assert echo.ECHO(4) == 4 and getattr(echo, "echo")("x") == "x"
    pdf.GHOSTSCRIPTVERSION = 3  # writable; only what reads return changes
    assert pdf.GhostScriptVersion == 3
    for attempt in (lambda: pdf.NoSuchMember, lambda: setattr(pdf, "NoSuch", 1),
                    lambda: setattr(pdf, "CreatePDFfromPS", 1)):
        with pytest.raises(AttributeError):
            attempt()


def test_keywords_are_named_arguments_and_by_reference_ones_come_back(echo):
    # Defaults(first, second: I2 = 7, third: by reference = "x") returns a description;
    # the by-reference argument follows the result.
    assert echo.Defaults(1) == ('I4(1) I2(7) Bstr("x")', "x")
    assert echo.Defaults(1, THIRD="z") == ('I4(1) I2(7) Bstr("z")', "z")
    assert echo.Defaults(first=2, Second=3)[0] == 'I4(2) I2(3) Bstr("x")'
    assert echo.Defaults(1, docmill.Missing, docmill.Missing)[0] == 'I4(1) I2(7) Bstr("x")'
    assert echo.Swap(b=2, a=[1]) == (2, [1])
    assert echo.Sleep(0) is None


@pytest.mark.parametrize("call, number", [
    (lambda e: e.Defaults(), 0x8002000F),             # required argument missing
    (lambda e: e.Defaults(1, 2, 3, 4), 0x8002000E),   # too many
    (lambda e: e.Defaults(1, first=2), 0x8002000E),   # given twice
    (lambda e: e.Defaults(1, fourth=2), 0x80020006),  # no such parameter
    (lambda e: e.Defaults(1, "abc"), 0x80020005),     # not a number
    (lambda e: e.Defaults(1, 40000), 0x8002000A),     # out of range
    (lambda e: e.Raise(13, "x"), 0x800A000D),         # a classic run-time error
])
def test_dispatch_errors_carry_their_numbers(echo, call, number):
    assert error_of(lambda: call(echo)).number == number


def test_member_errors_carry_number_source_and_description(echo, pdf, tmp_path):
    error = error_of(lambda: echo.Raise(-2147467008, "it broke"))
    assert (error.number, error.source, error.description) == (0x80004100, "Echo", "it broke")
    assert str(error) == "error 0x80004100 (Echo): it broke"
    missing = str(tmp_path / "in put.ps")
    error = error_of(lambda: pdf.CreatePDFfromPS(str(tmp_path / "o.pdf"), missing))
    # The line the command-line host prints, after its "docmill: ".
    assert str(error) == "error 0x80004100 (docmill): File %s does not exist." % missing


def test_dir_and_help_show_members_and_parameters(pdf):
    assert {"CreatePDFfromWord", "SetDefPrinter", "TempFilePath"} <= set(dir(pdf))
    text = pydoc.render_doc(pdf, renderer=pydoc.plaintext)
    assert "CreatePDFfromWord(self, strPDFFile, strWordDocument, " \
           "strPrinter='Generic PostScript Printer'" in text
    assert "lngPageNumberAlignment: Variant, by reference, optional (default 1)" in text
    assert docmill.constants.pdoAlignCenter == 1


def test_objects_without_type_information_take_any_name():
    late = docmill.Dispatch("Docmill.EchoLate")
    assert late.Anything(1, Named=docmill.I2(2)) == "Anything(I4(1); Named=I2(2))"
    late.Visible = True
    assert late.Visible() is True and dir(late) == []


def test_creation_by_progid_or_class_identifier():
    assert docmill.Dispatch(ECHO_CLSID.lower()).Echo(1) == 1
    assert error_of(lambda: docmill.Dispatch("No.SuchClass")).number == 0x800A01AD


def test_objects_are_released_when_collected(echo):
    gc.collect()
    live = echo.Live
    cycle = [docmill.Dispatch("Docmill.Echo")]
    cycle.append(cycle)
    assert echo.Live == live + 1
    del cycle
    gc.collect()
    assert echo.Live == live


def test_calls_on_one_object_take_turns_and_others_run_meanwhile(echo):
    other = docmill.Dispatch("Docmill.Echo")
    control = docmill.Dispatch("Docmill.Echo")  # free while the others are held

    def until(condition):
        for _ in range(12000):
            if condition():
                return True
            time.sleep(0.005)
        return False

    first = threading.Thread(target=echo.Wait, args=("same",), daemon=True)
    first.start()
    assert until(lambda: control.Inside("same") == 1)
    second = threading.Thread(target=echo.Wait, args=("same",), daemon=True)
    meanwhile = threading.Thread(target=other.Wait, args=("other",), daemon=True)
    second.start()
    meanwhile.start()
    # Another object's call runs while the first object is busy...
    assert until(lambda: control.Inside("other") == 1)
    control.Open("other")
    meanwhile.join()
    # ...while the second call on the busy object waits for its turn.
    control.Open("same")
    assert until(lambda: not first.is_alive() and control.Inside("same") == 1)
    control.Open("same")
    second.join()
    assert control.MostInside("same") == 1
