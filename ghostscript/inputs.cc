#include "ghostscript/inputs.h"

#include <fstream>

#include "pdfclean/input_pdf.h"

namespace docmill::gs {

namespace {

constexpr std::string_view kUniversalExit = "\x1b%-12345X";
// The binary header of an encapsulated PostScript file with a preview (C5 D0 D3 C6).
constexpr std::string_view kDosEpsMagic = "\xC5\xD0\xD3\xC6";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0';
}

// Skips what may come before the document proper: blanks, the end-of-job character some
// printer drivers put first, and a printer-language preamble (the universal exit, then
// "@PJL ..." lines).
std::string_view skipPreamble(std::string_view s) {
  for (;;) {
    const size_t before = s.size();
    while (!s.empty() && (isBlank(s.front()) || s.front() == '\x04')) s.remove_prefix(1);
    if (s.starts_with(kUniversalExit)) s.remove_prefix(kUniversalExit.size());
    while (s.starts_with("@PJL")) {
      const size_t end = s.find('\n');
      s.remove_prefix(end == s.npos ? s.size() : end + 1);
    }
    if (s.size() == before) return s;
  }
}

}  // namespace

InputKind kindFromStart(std::string_view start, bool whole) {
  if (start.starts_with(kDosEpsMagic)) return InputKind::PostScript;
  const std::string_view body = skipPreamble(start);
  if (body.starts_with("%!")) return InputKind::PostScript;
  // Readers accept a PDF header a little way into the file, after junk of any kind.
  if (start.substr(0, kStartBytes).find("%PDF-") != std::string_view::npos) return InputKind::Pdf;
  if (whole && start.find_first_not_of(std::string_view(" \t\r\n\f\0", 6)) == start.npos) {
    return InputKind::Empty;
  }
  return InputKind::Unknown;
}

InputKind inspectInput(const std::string& path) {
  std::string start(kStartBytes, '\0');
  bool whole = false;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) return InputKind::Missing;
    in.read(start.data(), static_cast<std::streamsize>(start.size()));
    start.resize(static_cast<size_t>(in.gcount()));
    if (in.bad()) return InputKind::Missing;
    whole = in.eof() || in.peek() == std::char_traits<char>::eof();
  }
  const InputKind kind = kindFromStart(start, whole);
  if (kind != InputKind::Pdf) return kind;
  switch (pdfclean::inspectInputPdf(path).kind) {
    case pdfclean::InputPdfVerdict::Kind::Opens:
      return InputKind::Pdf;
    case pdfclean::InputPdfVerdict::Kind::Encrypted:
      return InputKind::PdfEncrypted;
    case pdfclean::InputPdfVerdict::Kind::Damaged:
      break;
  }
  return InputKind::PdfDamaged;
}

std::optional<UnusableInput> unusableInput(const std::vector<InputKind>& inputs,
                                           const std::vector<FindingAt>& findings, bool stopped) {
  const auto kindAt = [&](int i) {
    return i >= 0 && static_cast<size_t>(i) < inputs.size() ? inputs[static_cast<size_t>(i)]
                                                            : InputKind::Missing;
  };
  const auto first = [&](auto matches) -> int {
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (matches(inputs[i])) return static_cast<int>(i);
    }
    return -1;
  };
  const auto count = [&](InputKind kind) {
    size_t n = 0;
    for (InputKind k : inputs) n += k == kind;
    return n;
  };
  const auto isPdf = [](InputKind k) {
    return k == InputKind::Pdf || k == InputKind::PdfDamaged || k == InputKind::PdfEncrypted;
  };
  const auto unusable = [](int i, const char* reason) {
    return UnusableInput{static_cast<size_t>(i), reason};
  };

  if (int i = first([](InputKind k) { return k == InputKind::PdfEncrypted; }); i >= 0) {
    return unusable(i, "is encrypted and cannot be opened without its password");
  }
  if (int i = first([](InputKind k) { return k == InputKind::Empty; }); i >= 0) {
    return unusable(i, "is empty");
  }

  // The PDF input a complaint of the PDF reader is about: the one it was reading, else one
  // that would not open for the first look either, else the only PDF input. A complaint
  // made while a PostScript input was being read came from that program, not from a PDF.
  const auto pdfBlamed = [&](int at) {
    if (at >= 0) return isPdf(kindAt(at)) ? at : -1;
    if (int i = first([](InputKind k) { return k == InputKind::PdfDamaged; }); i >= 0) return i;
    size_t pdfs = 0;
    for (InputKind k : inputs) pdfs += isPdf(k);
    return pdfs == 1 ? first(isPdf) : -1;
  };
  for (const FindingAt& f : findings) {
    if (f.finding == Finding::Error) continue;
    const int i = pdfBlamed(f.input);
    if (i < 0) continue;
    switch (f.finding) {
      case Finding::Password:
        return unusable(i, "is encrypted and cannot be opened without its password");
      case Finding::Unreadable:
        return unusable(i, "is a damaged PDF file that cannot be read");
      case Finding::PagesMissing:
        return unusable(i, "is a damaged PDF file: some of its pages cannot be read");
      case Finding::Error:
        break;
    }
  }

  if (!stopped) return std::nullopt;
  int at = -1;
  for (const FindingAt& f : findings) {
    if (f.finding == Finding::Error) at = f.input;
  }
  if (at < 0 && count(InputKind::Unknown) == 1) {
    at = first([](InputKind k) { return k == InputKind::Unknown; });
  }
  if (kindAt(at) == InputKind::Unknown) return unusable(at, "is not a PDF or PostScript file");
  if (kindAt(at) == InputKind::PdfDamaged) {
    return unusable(at, "is a damaged PDF file that cannot be read");
  }
  return std::nullopt;
}

}  // namespace docmill::gs
