// A first look at a PDF file handed in for conversion: whether it can be opened at all, and
// whether it needs a password first, before anything is spent on converting it.
//
// The look is shallow on purpose: the file's cross-reference data (rebuilt from the objects
// where it is broken, as any reader would), its trailer, catalog and page tree root. No
// stream is decoded and no page is drawn. A file this look calls damaged may still be
// readable by a more forgiving reader; the caller weighs the verdict with what the
// conversion itself reports. The input is hostile: call this where its failures are
// contained (a confined process with limits). Never throws; the libqpdf types stay inside
// this folder.
#pragma once

#include <string>

namespace docmill::pdfclean {

struct InputPdfVerdict {
  enum class Kind {
    Opens,      // readable, possibly after rebuilding its cross-reference data
    Encrypted,  // encrypted, and the empty password does not open it
    Damaged,    // cannot be opened: no trailer, no catalog, no page tree, unreadable
  };
  Kind kind = Kind::Opens;
  std::string reason;  // for Damaged: what was found wrong
};

InputPdfVerdict inspectInputPdf(const std::string& path);

}  // namespace docmill::pdfclean
