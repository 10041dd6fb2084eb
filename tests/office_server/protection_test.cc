// Telling an encrypted document from a damaged one by the file alone: files the test builds
// the way the applications lay them out, each once with its encryption mark and once
// without, and files broken in the ways a hostile one would be.
#include "office_server/protection.h"

#include <gtest/gtest.h>

#include "tests/office_server/fixtures.h"

namespace docmill::office_server {
namespace {

using fixtures::CompoundStream;
using fixtures::Scratch;

std::string le16(unsigned v) {
  return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}
std::string le32(unsigned v) {
  return le16(v & 0xffff) + le16(v >> 16);
}
std::string record(unsigned type, const std::string& body) {
  return le16(type) + le16(static_cast<unsigned>(body.size())) + body;
}

// A word-processing file's main stream: its header's magic number and flags, then filler.
std::string wordStream(unsigned flags) {
  std::string s = le16(0xA5EC) + le16(0xC1) + le16(0) + le16(0) + le16(0) + le16(flags);
  s.resize(5000, 'w');
  return s;
}
// A workbook stream: the opening record, then `second`, then filler records.
std::string workbookStream(const std::string& second) {
  std::string s = record(0x0809, std::string(16, '\0')) + second;
  while (s.size() < 5000) s += record(0x0042, le16(1252));
  return s + record(0x000A, "");
}
// A presentation's current-user record with its token.
std::string currentUser(unsigned token) {
  return le16(0) + le16(0x0FF6) + le32(0x14 + 6) + le32(0x14) + le32(token) + std::string(22, '\0');
}

struct Case {
  const char* name;
  std::vector<CompoundStream> streams;
  bool encrypted;
};

TEST(Protection, EachFormatsOwnMarkTellsAnEncryptedFile) {
  Scratch dir;
  const std::string package(9000, 'p');
  const Case cases[] = {
      {"package", {{"EncryptionInfo", std::string(300, 'i')}, {"EncryptedPackage", package}}, true},
      {"package info only", {{"EncryptionInfo", std::string(300, 'i')}}, false},
      {"word", {{"WordDocument", wordStream(0x0100)}, {"1Table", std::string(100, 't')}}, true},
      {"word plain", {{"WordDocument", wordStream(0x0200)}}, false},
      {"workbook", {{"Workbook", workbookStream(record(0x002F, std::string(54, 'k')))}}, true},
      {"workbook plain", {{"Workbook", workbookStream("")}}, false},
      {"old workbook", {{"Book", workbookStream(record(0x002F, std::string(6, 'k')))}}, true},
      {"slides",
       {{"Current User", currentUser(0xF3D1C4DF)}, {"PowerPoint Document", std::string(5000, 'd')}},
       true},
      {"slides plain",
       {{"Current User", currentUser(0xE391C05F)}, {"PowerPoint Document", std::string(5000, 'd')}},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.path("file");
    fixtures::writeCompoundFile(path, c.streams);
    EXPECT_EQ(isEncryptedDocument(path), c.encrypted);
  }

  // An OpenDocument package says so in its manifest (packed or stored).
  const std::string manifest =
      "<?xml version=\"1.0\"?><manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:"
      "opendocument:xmlns:manifest:1.0\"><manifest:file-entry manifest:full-path=\"content.xml\""
      " manifest:media-type=\"text/xml\" manifest:size=\"100\">";
  const std::string encrypted =
      "<manifest:encryption-data manifest:checksum-type=\"SHA1/1K\" manifest:checksum=\"x\">"
      "<manifest:algorithm manifest:algorithm-name=\"Blowfish CFB\"/></manifest:encryption-data>";
  const std::string end = "</manifest:file-entry></manifest:manifest>";
  for (bool deflate : {true, false}) {
    fixtures::writeZip(dir.path("locked.odt"),
                       {{"mimetype", "application/vnd.oasis.opendocument.text", false},
                        {"content.xml", std::string(100, '\x9c'), false},
                        {"META-INF/manifest.xml", manifest + encrypted + end, deflate}});
    EXPECT_TRUE(isEncryptedDocument(dir.path("locked.odt"))) << deflate;
    fixtures::writeZip(dir.path("open.odt"),
                       {{"mimetype", "application/vnd.oasis.opendocument.text", false},
                        {"META-INF/manifest.xml", manifest + end, deflate}});
    EXPECT_FALSE(isEncryptedDocument(dir.path("open.odt"))) << deflate;
  }
}

// Damaged files are damaged, not encrypted, and reading them ends.
TEST(Protection, DamagedFilesAreNotTakenForEncryptedOnes) {
  Scratch dir;
  const std::string path = dir.path("file");
  fixtures::writeCompoundFile(path, {{"EncryptionInfo", std::string(300, 'i')},
                                     {"EncryptedPackage", std::string(9000, 'p')}});
  const std::string whole = fixtures::readFile(path);
  ASSERT_TRUE(isEncryptedDocument(path));

  // Cut short: the directory is gone.
  fixtures::writeFile(path, whole.substr(0, 700));
  EXPECT_FALSE(isEncryptedDocument(path));
  // Only the signature.
  fixtures::writeFile(path, whole.substr(0, 8));
  EXPECT_FALSE(isEncryptedDocument(path));
  // Its allocation table turned into a loop, and every sector number out of range.
  std::string looped = whole;
  for (size_t i = 512; i < 1024; i += 4)
    looped.replace(i, 4, le32(static_cast<unsigned>((i - 512) / 4)));
  fixtures::writeFile(path, looped);
  EXPECT_FALSE(isEncryptedDocument(path));
  std::string wild = whole;
  for (size_t i = 512; i < 1024; i += 4) wild.replace(i, 4, le32(0x7FFFFFF0));
  fixtures::writeFile(path, wild);
  EXPECT_FALSE(isEncryptedDocument(path));
  // A directory whose siblings point at each other.
  std::string cycle = whole;
  cycle.replace(1024 + 128 + 0x44, 4, le32(2));
  cycle.replace(1024 + 256 + 0x44, 4, le32(1));
  fixtures::writeFile(path, cycle);
  EXPECT_TRUE(isEncryptedDocument(path));  // still both streams, found once each

  // A package whose end record points anywhere; no file; a folder.
  fixtures::writeFile(path, std::string("PK\x03\x04", 4) + std::string(100, 'z') +
                                std::string("PK\x05\x06", 4) + std::string(18, '\xFF'));
  EXPECT_FALSE(isEncryptedDocument(path));
  EXPECT_FALSE(isEncryptedDocument(dir.path("missing")));
  EXPECT_FALSE(isEncryptedDocument(dir.path("")));
}

}  // namespace
}  // namespace docmill::office_server
