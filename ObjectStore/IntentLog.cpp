#include "ObjectStore/IntentLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

namespace {

// Longest GUID or ticket text a record may hold; anything longer is damage.
constexpr size_t MAX_TOKEN = 64;
// Longest name and path (in bytes, before hex) a record may hold.
constexpr size_t MAX_NAME = 4096;
constexpr size_t MAX_PATH = 65536;

std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 0x0f]);
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool fromHex(const std::string& text, std::string& out, size_t maxBytes) {
  if (text.size() % 2 != 0 || text.size() > 2 * maxBytes) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigit(text[i]);
    const int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

// One entry's name, as an entry list can hold it.
bool isEntryName(const std::string& name) {
  return !name.empty() && name.size() <= MAX_NAME && name.find('\0') == std::string::npos &&
         name.find('/') == std::string::npos && name != "." && name != "..";
}

bool isFullPath(const std::string& path) {
  return !path.empty() && path[0] == '/' && path.size() <= MAX_PATH &&
         path.find('\0') == std::string::npos;
}

// A GUID or ticket: printable, no blanks, not too long.
bool isToken(const std::string& text) {
  if (text.empty() || text.size() > MAX_TOKEN) return false;
  for (char c : text)
    if (c <= ' ' || c > '~') return false;
  return true;
}

bool readWhole(const std::string& path, std::string& content, int& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = errno != 0 ? errno : EIO;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  content = text.str();
  return true;
}

}  // namespace

IntentLog::~IntentLog() { close(); }

std::string IntentLog::beginLine(uint64_t ticket, const Removal& removal) {
  return "B " + std::to_string(ticket) + " " + removal.parentGuid + " " + removal.objGuid + " " +
         toHex(removal.name) + "\n";
}

std::string IntentLog::beginLine(uint64_t ticket, const Move& move) {
  return "M " + std::to_string(ticket) + " " + move.objGuid + " " + move.srcParentGuid + " " +
         move.dstParentGuid + " " + (move.isDirectory ? "d" : "f") + " " + toHex(move.srcName) +
         " " + toHex(move.dstName) + " " + toHex(move.srcPath) + " " + toHex(move.dstPath) + "\n";
}

IntentLog::Unfinished IntentLog::unfinishedIn(const std::string& content, size_t& badLines) {
  badLines = 0;
  // Ticket -> (is a move, index into its list); the records in file order.
  std::map<std::string, std::pair<bool, size_t>> open;
  std::vector<std::pair<bool, Removal>> removals;  // (still open, removal)
  std::vector<std::pair<bool, Move>> moves;
  size_t start = 0;
  for (;;) {
    const size_t newline = content.find('\n', start);
    if (newline == std::string::npos) break;  // a torn last line: never acted on
    std::istringstream line(content.substr(start, newline - start));
    start = newline + 1;
    std::string kind, ticket, extra;
    line >> kind >> ticket;
    const bool newTicket = isToken(ticket) && open.count(ticket) == 0;
    if (kind == "B") {
      Removal removal;
      std::string name;
      if ((line >> removal.parentGuid >> removal.objGuid >> name) && !(line >> extra) &&
          newTicket && isToken(removal.parentGuid) && isToken(removal.objGuid) &&
          fromHex(name, removal.name, MAX_NAME) && isEntryName(removal.name)) {
        open[ticket] = {false, removals.size()};
        removals.emplace_back(true, std::move(removal));
        continue;
      }
    } else if (kind == "M") {
      Move move;
      std::string type, srcName, dstName, srcPath, dstPath;
      if ((line >> move.objGuid >> move.srcParentGuid >> move.dstParentGuid >> type >> srcName >>
           dstName >> srcPath >> dstPath) &&
          !(line >> extra) && newTicket && isToken(move.objGuid) &&
          isToken(move.srcParentGuid) && isToken(move.dstParentGuid) &&
          (type == "d" || type == "f") && fromHex(srcName, move.srcName, MAX_NAME) &&
          fromHex(dstName, move.dstName, MAX_NAME) && fromHex(srcPath, move.srcPath, MAX_PATH) &&
          fromHex(dstPath, move.dstPath, MAX_PATH) && isEntryName(move.srcName) &&
          isEntryName(move.dstName) && isFullPath(move.srcPath) && isFullPath(move.dstPath)) {
        move.isDirectory = type == "d";
        open[ticket] = {true, moves.size()};
        moves.emplace_back(true, std::move(move));
        continue;
      }
    } else if (kind == "E" && isToken(ticket) && !(line >> extra)) {
      auto it = open.find(ticket);
      if (it != open.end()) {
        if (it->second.first) {
          moves[it->second.second].first = false;
        } else {
          removals[it->second.second].first = false;
        }
        open.erase(it);
      }
      continue;
    }
    ++badLines;
  }
  Unfinished unfinished;
  for (auto& [stillOpen, removal] : removals)
    if (stillOpen) unfinished.removals.push_back(std::move(removal));
  for (auto& [stillOpen, move] : moves)
    if (stillOpen) unfinished.moves.push_back(std::move(move));
  return unfinished;
}

