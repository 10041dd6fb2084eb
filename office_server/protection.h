// Whether a document file is protected by a password, told from the file itself, for the
// documents the office cannot open: an encrypted file must be reported as one (the caller
// can do something about it), not as damaged.
//
// What counts as encrypted: an Office Open XML package kept encrypted in a compound file
// (its "EncryptionInfo" and "EncryptedPackage" streams); a legacy Word, Excel or
// PowerPoint file whose own encryption mark is set (the Word file header's flag, Excel's
// file-password record, PowerPoint's encrypted current-user token); an OpenDocument
// package whose manifest holds encryption data.
//
// The file is hostile: every length, sector number and chain in it is checked, and no more
// of it is read than the answer needs (a few sectors, the directory, one manifest of at
// most a few MiB). Never raises; a file that cannot be read or understood is not
// encrypted.
#pragma once

#include <string>

namespace docmill::office_server {

bool isEncryptedDocument(const std::string& path);

}  // namespace docmill::office_server
