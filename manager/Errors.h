// The manager's exceptions. Each unit derives its own kind (EVolumeError,
// ECmdLineError, ENotPermitted) from this one, whose message is what a
// message box shows.
#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace Ramdeck {

class Exception : public std::exception {
 public:
  explicit Exception(QString message) : message_(std::move(message)), what_(message_.toUtf8()) {}
  const QString &Message() const noexcept { return message_; }
  const char *what() const noexcept override { return what_.constData(); }

 private:
  QString message_;
  QByteArray what_;
};

}  // namespace Ramdeck
