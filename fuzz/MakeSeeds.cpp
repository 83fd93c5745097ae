// Writes the seed inputs of the fuzz targets with the real writers of each
// format, so that the fuzzers start from bytes the system itself produces:
//   make-seeds <corpus dir>     (fills <corpus dir>/<target>/seed-*)
// The seeds are small on purpose; the fuzzers grow them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/EntryList.h"
#include "ObjectStore/IntentLog.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/SegmentFormat.h"
#include "ObjectStore/utils/persistent_map.h"
#include "platform/backup/AfileWriter.h"
#include "platform/diskcache/SegmentFile.h"
#include "platform/restore/AfileFormat.h"

using Store = ::ObjectStore::ObjectStore;
namespace os = ::ObjectStore;

namespace {

std::string g_out;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
  const std::string dir = g_out + "/" + target;
  std::filesystem::create_directories(dir);
  os::fuzz::writeBytes(dir + "/seed-" + name, bytes.data(), bytes.size());
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class T>
std::string rawBytes(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof(value));
}

void segmentHeaderSeeds() {
  os::index_iface_props props;
  props.objGuid = "obj-guid-0001";
  props.verGuid = "ver-guid-0001";
  props.parentGuid = "parent-guid-0001";
  props.mode = 040755;
  props.extentSize = 1048576;
  props.vtime = 1700000000000000000;
  props.size = 4096;
  os::CXFileHeader header;
  os::FileHeaderData data;
  FUZZ_CHECK(os::cxFromProps(header, data, props).ok());
  seed("SegmentHeaderFuzz", "directory", rawBytes(data) + rawBytes(header));
  props.mode = 0100644;
  data.emptyRange.set(2, 9);
  FUZZ_CHECK(os::cxFromProps(header, data, props).ok());
  seed("SegmentHeaderFuzz", "file", rawBytes(data) + rawBytes(header));
  // An older, shorter header record.
  seed("SegmentHeaderFuzz", "short", rawBytes(data).substr(0, 92));
}

void entryListSeeds() {
  seed("EntryListFuzz", "empty", "");
  seed("EntryListFuzz", "two", os::encodeEntryList({{"guid-a", "alpha"}, {"guid-b", "beta"}}));
  std::string torn = os::encodeEntryList({{"guid-a", "alpha"}, {"guid-b", "beta"}});
  seed("EntryListFuzz", "torn", torn.substr(0, torn.size() - 4));
}

void xattrSeeds() {
  os::XattrMap map{{"user.a", {'1', '2'}}, {"user.empty", {}}, {"security.x", {0, 1, 2, 3}}};
  std::vector<unsigned char> blob;
  FUZZ_CHECK(Store::serializeXattrs(blob, map).ok());
  seed("XattrFuzz", "blob", std::string(1, '\0') + std::string(blob.begin(), blob.end()));
  blob.resize(blob.size() + 16, 0);  // the zero padding of the section
  seed("XattrFuzz", "padded", std::string(1, '\0') + std::string(blob.begin(), blob.end()));
  std::string text;
  Store::encodeXattr(text, blob);
  seed("XattrFuzz", "base64", "\x01" + text);
}

void journalSeeds() {
  seed(
      "BackupJournalFuzz", "records",
      "1,guid-a\n1,guid-b\n2,guid-a\n3,guid-a\n1,guid-c\n2,guid-c\n1,guid-c\n3,guid-c\n4,guid-b\n");
  seed("BackupJournalFuzz", "torn", "1,guid-a\n2,guid-a\n3,gu");
}

void persistentSeeds() {
  using os::persistent_file::formatLine;
  seed("PersistentFileFuzz", "paths",
       formatLine("guid-a", "/share/a") + formatLine("guid-b", "/share/b") +
           formatLine("guid-a", "/share/other"));
  seed("PersistentFileFuzz", "numbers", formatLine("12", "-3") + formatLine("7", "42"));
  seed("PersistentFileFuzz", "torn", formatLine("guid-a", "/share/a") + "guid-b,/sh");
}

