#include "office_server/protection.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/io.h"

namespace docmill::office_server {

namespace {

uint16_t u16(std::string_view s, size_t at) {
  if (at + 2 > s.size()) return 0;
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                               static_cast<unsigned char>(s[at + 1]) << 8);
}

uint32_t u32(std::string_view s, size_t at) {
  if (at + 4 > s.size()) return 0;
  return static_cast<uint32_t>(u16(s, at)) | static_cast<uint32_t>(u16(s, at + 2)) << 16;
}

// A file read piece by piece.
class Source {
 public:
  explicit Source(const std::string& path) {
    try {
      fd_ = platform::openToRead(path);
    } catch (const platform::OsError&) {
      return;
    }
    size_ = static_cast<uint64_t>(platform::fileLength(path).value_or(0));
  }
  uint64_t size() const { return size_; }
  // Exactly `length` bytes from `offset`, or nothing.
  std::optional<std::string> read(uint64_t offset, size_t length) const {
    std::string out;
    if (!fd_.valid() || offset > size_ || length > size_ - offset) return std::nullopt;
    if (!platform::readAt(fd_.get(), offset, length, out) || out.size() != length) {
      return std::nullopt;
    }
    return out;
  }

 private:
  platform::Descriptor fd_;
  uint64_t size_ = 0;
};

// --- compound files (the container of the legacy formats and of encrypted packages) ---

constexpr std::string_view kCompoundSignature("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
// More directory entries than any document has, and more sectors of small streams and of
// their allocation table than are looked at: the rest is not read.
constexpr size_t kMostEntries = 1 << 16;
constexpr size_t kMostMiniSectors = 4096;

class CompoundFile {
 public:
  struct Entry {
    std::string name;  // as UTF-16 code units narrowed (the names looked for are ASCII)
    int type = 0;      // 1 storage, 2 stream, 5 root
    uint32_t start = 0;
    uint64_t size = 0;
  };

  explicit CompoundFile(const Source& file) : file_(file) { valid_ = load(); }
  bool valid() const { return valid_; }

  // The streams and storages directly under the root, by name.
  const Entry* child(std::string_view name) const {
    for (const Entry* e : children_) {
      if (e->name == name) return e;
    }
    return nullptr;
  }

  // The first `length` bytes of a stream (fewer when it is shorter); nothing when its
  // sectors cannot be followed.
  std::optional<std::string> head(const Entry& stream, size_t length) const {
    length = static_cast<size_t>(std::min<uint64_t>(length, stream.size));
    const bool mini = stream.size < miniCutoff_;
    const uint32_t unit = mini ? miniSectorSize_ : sectorSize_;
    std::string out;
    uint32_t sector = stream.start;
    std::set<uint32_t> seen;
    while (out.size() < length) {
      if (sector == kEndOfChain || !seen.insert(sector).second) return std::nullopt;
      const size_t take = std::min<size_t>(unit, length - out.size());
      auto piece = mini ? miniSector(sector, take) : readSector(sector, take);
      if (!piece) return std::nullopt;
      out += *piece;
      auto next = mini ? miniFatEntry(sector) : fatEntry(sector);
      if (!next) return std::nullopt;
      sector = *next;
    }
    return out;
  }

 private:
  std::optional<std::string> readSector(uint32_t sector, size_t length) const {
    if (sector >= sectorCount_) return std::nullopt;
    return file_.read((static_cast<uint64_t>(sector) + 1) * sectorSize_, length);
  }

  std::optional<uint32_t> fatEntry(uint32_t sector) const {
    const uint32_t perSector = sectorSize_ / 4;
    const size_t index = sector / perSector;
    if (sector >= sectorCount_ || index >= fatSectors_.size()) return std::nullopt;
    auto bytes = readSector(fatSectors_[index], sectorSize_);
    if (!bytes) return std::nullopt;
    return u32(*bytes, (sector % perSector) * 4);
  }

  // The sectors of a chain, in order, at most `most`.
  std::optional<std::vector<uint32_t>> chain(uint32_t start, size_t most) const {
    std::vector<uint32_t> sectors;
    std::set<uint32_t> seen;
    for (uint32_t s = start; s != kEndOfChain && sectors.size() < most;) {
      if (s >= sectorCount_ || !seen.insert(s).second) return std::nullopt;
      sectors.push_back(s);
      auto next = fatEntry(s);
      if (!next) return std::nullopt;
      s = *next;
    }
    return sectors;
  }

  std::optional<uint32_t> miniFatEntry(uint32_t mini) const {
    const uint32_t perSector = sectorSize_ / 4;
    const size_t index = mini / perSector;
    if (index >= miniFat_.size()) return std::nullopt;
    auto bytes = readSector(miniFat_[index], sectorSize_);
    if (!bytes) return std::nullopt;
    return u32(*bytes, (mini % perSector) * 4);
  }

  std::optional<std::string> miniSector(uint32_t mini, size_t length) const {
    const uint32_t perSector = sectorSize_ / miniSectorSize_;
    const size_t index = mini / perSector;
    if (index >= miniStream_.size()) return std::nullopt;
    const uint64_t offset = (static_cast<uint64_t>(miniStream_[index]) + 1) * sectorSize_ +
                            (mini % perSector) * miniSectorSize_;
    return file_.read(offset, length);
  }

  bool load() {
    auto header = file_.read(0, 512);
    if (!header || header->compare(0, 8, kCompoundSignature) != 0) return false;
    const uint16_t sectorShift = u16(*header, 0x1E);
    const uint16_t miniShift = u16(*header, 0x20);
    if ((sectorShift != 9 && sectorShift != 12) || miniShift != 6) return false;
    sectorSize_ = 1u << sectorShift;
    miniSectorSize_ = 1u << miniShift;
    if (file_.size() < sectorSize_) return false;
    const uint64_t sectors = file_.size() / sectorSize_ - 1;  // after the header
    sectorCount_ = static_cast<uint32_t>(std::min<uint64_t>(sectors, 0xFFFFFFFA));
    miniCutoff_ = u32(*header, 0x38);

    // Where the allocation table lies: 109 sectors named in the header, the rest in a chain
    // of sectors that each name more. Only as many as the file can need are taken.
    const uint32_t perSector = sectorSize_ / 4;
    const size_t fatNeeded = (sectorCount_ + perSector - 1) / perSector;
    for (size_t i = 0; i < 109 && fatSectors_.size() < fatNeeded; ++i) {
      const uint32_t s = u32(*header, 0x4C + i * 4);
      if (s >= sectorCount_) break;
      fatSectors_.push_back(s);
    }
    std::set<uint32_t> seenDifat;
    for (uint32_t d = u32(*header, 0x44); d < sectorCount_ && fatSectors_.size() < fatNeeded;) {
      if (!seenDifat.insert(d).second) return false;
      auto bytes = readSector(d, sectorSize_);
      if (!bytes) return false;
      for (uint32_t i = 0; i + 1 < perSector && fatSectors_.size() < fatNeeded; ++i) {
        const uint32_t s = u32(*bytes, i * 4);
        if (s >= sectorCount_) break;
        fatSectors_.push_back(s);
      }
      d = u32(*bytes, (perSector - 1) * 4);
    }
    if (fatSectors_.empty()) return false;

    // The directory, as far as it goes.
    const size_t perDirSector = sectorSize_ / 128;
    auto dirSectors = chain(u32(*header, 0x30), kMostEntries / perDirSector);
    if (!dirSectors || dirSectors->empty()) return false;
    for (uint32_t s : *dirSectors) {
      auto bytes = readSector(s, sectorSize_);
      if (!bytes) return false;
      for (size_t i = 0; i < perDirSector; ++i) {
        const std::string_view raw = std::string_view(*bytes).substr(i * 128, 128);
        Entry e;
        const size_t nameBytes = std::min<size_t>(u16(raw, 0x40), 64);
        for (size_t k = 0; k + 1 < nameBytes; k += 2) {
          const uint16_t unit = u16(raw, k);
          if (unit == 0) break;
          e.name += unit < 0x80 ? static_cast<char>(unit) : '?';
        }
        e.type = static_cast<unsigned char>(raw[0x42]);
        e.start = u32(raw, 0x74);
        e.size = u32(raw, 0x78);
        if (sectorShift == 12) e.size |= static_cast<uint64_t>(u32(raw, 0x7C)) << 32;
        entries_.push_back(e);
        siblings_.push_back({u32(raw, 0x44), u32(raw, 0x48), u32(raw, 0x4C)});
      }
    }
    if (entries_.empty() || entries_[0].type != 5) return false;

    // The root's children: the tree below its child entry, through left and right siblings.
    std::vector<uint32_t> pending = {siblings_[0].child};
    std::set<uint32_t> visited;
    while (!pending.empty()) {
      const uint32_t id = pending.back();
      pending.pop_back();
      if (id == kNoStream || id >= entries_.size() || !visited.insert(id).second) continue;
      children_.push_back(&entries_[id]);
      pending.push_back(siblings_[id].left);
      pending.push_back(siblings_[id].right);
    }

    // Small streams live in the mini stream (the root entry's data) in 64-byte pieces.
    const uint64_t miniNeeded = (entries_[0].size + sectorSize_ - 1) / sectorSize_;
    if (auto mini = chain(entries_[0].start, std::min<uint64_t>(miniNeeded, kMostMiniSectors))) {
      miniStream_ = *mini;
    }
    const size_t miniFatSectors = std::min<size_t>(u32(*header, 0x40), kMostMiniSectors);
    if (auto table = chain(u32(*header, 0x3C), miniFatSectors)) miniFat_ = *table;
    return true;
  }

  struct Links {
    uint32_t left, right, child;
  };
  const Source& file_;
  bool valid_ = false;
  uint32_t sectorSize_ = 512, miniSectorSize_ = 64, miniCutoff_ = 4096, sectorCount_ = 0;
  std::vector<uint32_t> fatSectors_, miniStream_, miniFat_;
  std::vector<Entry> entries_;
  std::vector<Links> siblings_;
  std::vector<const Entry*> children_;
};

// Word's file header starts its main stream; bit 8 of its flags marks the file encrypted.
bool wordEncrypted(const CompoundFile& file) {
  const auto* stream = file.child("WordDocument");
  if (!stream) return false;
  auto head = file.head(*stream, 12);
  if (!head || head->size() != 12) return false;
  const uint16_t ident = u16(*head, 0);
  return (ident == 0xA5EC || ident == 0xA5DC) && (u16(*head, 0x0A) & 0x0100);
}

// An encrypted workbook has a file-password record among the first records of its stream,
// right after the opening one.
bool workbookEncrypted(const CompoundFile& file) {
  const auto* stream = file.child("Workbook");
  if (!stream) stream = file.child("Book");
  if (!stream) return false;
  auto head = file.head(*stream, 4096);
  if (!head) return false;
  constexpr uint16_t kBof = 0x0809, kFilePass = 0x002F, kEof = 0x000A;
  size_t at = 0;
  for (int record = 0; record < 16 && at + 4 <= head->size(); ++record) {
    const uint16_t type = u16(*head, at);
    if (record == 0 && type != kBof) return false;
    if (type == kFilePass) return true;
    if (type == kEof) return false;
    at += 4 + u16(*head, at + 2);
  }
  return false;
}

// A presentation's current-user record carries a token that says whether its document is
// encrypted.
bool presentationEncrypted(const CompoundFile& file) {
  const auto* stream = file.child("Current User");
  if (!stream || !file.child("PowerPoint Document")) return false;
  auto head = file.head(*stream, 16);
  constexpr uint16_t kCurrentUserAtom = 0x0FF6;
  constexpr uint32_t kEncryptedToken = 0xF3D1C4DF;
  return head && head->size() == 16 && u16(*head, 2) == kCurrentUserAtom &&
         u32(*head, 12) == kEncryptedToken;
}

bool compoundEncrypted(const Source& source) {
  CompoundFile file(source);
  if (!file.valid()) return false;
  if (file.child("EncryptionInfo") && file.child("EncryptedPackage")) return true;
  return wordEncrypted(file) || workbookEncrypted(file) || presentationEncrypted(file);
}

// --- OpenDocument packages ---

constexpr size_t kLargestManifest = 4 << 20;

// The manifest of a zip package, unpacked; nothing when there is none or it cannot be read.
std::optional<std::string> manifestOf(const Source& zip) {
  // The end record is in the last 64 KiB and 22 bytes; the last one found counts.
  const uint64_t tail = std::min<uint64_t>(zip.size(), 65536 + 22);
  auto end = zip.read(zip.size() - tail, static_cast<size_t>(tail));
  if (!end) return std::nullopt;
  const size_t at = end->rfind(std::string_view("PK\x05\x06", 4));
  if (at == std::string::npos || at + 22 > end->size()) return std::nullopt;
  const uint32_t directorySize = u32(*end, at + 12);
  const uint32_t directoryOffset = u32(*end, at + 16);
  if (directorySize > (16u << 20)) return std::nullopt;
  auto directory = zip.read(directoryOffset, directorySize);
  if (!directory) return std::nullopt;
  constexpr std::string_view kManifest = "META-INF/manifest.xml";
  for (size_t p = 0; p + 46 <= directory->size();) {
    if (u32(*directory, p) != 0x02014b50) return std::nullopt;
    const uint16_t method = u16(*directory, p + 10);
    const uint32_t packed = u32(*directory, p + 20);
    const uint32_t unpacked = u32(*directory, p + 24);
    const size_t nameLength = u16(*directory, p + 28);
    const size_t extra = u16(*directory, p + 30) + size_t{u16(*directory, p + 32)};
    const uint32_t local = u32(*directory, p + 42);
    if (std::string_view(*directory).substr(p + 46, nameLength) != kManifest) {
      p += 46 + nameLength + extra;
      continue;
    }
    if (unpacked > kLargestManifest || packed > kLargestManifest) return std::nullopt;
    auto header = zip.read(local, 30);
    if (!header || u32(*header, 0) != 0x04034b50) return std::nullopt;
    auto data = zip.read(uint64_t{local} + 30 + u16(*header, 26) + u16(*header, 28), packed);
    if (!data) return std::nullopt;
    if (method == 0) return data;
    if (method != 8) return std::nullopt;
    std::string out(unpacked, '\0');
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return std::nullopt;
    z.next_in = reinterpret_cast<Bytef*>(data->data());
    z.avail_in = static_cast<uInt>(data->size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    if (status != Z_STREAM_END && status != Z_BUF_ERROR) return std::nullopt;
    return out;
  }
  return std::nullopt;
}

bool packageEncrypted(const Source& zip) {
  auto manifest = manifestOf(zip);
  return manifest && manifest->find("encryption-data") != std::string::npos;
}

}  // namespace

bool isEncryptedDocument(const std::string& path) {
  Source source(path);
  auto magic = source.read(0, 8);
  if (!magic) return false;
  if (*magic == kCompoundSignature) return compoundEncrypted(source);
  if (magic->compare(0, 4, std::string_view("PK\x03\x04", 4)) == 0) return packageEncrypted(source);
  return false;
}

}  // namespace docmill::office_server
