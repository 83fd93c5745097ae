#include "tools/objstore/DemoShare.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <system_error>

namespace ObjectStore::demo {

namespace {

// Reads are made in pieces of this size, as a file server's would be.
constexpr uint64_t READ_PIECE = 32768;

// Where two byte strings first differ (the shorter length when one is a
// prefix of the other).
size_t firstDifference(const std::string& a, const std::string& b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return at;
}

std::string errorText(const CZnError& err) { return err.text() + ": " + err.chain(); }

}  // namespace

const char* kindName(Node::Kind kind) {
  switch (kind) {
    case Node::DIR:
      return "dir";
    case Node::FILE:
      return "file";
    case Node::LINK:
      return "link";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Share

CZnError Share::mkdir(const std::string& rel) {
  ItemName item;
  CZnError err = container_.mkdir(index_, item, full(rel), 0755);
  if (err.failed()) err.Push(FX_LOC, "Can't create directory [%s]", full(rel).c_str());
  return err;
}

CZnError Share::createFile(const std::string& rel, const std::string& bytes) {
  ItemName item;
  CZnError err = container_.create(index_, item, full(rel), 0644);
  if (err.failed()) {
    err.Push(FX_LOC, "Can't create file [%s]", full(rel).c_str());
    return err;
  }
  return bytes.empty() ? err : writeAt(rel, bytes, 0);
}

CZnError Share::writeAt(const std::string& rel, const std::string& bytes, uint64_t offset,
                        guid_t* version) {
  ItemName item(full(rel));
  FileHandle handle;
  CZnError err = container_.open(index_, handle, item, O_RDWR, false);
  if (err.failed()) {
    err.Push(FX_LOC, "Can't open [%s] for writing", full(rel).c_str());
    return err;
  }
  if (version != nullptr) *version = handle.name.verGuid;
  uint64_t len = bytes.size();
  err = container_.write(index_, handle, bytes.data(), len, offset, NO_SYNC);
  if (err.ok() && len != bytes.size()) {
    err = FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Short write to [%s]: %llu of %zu bytes",
                                  full(rel).c_str(), static_cast<unsigned long long>(len),
                                  bytes.size());
  } else if (err.failed()) {
    err.Push(FX_LOC, "Can't write [%s]", full(rel).c_str());
  }
  CZnError closeErr = container_.close(index_, handle);
  if (err.ok() && closeErr.failed()) {
    closeErr.Push(FX_LOC, "Can't close [%s]", full(rel).c_str());
    return closeErr;
  }
  return err;
}

CZnError Share::readAll(const std::string& rel, std::string& bytes) {
  bytes.clear();
  struct stat st {};
  if (CZnError err = stat(rel, st); err.failed()) return err;
  ItemName item(full(rel));
  FileHandle handle;
  CZnError err = container_.open(index_, handle, item, O_RDONLY, false);
  if (err.failed()) {
    err.Push(FX_LOC, "Can't open [%s] for reading", full(rel).c_str());
    return err;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::string piece(READ_PIECE, '\0');
  for (uint64_t offset = 0; offset < size;) {
    uint64_t got = 0;
    err = container_.read(index_, handle, piece.data(), offset, std::min(READ_PIECE, size - offset),
                          got);
    if (err.failed()) {
      err.Push(FX_LOC, "Can't read [%s] at %llu", full(rel).c_str(),
               static_cast<unsigned long long>(offset));
      break;
    }
    if (got == 0) break;  // shorter than its size says: the comparison shows it
    bytes.append(piece.data(), got);
    offset += got;
  }
  CZnError closeErr = container_.close(index_, handle);
  if (err.ok() && closeErr.failed()) {
    closeErr.Push(FX_LOC, "Can't close [%s]", full(rel).c_str());
    return closeErr;
  }
  return err;
}

CZnError Share::symlink(const std::string& rel, const std::string& target) {
  ItemName item;
  CZnError err = container_.createSymbolicLink(index_, item, full(rel), target);
  if (err.failed()) err.Push(FX_LOC, "Can't create link [%s]", full(rel).c_str());
  return err;
}

CZnError Share::readLink(const std::string& rel, std::string& target) {
  CZnError err = container_.readLink(index_, ItemName(full(rel)), target);
  if (err.failed()) err.Push(FX_LOC, "Can't read link [%s]", full(rel).c_str());
  return err;
}

CZnError Share::setXattr(const std::string& rel, const std::string& name,
                         const std::string& value) {
  ItemName item(full(rel));
  CZnError err = container_.setxattr(index_, item, name,
                                     std::vector<unsigned char>(value.begin(), value.end()));
  if (err.failed()) err.Push(FX_LOC, "Can't set [%s] on [%s]", name.c_str(), full(rel).c_str());
  return err;
}

CZnError Share::getXattr(const std::string& rel, const std::string& name, std::string& value) {
  ItemName item(full(rel));
  std::vector<unsigned char> bytes;
  CZnError err = container_.getxattr(index_, item, name, bytes);
  if (err.failed()) {
    err.Push(FX_LOC, "Can't get [%s] of [%s]", name.c_str(), full(rel).c_str());
    return err;
  }
  value.assign(bytes.begin(), bytes.end());
  return err;
}

CZnError Share::rename(const std::string& from, const std::string& to) {
  CZnError err = container_.rename(index_, full(from), full(to), false);
  if (err.failed())
    err.Push(FX_LOC, "Can't rename [%s] to [%s]", full(from).c_str(), full(to).c_str());
  return err;
}

CZnError Share::unlink(const std::string& rel) {
  ItemName item(full(rel));
  CZnError err = container_.unlink(index_, item);
  if (err.failed()) err.Push(FX_LOC, "Can't delete [%s]", full(rel).c_str());
  return err;
}

CZnError Share::stat(const std::string& rel, struct stat& st) {
  ItemName item(full(rel));
  CZnError err = container_.getattr(index_, item, st);
  if (err.failed()) err.Push(FX_LOC, "Can't get the attributes of [%s]", full(rel).c_str());
  return err;
}

CZnError Share::list(const std::string& rel, std::vector<std::string>& names) {
  names.clear();
  ItemName dir(full(rel));
  bool done = false;
  for (size_t offset = 0; !done;) {
    GuidPathList page;
    CZnError err = container_.readdir(index_, dir, page, offset, 100, done);
    if (err.failed()) {
      err.Push(FX_LOC, "Can't list [%s]", full(rel).c_str());
      return err;
    }
    if (page.empty() && !done) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Listing of [%s] stopped at %zu entries",
                                     full(rel).c_str(), offset);
    }
    offset += page.size();
    for (auto& entry : page)
      if (entry.second != "." && entry.second != "..") names.push_back(std::move(entry.second));
  }
  std::sort(names.begin(), names.end());
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// Writer

CZnError Writer::mkdir(const std::string& rel) {
  CZnError err = share_.mkdir(rel);
  if (err.ok()) model_[rel] = Node{Node::DIR, {}, {}};
  return err;
}

void Writer::noteExtents(const guid_t& version, uint64_t offset, uint64_t length) {
  if (extentSize_ == 0 || length == 0) return;
  for (uint64_t n = offset / extentSize_; n <= (offset + length - 1) / extentSize_; ++n)
    segments_.insert(fileToExtentGuid(version, n));
}

CZnError Writer::createFile(const std::string& rel, const std::string& bytes) {
  CZnError err = share_.createFile(rel, "");
  if (err.ok()) model_[rel] = Node{Node::FILE, "", {}};
  if (err.ok() && !bytes.empty()) err = writeAt(rel, bytes, 0);
  return err;
}

CZnError Writer::writeAt(const std::string& rel, const std::string& bytes, uint64_t offset) {
  guid_t version;
  CZnError err = share_.writeAt(rel, bytes, offset, &version);
  if (err.failed()) return err;
  noteExtents(version, offset, bytes.size());
  std::string& data = model_[rel].data;
  if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size(), '\0');
  data.replace(offset, bytes.size(), bytes);
  return err;
}

CZnError Writer::symlink(const std::string& rel, const std::string& target) {
  CZnError err = share_.symlink(rel, target);
  if (err.ok()) model_[rel] = Node{Node::LINK, target, {}};
  return err;
}

CZnError Writer::setXattr(const std::string& rel, const std::string& name,
                          const std::string& value) {
  CZnError err = share_.setXattr(rel, name, value);
  if (err.ok()) model_[rel].xattrs[name] = value;
  return err;
}

CZnError Writer::rename(const std::string& from, const std::string& to) {
  CZnError err = share_.rename(from, to);
  if (err.failed()) return err;
  auto node = model_.extract(from);
  node.key() = to;
  model_.insert(std::move(node));
  return err;
}

CZnError Writer::unlink(const std::string& rel) {
  CZnError err = share_.unlink(rel);
  if (err.ok()) model_.erase(rel);
  return err;
}

// ---------------------------------------------------------------------------
// Comparison

namespace {

class TreeComparer {
 public:
  TreeComparer(Share& share, const Tree& model, const std::string& cacheArea)
      : share_(share), model_(model), cacheArea_(cacheArea) {}