CZnError IntentLog::open(const std::string& path, Unfinished& unfinished) {
  std::lock_guard<std::mutex> guard(lock_);
  unfinished = Unfinished();
  if (fd_ >= 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "intent log already open");
  path_ = path;
  std::string content;
  int error = 0;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!readWhole(path, content, error))
      return FXErrorUtil::ErrorErrNo(FX_LOC, error, "Can't read [%s]", path.c_str());
    size_t badLines = 0;
    unfinished = unfinishedIn(content, badLines);
    if (badLines > 0)
      OSLOG(-1, "Error: [%s] %lu unreadable records skipped", path.c_str(),
            static_cast<unsigned long>(badLines));
  } else if (errno != ENOENT) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't stat [%s]", path.c_str());
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't open [%s]", path.c_str());
  size_ = content.size();
  keepFile_ = !unfinished.empty();
  return CZnError::Success;
}

CZnError IntentLog::rewrite(const Unfinished& keep) {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "intent log not open");
  // Nothing to replace (the usual start): no file write, no sync.
  if (keep.empty() && size_ == 0) return CZnError::Success;
  std::string content;
  for (const Removal& removal : keep.removals) content += beginLine(nextTicket_++, removal);
  for (const Move& move : keep.moves) content += beginLine(nextTicket_++, move);
  if (int rc = writeFileAtomically(path_, content); rc != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't write [%s]", path_.c_str());
  // The open descriptor still names the replaced file.
  ::close(fd_);
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't open [%s]", path_.c_str());
  size_ = content.size();
  keepFile_ = !keep.empty();
  return CZnError::Success;
}

void IntentLog::close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  // What was in flight or left stays in the file for the next open.
  inFlight_.clear();
  movesInFlight_.clear();
  left_.clear();
  leftMoves_.clear();
  hasLeft_.store(false);
}

bool IntentLog::isOpen() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fd_ >= 0;
}

CZnError IntentLog::appendNoLock(const std::string& line) {
  if (fd_ < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "intent log not open");
  // One write per record: a killed process leaves it whole or not at all.
  // A short write (a full disk) leaves a torn tail that the next start
  // skips; the next record then starts on a fresh line.
  ssize_t written;
  do {
    written = ::write(fd_, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't write [%s]", path_.c_str());
  size_ += static_cast<uint64_t>(written);
  if (static_cast<size_t>(written) != line.size()) {
    (void)!::write(fd_, "\n", 1);
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSPC, "Short write to [%s]", path_.c_str());
  }
  return CZnError::Success;
}

CZnError IntentLog::begin(const Removal& removal, uint64_t& ticket) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!isEntryName(removal.name) || !isToken(removal.parentGuid) || !isToken(removal.objGuid))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't record removal of [%s]",
                                   removal.name.c_str());
  ticket = nextTicket_++;
  CZnError err = appendNoLock(beginLine(ticket, removal));
  if (!err.ok()) return err;
  inFlight_[ticket] = removal;
  return CZnError::Success;
}

CZnError IntentLog::begin(const Move& move, uint64_t& ticket) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!isToken(move.objGuid) || !isToken(move.srcParentGuid) || !isToken(move.dstParentGuid) ||
      !isEntryName(move.srcName) || !isEntryName(move.dstName) || !isFullPath(move.srcPath) ||
      !isFullPath(move.dstPath))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't record rename of [%s]",
                                   move.srcPath.c_str());
  ticket = nextTicket_++;
  CZnError err = appendNoLock(beginLine(ticket, move));
  if (!err.ok()) return err;
  movesInFlight_[ticket] = move;
  return CZnError::Success;
}

void IntentLog::finish(uint64_t ticket) {
  std::lock_guard<std::mutex> guard(lock_);
  inFlight_.erase(ticket);
  movesInFlight_.erase(ticket);
  if (left_.erase(ticket) + leftMoves_.erase(ticket) != 0)
    hasLeft_.store(!left_.empty() || !leftMoves_.empty());
  if (CZnError err = appendNoLock("E " + std::to_string(ticket) + "\n"); !err.ok()) {
    OSLOG(1, "[%s] removal %lu not marked complete: %s", path_.c_str(),
          static_cast<unsigned long>(ticket), err.text().c_str());
    keepFile_ = true;  // harmless: the next start finds it done
    return;
  }
  if (inFlight_.empty() && movesInFlight_.empty() && left_.empty() && leftMoves_.empty() &&
      !keepFile_ &&
      size_ > COMPACT_BYTES && fd_ >= 0) {
    if (::ftruncate(fd_, 0) == 0) size_ = 0;
  }
}

void IntentLog::leave(uint64_t ticket) {
  std::lock_guard<std::mutex> guard(lock_);
  if (auto it = inFlight_.find(ticket); it != inFlight_.end()) {
    left_.insert(*it);
    inFlight_.erase(it);
  } else if (auto move = movesInFlight_.find(ticket); move != movesInFlight_.end()) {
    leftMoves_.insert(*move);
    movesInFlight_.erase(move);
  } else {
    return;
  }
  hasLeft_.store(true);
  OSLOG(1, "[%s] change %lu left for later", path_.c_str(), static_cast<unsigned long>(ticket));
}

std::vector<std::pair<uint64_t, IntentLog::Removal>> IntentLog::left() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {left_.begin(), left_.end()};
}

std::vector<std::pair<uint64_t, IntentLog::Move>> IntentLog::leftMoves() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {leftMoves_.begin(), leftMoves_.end()};
}

}  // namespace ObjectStore
