// The page renderer as the host sees it: turns a PDF file into a DSC PostScript file in which
// text stays text and only what PostScript cannot draw becomes an image.
//
// The real renderer runs the helper program docmill-pdf2ps in a child process of its own,
// with a time limit, a memory limit and no files but its input and output; a renderer that
// hangs, crashes or runs out of memory fails the print, and the host goes on. `render`
// throws `RenderError` on every failure and then leaves no output file. Tests put a double
// in the renderer's place with `setRenderer`.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace docmill::pdf2ps {

struct RenderOptions {
  bool grey = false;  // every colour and picture in shades of grey
  // Every page fitted onto paper of this size in points (width, height), turned a quarter
  // turn when its orientation differs; nothing: each page keeps its own size.
  std::optional<std::pair<double, double>> paper;
};

class RenderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Renderer {
 public:
  virtual ~Renderer() = default;
  // Writes `psPath` from `pdfPath`. Throws RenderError with a description of what failed.
  virtual void render(const std::string& pdfPath, const std::string& psPath,
                      const RenderOptions& options) = 0;
};

// The helper program in a sandboxed child process.
class HelperRenderer : public Renderer {
 public:
  struct Settings {
    // The program and its first arguments; empty: the installed helper.
    std::vector<std::string> command;
    std::chrono::milliseconds timeLimit = std::chrono::seconds(120);
    uint64_t memoryBytes = uint64_t{2} << 30;  // address space
  };
  HelperRenderer();
  explicit HelperRenderer(Settings settings);
  void render(const std::string& pdfPath, const std::string& psPath,
              const RenderOptions& options) override;

 private:
  Settings settings_;
};

// The renderer prints go through; the helper unless a test put another in its place.
Renderer& renderer();
// Puts `r` in the renderer's place (not owned; nullptr: the helper again).
void setRenderer(Renderer* r);

}  // namespace docmill::pdf2ps
