// How far pdfclean follows what a PDF file says before it gives up on the file: nesting,
// chains of references and the size of what it decodes. Files beyond these are refused with
// a reason, never half read; no document an office or the interpreter writes comes near them.
// Shared by everything in this folder; nothing outside it needs them.
#pragma once

#include <cstddef>

namespace docmill::pdfclean {

// Arrays and dictionaries inside one another, and levels of a tree (pages, outlines,
// structure, form fields).
inline constexpr int kMaxDepth = 200;

// Objects reached one through another when a part of a file is copied into another file (a
// page with everything it uses, a structure tree). The copying follows such chains by
// recursion, so a longer chain could exhaust the stack.
inline constexpr int kMaxReferenceChain = 1000;

// Entries of one outline (bookmarks) that are copied, all levels together.
inline constexpr size_t kMaxOutlineItems = 100'000;

// Decoded bytes of an XMP metadata packet, and of an output intent's colour profile.
inline constexpr size_t kMaxXmpBytes = size_t{4} << 20;
inline constexpr size_t kMaxProfileBytes = size_t{16} << 20;

}  // namespace docmill::pdfclean
