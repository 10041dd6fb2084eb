// PostScript documents the interpreter tests write for themselves.
#pragma once

#include <fstream>
#include <string>

namespace docmill::gs::fixtures {

// A PostScript document of `pages` pages, each saying "<label> page <n>".
inline void writeTextPs(const std::string& path, int pages, const std::string& label,
                        const std::string& trailer = {}) {
  std::ofstream out(path, std::ios::binary);
  out << "%!PS-Adobe-3.0\n%%Pages: " << pages << "\n/Helvetica findfont 20 scalefont setfont\n";
  for (int p = 1; p <= pages; ++p) {
    out << "%%Page: " << p << " " << p << "\n72 720 moveto (" << label << " page " << p
        << ") show\n72 690 moveto (The quick brown fox jumps over the lazy dog.) show\nshowpage\n";
  }
  out << trailer << "%%EOF\n";
}

}  // namespace docmill::gs::fixtures
