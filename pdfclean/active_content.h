// Takes out of a finished PDF file everything a reader would run, launch or send on its
// own or at a click, so that a document the component writes carries no active content
// whatever its input held.
//
// Removed, wherever they are referenced (link and form-field actions, bookmarks, chained
// /Next actions, the opening action):
//   - actions that start programs or run scripts: Launch, JavaScript, and any action that
//     carries a script of its own (/JS, as rendition actions may);
//   - actions that send form data out or read a file in: SubmitForm, ImportData;
//   - additional actions (/AA) of the document, its pages, annotations and form fields:
//     they fire on events (opening, closing, printing, focus) that nobody chooses;
//   - the document's JavaScript name tree and XFA forms, which are scripts;
//   - an opening action (/OpenAction) that does anything but go to a place in the
//     document.
// Kept: links to web addresses (URI), links within the document (GoTo) and to other
// documents (GoToR, GoToE), named navigation, ResetForm (it clears the document's own form
// fields and reaches nothing outside), annotations themselves (a link whose action was
// removed stays, as a link that does nothing).
//
// A file that holds none of these is left exactly as it was. Otherwise the cleaned file
// replaces it atomically, with the same mode. The libqpdf types stay inside this folder.
#pragma once

#include <optional>
#include <string>

namespace docmill::pdfclean {

// Cleans the PDF file at `path` in place. Returns nothing when the file now holds no active
// content, or why it could not be read, checked or rewritten; the file may then still hold
// active content and the caller must not hand it out.
std::optional<std::string> removeActiveContent(const std::string& path);

}  // namespace docmill::pdfclean