  std::vector<PathCheck> run() {
    walk("");
    for (const auto& [path, node] : model_) {
      if (seen_.count(path) != 0) continue;
      PathCheck check;
      check.path = path;
      check.kind = "-";
      check.problem = std::string("missing (a ") + kindName(node.kind) + " was written)";
      checks_.push_back(check);
    }
    std::sort(checks_.begin(), checks_.end(),
              [](const PathCheck& a, const PathCheck& b) { return a.path < b.path; });
    return checks_;
  }

 private:
  void walk(const std::string& dir) {
    std::vector<std::string> names;
    if (CZnError err = share_.list(dir, names); err.failed()) {
      PathCheck check;
      check.path = dir.empty() ? "." : dir;
      check.kind = "dir";
      check.problem = "can't list: " + errorText(err);
      checks_.push_back(check);
      return;
    }
    for (const std::string& name : names) {
      const std::string path = dir.empty() ? name : dir + "/" + name;
      seen_.insert(path);
      visit(path);
    }
  }

  void visit(const std::string& path) {
    PathCheck check;
    check.path = path;
    struct stat st {};
    if (CZnError err = share_.stat(path, st); err.failed()) {
      check.kind = "?";
      check.problem = "listed but can't be looked at: " + errorText(err);
      checks_.push_back(check);
      return;
    }
    const Node::Kind kind = S_ISDIR(st.st_mode)   ? Node::DIR
                            : S_ISLNK(st.st_mode) ? Node::LINK
                                                  : Node::FILE;
    check.kind = kindName(kind);
    check.size = static_cast<uint64_t>(st.st_size);
    auto it = model_.find(path);
    if (it == model_.end()) {
      check.problem = "not written at this time, but present";
    } else if (it->second.kind != kind) {
      check.problem = std::string("is a ") + kindName(kind) + ", a " + kindName(it->second.kind) +
                      " was written";
    } else if (kind == Node::FILE) {
      check.problem = compareFile(path, it->second.data, check.restoredSegments);
    } else if (kind == Node::LINK) {
      std::string target;
      CZnError err = share_.readLink(path, target);
      if (err.failed())
        check.problem = errorText(err);
      else if (target != it->second.data)
        check.problem = "points to [" + target + "], not [" + it->second.data + "]";
      else
        check.shown = "-> " + target;
    }
    if (check.problem.empty() && it != model_.end())
      check.problem = compareXattrs(path, it->second.xattrs, check.shown);
    check.ok = check.problem.empty();
    checks_.push_back(check);
    if (kind == Node::DIR && it != model_.end()) walk(path);
  }

