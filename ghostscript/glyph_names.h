// Gives the glyphs of ps2write's PostScript names that say which character they draw.
//
// ps2write turns a PDF's TrueType fonts into fonts whose glyphs are called
// "~gs~gName~0001", "~gs~gName~0002", ... It copies each font's character map (ToUnicode)
// into the file as well, but nothing that reads the PostScript back uses it, so a PDF made
// from it later has glyphs without characters: it looks right and yields no text. Renaming
// those glyphs after the characters the map gives them ("uni0048", "u1F600", with a ".N"
// suffix where two glyphs share a character) keeps the drawing exactly as it was, since
// the font finds its glyphs through the same names, and lets the text be found again.
//
// Pure text work on untrusted input: whatever is malformed or not understood (an unknown
// stream filter, a map of another shape) is left as it stands. Nothing is thrown.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace docmill::gs {

// The PostScript `ps` with its unnamed glyphs renamed, or nothing when no glyph can be
// renamed.
std::optional<std::string> restoreGlyphNames(std::string_view ps);

// Rewrites the file at `path` in place when some glyph can be renamed; the renamed copy
// is built in a scratch file in the temporary folder (removed at once), so memory does not
// grow with the file. False only when the file could not be read or written back; the
// file is then as ps2write left it or, if the write failed half-way, incomplete (the
// caller removes it).
bool restoreGlyphNamesInFile(const std::string& path);

}  // namespace docmill::gs
