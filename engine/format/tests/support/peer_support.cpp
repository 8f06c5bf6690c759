#include "engine/format/tests/support/peer_support.h"

#include <regex>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace bw::test {

CommandResult RunCommand(const std::string &command) {
  CommandResult result;
  std::string line = command + " 2>&1";
  FILE *pipe = popen(line.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

std::string FindTool(const std::string &name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string folder = path.substr(start, end - start);
    if (!folder.empty()) {
      std::string candidate = folder + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return "";
}

bool MissingPeersAllowed() {
  const char *allow = std::getenv("BW_ALLOW_MISSING_PEERS");
  return allow && std::string(allow) == "1";
}

std::string MissingPeerText(const std::string &tool, const std::string &package) {
  return "peer tool " + tool + " is missing: install the Debian package " + package +
         " (scripts/setup.sh does), or set BW_ALLOW_MISSING_PEERS=1 to skip the checks that need it";
}

std::string ShellQuote(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

TempFolder::TempFolder() {
  for (const char *base : {"/dev/shm", "/tmp"}) {
    std::string pattern = std::string(base) + "/bw-peer-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) {
      path_ = buffer.data();
      return;
    }
  }
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool MakeSparseFile(const std::string &path, uint64_t size) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  close(fd);
  return ok;
}

bool WriteHostFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return WriteHostBytes(path, 0, bytes);
}

bool ReadHostFile(const std::string &path, std::vector<uint8_t> *bytes) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  return ReadHostBytes(path, 0, static_cast<uint64_t>(st.st_size), bytes);
}

bool ReadHostBytes(const std::string &path, uint64_t offset, uint64_t length,
                   std::vector<uint8_t> *bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->assign(length, 0);
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, bytes->data() + done, length - done, static_cast<off_t>(offset + done));
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  close(fd);
  return done == length;
}

bool WriteHostBytes(const std::string &path, uint64_t offset, const std::vector<uint8_t> &bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint64_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done,
                       static_cast<off_t>(offset + done));
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  close(fd);
  return done == bytes.size();
}

std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(length);
  for (auto &b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

std::string FmtimagePath() {
#ifdef BW_BIN_DIR
  return std::string(BW_BIN_DIR) + "/fmtimage";
#else
  return "fmtimage";
#endif
}

bool FsckLineIntended(const std::string &line) {
  static const std::regex intended[] = {
      std::regex(R"(^fsck\.fat \S+ \(.*\)$)"),
      std::regex(R"(^Volume label '.*' stored in root directory and label 'Tavik' stored in boot sector and different\.$)"),
      std::regex(R"(^  Auto-copying volume label from root directory to boot sector\.$)"),
      std::regex(R"(^Label in boot sector is 'Tavik', but there is no volume label in root directory\.$)"),
      std::regex(R"(^  Auto-removing label from boot sector\.$)"),
      std::regex(R"(^Leaving filesystem unchanged\.$)"),
      std::regex(R"(^$)"),
  };
  for (const auto &re : intended)
    if (std::regex_match(line, re)) return true;
  return false;
}

bool FsckClean(const CommandResult &result) {
  if (result.exitCode != 0 && result.exitCode != 1) return false;
  static const std::regex summary(R"(^.*: \d+ files, \d+/\d+ clusters$)");
  std::istringstream lines(result.output);
  std::string line;
  bool summarised = false;
  while (std::getline(lines, line)) {
    bool summaryLine = std::regex_match(line, summary);
    if (!summaryLine && !FsckLineIntended(line)) return false;
    summarised = summarised || summaryLine;
  }
  return summarised;
}

}  // namespace bw::test