  std::string compareFile(const std::string& path, const std::string& expected, int& restored) {
    const size_t before = cacheArea_.empty() ? 0 : countSegments(cacheArea_);
    std::string got;
    CZnError err = share_.readAll(path, got);
    if (!cacheArea_.empty()) restored = static_cast<int>(countSegments(cacheArea_) - before);
    if (err.failed()) return errorText(err);
    if (got == expected) return {};
    const size_t at = firstDifference(got, expected);
    return std::to_string(got.size()) + " bytes read, " + std::to_string(expected.size()) +
           " written, first difference at byte " + std::to_string(at);
  }

  std::string compareXattrs(const std::string& path,
                            const std::map<std::string, std::string>& expected,
                            std::string& shown) {
    for (const auto& [name, value] : expected) {
      std::string got;
      CZnError err = share_.getXattr(path, name, got);
      if (err.failed()) return errorText(err);
      if (got != value) return name + " is [" + got + "], not [" + value + "]";
      shown += (shown.empty() ? "" : " ") + name + "=" + got;
    }
    return {};
  }

  Share& share_;
  const Tree& model_;
  const std::string cacheArea_;
  std::vector<PathCheck> checks_;
  std::set<std::string> seen_;
};

}  // namespace

std::vector<PathCheck> compareTree(Share& share, const Tree& model, const std::string& cacheArea) {
  return TreeComparer(share, model, cacheArea).run();
}

size_t countSegments(const std::string& dir) { return segmentFiles(dir).size(); }

std::vector<std::string> segmentFiles(const std::string& dir) {
  std::error_code ec;
  std::vector<std::string> paths;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code typeEc;
    if (it->is_regular_file(typeEc)) paths.push_back(it->path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

uint64_t treeBytes(const std::string& dir) {
  std::error_code ec;
  uint64_t total = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code sizeEc;
    if (!it->is_regular_file(sizeEc)) continue;
    const uint64_t size = it->file_size(sizeEc);
    if (!sizeEc) total += size;
  }
  return total;
}

}  // namespace ObjectStore::demo
