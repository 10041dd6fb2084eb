// The steps of finishing a PDF (see finishing.h), on a document already read, so that a split
// or a join can finish what it writes without reading it again. Used only inside pdfclean;
// failures throw FinishError.
#pragma once

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <optional>

#include "pdfclean/documents.h"
#include "pdfclean/finishing.h"
#include "pdfclean/xmp.h"

namespace docmill::pdfclean::steps {

bool asksNothing(const Finish& finish);
bool encrypts(const Finish& finish);

// Throws FinishError for a value the steps cannot use (a date or version that is none, an
// unknown "Trapped"), before any file is touched.
void check(const Finish& finish);

// A document's XMP packet while it is being changed.
struct Packet {
  std::optional<xmp::Packet> xmp;  // nothing when there is none or it cannot be read
  bool changed = false;            // to be written back
};
Packet readPacket(QPDF& pdf);

// Sets the metadata in the document information and in `packet` (a new one, filled from the
// document information, when it has none).
void setMetadata(QPDF& pdf, const Metadata& metadata, Packet& packet);
// Removes the PDF/A identification from `packet`, if it has one.
void dropPdfAClaim(Packet& packet);
// Draws form fields and annotations into the pages and removes the form.
void flatten(QPDF& pdf);

// Gives `to`, made of pages copied from `from` through `copier`, the document information,
// language and viewer settings of `from`, and with `outputIntents` its output intents.
void carryDocument(QPDF& to, QPDF& from, documents::Copier& copier, bool outputIntents);

// Flattening and metadata, as `finish` asks, on `pdf`.
void apply(QPDF& pdf, const Finish& finish);
// Encryption and the least version, as `finish` asks, for the writer of `pdf`.
void configure(QPDFWriter& writer, const Finish& finish);

}  // namespace docmill::pdfclean::steps
