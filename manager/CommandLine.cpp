#include "CommandLine.h"

#include "CmdLineUtil.h"
#include "Translate.h"

namespace Ramdeck {

namespace {

enum Command { cmdImport, cmdMount, cmdUnmount, cmdDel, cmdAdd, cmdSave, cmdCount };
// Tested in this order, so that no name is taken for the start of another.
const char16_t *const kCommandNames[cmdCount] = {u"import", u"mount", u"unmount",
                                                 u"del",    u"add",   u"save"};

bool StartsWithPrefix(const QString &word) {
  return !word.isEmpty() && (word[0] == u'/' || word[0] == u'-');
}

// The value of `word` when it is "/name:" or "-name:" followed by a value;
// one pair of enclosing double quotes is removed. Empty when it is not.
QString CommandValue(const QString &word, const QString &name) {
  if (!StartsWithPrefix(word)) return {};
  QString head = name + u':';
  if (word.mid(1, head.size()).compare(head, Qt::CaseInsensitive) != 0) return {};
  QString value = word.mid(1 + head.size());
  if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"')
    value = value.mid(1, value.size() - 2);
  return value;
}

bool IsDriveLetter(QChar c) {
  return c >= u'A' && c <= u'Z';
}

}  // namespace

bool HasSwitch(const QStringList &arguments, const QString &name) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString &argument = arguments[i];
    if (StartsWithPrefix(argument) && argument.mid(1).compare(name, Qt::CaseInsensitive) == 0)
      return true;
  }
  return false;
}

QStringList SplitCommandLine(const QString &commandLine) {
  QStringList words;
  QString word;
  bool quoted = false;
  for (QChar c : commandLine) {
    if (c == u'"') {
      quoted = !quoted;
    } else if (c == u' ' && !quoted) {
      if (!word.isEmpty()) words.append(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.isEmpty()) words.append(word);
  return words;
}

QString JoinCommandLine(const QStringList &arguments) {
  QStringList quoted;
  for (const QString &argument : arguments)
    quoted.append(argument.contains(u' ') || argument.isEmpty() ? u'"' + argument + u'"'
                                                                : argument);
  return quoted.join(u' ');
}

TNewDiskParams ParseNewDiskParams(const QString &parameters) {
  TCmdLineParams params(parameters);
  TNewDiskParams disk;
  disk.Boot = params.GetAsIndexOf(QStringLiteral("type"),
                                  {QStringLiteral("logon"), QStringLiteral("boot")}, 0) == 1;
  disk.Letter = params.GetAsDriveLetter(QStringLiteral("letter")).toUpper();
  // A drive letter is A to Z: anything else would name no drive at all.
  if (!IsDriveLetter(disk.Letter))
    throw ECmdLineError(
        TrFormat(QStringLiteral("incorrect value for %s: %s"),
                 {QStringLiteral("letter"), params.GetAsString(QStringLiteral("letter"))}));
  disk.FileSystem = static_cast<TFileSystemType>(
      params.GetAsIndexOf(QStringLiteral("fs"),
                          {QStringLiteral("raw"), QStringLiteral("fat"), QStringLiteral("fat32"),
                           QStringLiteral("ntfs")},
                          fsRAW));
  if (params.Exists(QStringLiteral("image"))) {
    disk.ImageFile = params.GetAsString(QStringLiteral("image"));
  } else {
    int64_t size = params.GetAsSize(QStringLiteral("size"));
    // A negative size would become an enormous unsigned one.
    if (size < 0)
      throw ECmdLineError(
          TrFormat(QStringLiteral("incorrect value for %s: %s"),
                   {QStringLiteral("size"), params.GetAsString(QStringLiteral("size"))}));
    disk.Size = static_cast<uint64_t>(size);
  }
  disk.Label = params.GetAsString(QStringLiteral("label"), QString());
  disk.SaveToImage = params.GetAsBool(QStringLiteral("save"), false);
  disk.Mount = params.GetAsBool(QStringLiteral("mount"), true);
  return disk;
}

bool TCommandLineProcessor::IsAll(const QString &value) const {
  return value.compare(Tr(QStringLiteral("all")), Qt::CaseInsensitive) == 0;
}

QChar TCommandLineProcessor::SelectedDisk(const QString &value) const {
  QChar letter = value[0].toUpper();
  if (!target_.HasDisk(letter))
    throw ECmdLineError(TrFormat(QStringLiteral("disk %s is not found"), {value}));
  return letter;
}

void TCommandLineProcessor::Execute(int command, const QString &value) {
  switch (command) {
    case cmdImport:
      target_.ImportDisks(value);
      break;
    case cmdMount:
      if (IsAll(value))
        target_.MountAllDisks();
      else
        target_.MountDisk(SelectedDisk(value));
      break;
    case cmdUnmount:
      if (IsAll(value))
        target_.UnmountAllDisks(force_);
      else
        target_.UnmountDisk(SelectedDisk(value), force_);
      break;
    case cmdDel:
      if (IsAll(value))
        target_.DeleteAllDisks(force_);
      else
        target_.DeleteDisk(SelectedDisk(value), force_);
      break;
    case cmdAdd:
      target_.AddDisk(ParseNewDiskParams(value));
      break;
    case cmdSave:
      if (IsAll(value))
        target_.SaveAllDisks();
      else
        target_.SaveDisk(SelectedDisk(value));
      break;
  }
}

bool TCommandLineProcessor::Process(const QString &commandLine) {
  force_ = false;
  QStringList words = SplitCommandLine(commandLine);
  try {
    // The first word is the program's path.
    for (qsizetype i = 1; i < words.size(); ++i) {
      const QString &word = words[i];
      bool recognised = false;
      for (int command = 0; command < cmdCount && !recognised; ++command) {
        QString value = CommandValue(word, QString::fromUtf16(kCommandNames[command]));
        if (value.isEmpty()) continue;
        recognised = true;
        Execute(command, value);
      }
      if (!recognised && StartsWithPrefix(word) &&
          word.mid(1).compare(QStringLiteral("force"), Qt::CaseInsensitive) == 0)
        force_ = true;
    }
  } catch (const Exception &error) {
    reportError_(Tr(QStringLiteral("Command line error:")) + u' ' + error.Message());
    return false;
  }
  return true;
}

}  // namespace Ramdeck