void storeInfoSeeds() {
  seed("StoreInfoFuzz", "records", "share,,42\nother_share,,7\n");
  seed("StoreInfoFuzz", "bad", "share,,42\n../up,,1\nx,,18446744073709551616\n");
}

void intentLogSeeds() {
  const os::IntentLog::Removal file{"parent-guid", "object-guid", "file name"};
  const os::IntentLog::Removal dir{"root-guid", "dir-guid", "dir"};
  seed("IntentLogFuzz", "records",
       os::IntentLog::beginLine(1, file) + os::IntentLog::beginLine(2, dir) + "E 1\n");
  seed("IntentLogFuzz", "torn", os::IntentLog::beginLine(1, file) + "E 1\nB 2 root-guid di");
  const os::IntentLog::Move move{"object-guid", "parent-guid", "root-guid", "file name",
                                 "new name",    "/dir/file name", "/new name", false};
  seed("IntentLogFuzz", "renames",
       os::IntentLog::beginLine(3, move) + os::IntentLog::beginLine(4, file) + "E 3\n");
}

void commandSeeds() {
  for (const std::string& command : {"status", "counters", "objcounters all", "objcounters 0",
                                     "verguid 0 guid", "clear", "nonsense"}) {
    const int32_t length = static_cast<int32_t>(command.size());
    seed("CommandFuzz", command.substr(0, command.find(' ')) + std::to_string(command.size()),
         rawBytes(length) + command);
  }
  seed("CommandFuzz", "oversize", rawBytes(int32_t{100000}));
}

void segmentFileSeeds() {
  const std::string dir = g_out + "/.work";
  std::filesystem::create_directories(dir);
  std::string header(os::HEADER_SECTION_SIZE, 'h');
  std::string attributes(os::ATTRIBUTE_SECTION_SIZE, 'a');
  std::string list = os::encodeEntryList({{"guid-a", "alpha"}});
  std::vector<os::Section> sections;
  for (auto [number, bytes] : {std::pair<int32_t, std::string*>{os::SECTION_HEADER, &header},
                               {os::SECTION_ATTRIBUTE, &attributes},
                               {os::SECTION_DATA, &list}}) {
    os::Section section;
    section.number = number;
    section.buffer = bytes->data();
    section.size = section.bufferLength = bytes->size();
    sections.push_back(section);
  }
  const std::string path = dir + "/segment";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  FUZZ_CHECK(fd >= 0);
  os::SegmentFile file;
  FUZZ_CHECK(file.createImage(fd, path, sections).ok());  // the file now owns fd
  const std::string image = fileBytes(path);
  // flags: 0 as is; 4 then write; 12 then write and truncate.
  seed("SegmentFileFuzz", "created", std::string("\x00\x01", 2) + image);
  seed("SegmentFileFuzz", "write", std::string("\x04\x03", 2) + image);
  seed("SegmentFileFuzz", "truncate", std::string("\x0c\x05", 2) + image);
  std::filesystem::remove_all(dir);
}

void afileSeeds() {
  const std::string dir = g_out + "/.work";
  {
    os::AfileWriter writer(dir, 7, 1024 * 1024);
    FUZZ_CHECK(writer.open().ok());
    const std::string data = "segment data";
    for (const char* name : {"seg-1", "seg-2"})
      FUZZ_CHECK(writer.append(name, data.data(), data.size(), nullptr).ok());
  }
  const std::string image = fileBytes(os::afilePath(dir, 1));
  seed("AfileFuzz", "records", std::string("\x00\x20", 2) + image);
  seed("AfileFuzz", "torn", std::string("\x00\x20", 2) + image.substr(0, image.size() - 5));
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  os::fuzz::quietLog();
  g_out = argv[1];
  segmentHeaderSeeds();
  entryListSeeds();
  xattrSeeds();
  journalSeeds();
  persistentSeeds();
  storeInfoSeeds();
  intentLogSeeds();
  commandSeeds();
  segmentFileSeeds();
  afileSeeds();
  return 0;
}
