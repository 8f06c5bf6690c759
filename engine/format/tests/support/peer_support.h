// Helpers for the peer checks: temporary image folders, running the image
// tool and the file-system tools, host files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw::test {

struct CommandResult {
  int exitCode = -1;   // -1 when the command could not run or was killed
  std::string output;  // standard output and error together
};

// Runs a shell command line and collects its output.
CommandResult RunCommand(const std::string &command);
// Full path of a tool from PATH, /usr/sbin or /sbin; empty when missing.
std::string FindTool(const std::string &name);
// Whether BW_ALLOW_MISSING_PEERS=1 is set: a missing peer tool then skips the
// checks that need it instead of failing them.
bool MissingPeersAllowed();
// "peer tool fsck.fat is missing: install the Debian package dosfstools ..."
std::string MissingPeerText(const std::string &tool, const std::string &package);

// Ends the test when Path (a FindTool result) is empty: a failure naming the
// package to install, or a skip where BW_ALLOW_MISSING_PEERS=1 allows it.
#define BW_REQUIRE_PEER_TOOL(path, tool, package)                                             \
  do {                                                                                        \
    if ((path).empty()) {                                                                     \
      if (::bw::test::MissingPeersAllowed()) GTEST_SKIP() << ::bw::test::MissingPeerText(tool, package); \
      FAIL() << ::bw::test::MissingPeerText(tool, package);                                   \
    }                                                                                         \
  } while (0)

// Quotes an argument for the shell.
std::string ShellQuote(const std::string &text);

// A fresh folder under /dev/shm (or /tmp), removed with its contents.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A sparse file of the given size (any previous contents dropped).
bool MakeSparseFile(const std::string &path, uint64_t size);
bool WriteHostFile(const std::string &path, const std::vector<uint8_t> &bytes);
bool ReadHostFile(const std::string &path, std::vector<uint8_t> *bytes);
// Reads or writes `length` bytes at `offset` of a host file.
bool ReadHostBytes(const std::string &path, uint64_t offset, uint64_t length,
                   std::vector<uint8_t> *bytes);
bool WriteHostBytes(const std::string &path, uint64_t offset, const std::vector<uint8_t> &bytes);
// Deterministic pseudo-random bytes.
std::vector<uint8_t> PatternBytes(size_t length, uint32_t seed);

// Path of the image tool in the build tree.
std::string FmtimagePath();

// Whether a line of `fsck.fat -n` output is one the formatter means: its
// banner and closing lines, and the fixed label text "Tavik" that FAT12 and
// FAT16 boot sectors carry whatever the volume's label (which lives in the
// root directory, or is absent).
bool FsckLineIntended(const std::string &line);
// fsck.fat -n found nothing wrong: it ended with 0 or 1, printed its summary
// line, and every other line it printed is intended.
bool FsckClean(const CommandResult &result);

}  // namespace bw::test
