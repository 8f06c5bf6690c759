// The applications started with the manager: the split of a command line,
// the list's form of a program path, the program an entry's icon comes
// from, and the start itself against the system, where a program that
// cannot start is reported and the next one starts all the same.

#include "AutoStartApps.h"
#include "manager_daemon.h"

#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using Ramdeck::TAppCommand;

TEST(AppCommandLine, SplitAtTheFirstSpaceOutsideQuotes) {
  auto split = [](const char *text) {
    TAppCommand command = Ramdeck::SplitAppCommandLine(QString::fromUtf8(text));
    return std::make_pair(command.Program.toStdString(), command.Parameters.toStdString());
  };
  using Pair = std::pair<std::string, std::string>;
  EXPECT_EQ((Pair{"\"C:\\Program Files\\Tool\\tool.exe\"", ""}), split("\"C:\\Program Files\\Tool\\tool.exe\""));
  EXPECT_EQ((Pair{"\"%WINDIR%\\notepad.exe\"", "C:\\a.txt"}), split("\"%WINDIR%\\notepad.exe\" C:\\a.txt"));
  EXPECT_EQ((Pair{"notepad.exe", "a  \"b c\""}), split("notepad.exe a  \"b c\""));
  EXPECT_EQ((Pair{"C:\\x\"y z\"w.exe", "-q"}), split("C:\\x\"y z\"w.exe -q"));
  EXPECT_EQ((Pair{"", "lead"}), split(" lead"));
  EXPECT_EQ((Pair{"tool.exe", ""}), split("tool.exe"));

  EXPECT_EQ(QStringLiteral("\"C:\\Program Files\\Tool\\tool.exe\""),
            Ramdeck::AppListEntry(QStringLiteral("C:\\Program Files\\Tool\\tool.exe")));
  EXPECT_EQ(QStringLiteral("C:\\Tools\\tool.exe"), Ramdeck::AppListEntry(QStringLiteral("C:\\Tools\\tool.exe")));
}

TEST(AppCommandLine, TheIconComesFromTheLongestExistingProgram) {
  auto exists = [](const QString &path) {
    return path == QStringLiteral("C:\\Program Files\\Tool\\tool.exe") || path == QStringLiteral("C:\\Windows\\notepad.exe");
  };
  EXPECT_EQ(QStringLiteral("C:\\Program Files\\Tool\\tool.exe"),
            Ramdeck::AppIconProgram(QStringLiteral("\"C:\\Program Files\\Tool\\tool.exe\""), exists));
  EXPECT_EQ(QStringLiteral("C:\\Program Files\\Tool\\tool.exe"),
            Ramdeck::AppIconProgram(QStringLiteral("\"C:\\Program Files\\Tool\\tool.exe\" -a b"), exists));
  EXPECT_EQ(QStringLiteral("C:\\Windows\\notepad.exe"),
            Ramdeck::AppIconProgram(QStringLiteral("\"%SystemRoot%\\notepad.exe\" C:\\a.txt"), exists));
  EXPECT_EQ(QString(), Ramdeck::AppIconProgram(QStringLiteral("nothing here"), exists));
}

class AutoStart : public Ramdeck::test::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    output_ = daemon_.Root() + "/args";
    setenv("BW_ARGS_OUT", output_.c_str(), 1);
  }
  // A host program on drive C: that writes its arguments, one a line, to
  // a file named after it.
  void Program(const std::string &windowsRelative, const std::string &name) {
    std::string path = daemon_.Root() + "/C/" + windowsRelative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$BW_ARGS_OUT." << name
                        << ".tmp\"\nmv \"$BW_ARGS_OUT." << name << ".tmp\" \"$BW_ARGS_OUT." << name << "\"\n";
    chmod(path.c_str(), 0755);
  }
  std::string Arguments(const std::string &name) {
    std::string file = output_ + "." + name;
    for (int i = 0; i < 200; ++i) {
      if (std::filesystem::exists(file)) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
      }
      usleep(25000);
    }
    return "<not started>";
  }
  std::string output_;
};

TEST_F(AutoStart, EntriesStartInOrderAndFailuresAreReported) {
  Program("Windows/notepad.exe", "notepad");
  Program("Program Files/Tool/tool.exe", "tool");
  Ramdeck::TAutoStartingApps apps;
  apps.Items << QStringLiteral("\"%WINDIR%\\notepad.exe\" C:\\a.txt")
             << QStringLiteral("C:\\Missing\\gone.exe --flag")
             << Ramdeck::AppListEntry(QStringLiteral("C:\\Program Files\\Tool\\tool.exe"));
  QStringList errors;
  EXPECT_EQ(2, apps.StartAll([&](const QString &text) { errors << text; }));
  EXPECT_EQ("C:\\a.txt\n", Arguments("notepad"));
  EXPECT_EQ("", Arguments("tool"));  // no parameters at all
  EXPECT_EQ((QStringList{QStringLiteral("Application: The system cannot find the path specified.")}), errors);
}

}  // namespace
