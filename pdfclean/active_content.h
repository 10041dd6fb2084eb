// Takes out of a finished PDF file everything a reader would run, launch, send or open on
// its own or at a click, so that a document the component writes carries no active content
// whatever its input held.
//
// Removed, wherever they are referenced (link and form-field actions, bookmarks, chained
// /Next actions, the opening action):
//   - actions that start programs or run scripts: Launch, JavaScript, and any action that
//     carries a script of its own (/JS, as rendition actions may);
//   - actions that send form data out or read a file in: SubmitForm, ImportData;
//   - links whose address runs a script, carries data or opens a local file: URI actions
//     for javascript:, vbscript:, data: and file: addresses (in any letter case, whatever
//     blanks and control characters come first or tabs and line breaks come between);
//   - jumps into documents on other machines: GoToR, GoToE and Thread actions whose file is
//     a network path ("\\server\share", "//server/share"), a file reference of the URL kind
//     (/FS /URL) or any address with a scheme (smb:, http:);
//   - embedded files: the document's /EmbeddedFiles name tree, file attachment annotations,
//     and the files that file specifications carry (/EF, /RF);
//   - additional actions (/AA) of the document, its pages, annotations and form fields:
//     they fire on events (opening, closing, printing, focus) that nobody chooses;
//   - the document's JavaScript name tree and XFA forms, which are scripts;
//   - an opening action (/OpenAction) that does anything but go to a place in the
//     document.
// Kept: links to web addresses (URI: http:, https:, mailto: and the like), links within the
// document (GoTo) and to other documents on this machine (GoToR, GoToE with a local or
// relative file name), named navigation, ResetForm (it clears the document's own form
// fields and reaches nothing outside), annotations themselves (a link whose action was
// removed stays, as a link that does nothing).
//
// A file that holds none of these is left exactly as it was. Otherwise the cleaned file
// replaces it atomically, with the same mode. Nesting deeper than any document the
// interpreter writes is refused, not half inspected. The libqpdf types stay inside this
// folder.
#pragma once

#include <optional>
#include <string>

namespace docmill::pdfclean {

// Cleans the PDF file at `path` in place. Returns nothing when the file now holds no active
// content, or why it could not be read, checked or rewritten; the file may then still hold
// active content and the caller must not hand it out.
std::optional<std::string> removeActiveContent(const std::string& path);

}  // namespace docmill::pdfclean
