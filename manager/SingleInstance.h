// How a starting manager finds the one already running in its logon
// session and hands it its command line. On Windows that is a top-level
// window of class "TBWMainGUIForm" and WM_COPYDATA; here a local socket per
// logon session of one system carries the same contract: a data id (4000:
// a command line, 4001: come to the front) and, for 4000, the command line
// as UTF-16 with its terminating zero. Sending is synchronous: the sender
// returns once the running manager has handled the message.
//
// A frame is the id and the byte count (32-bit, little-endian) and then the
// bytes; the receiver answers one byte once its handlers have run.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <cstdint>

namespace Ramdeck {

constexpr uint32_t kCopyDataCommandLine = 4000;
constexpr uint32_t kCopyDataActivate = 4001;

// The channel's name for the calling process's logon session (its token's
// authentication id) on the system it belongs to. Empty when the token
// cannot be read.
QString SingleInstanceChannelName();

// The payload of a data id 4000 message: UTF-16 with its terminating zero.
QByteArray CommandLinePayload(const QString &commandLine);

// Hands a message to the running manager of this logon session. False when
// none is running (or it vanished before it took the message).
bool SendToRunningManager(uint32_t dataId, const QByteArray &payload, int timeoutMs = 60000,
                          const QString &channel = SingleInstanceChannelName());

// The running manager's end of the channel.
class TSingleInstanceServer : public QObject {
  Q_OBJECT
 public:
  explicit TSingleInstanceServer(QObject *parent = nullptr);
  // Starts listening; a socket left by a manager that crashed is replaced.
  // False when another manager answers on the channel or it cannot listen.
  bool Listen(const QString &channel = SingleInstanceChannelName());
  QString Channel() const { return server_.serverName(); }

 signals:
  // Id 4000 with the received command line, or id 4001 with an empty text.
  void MessageReceived(quint32 dataId, const QString &commandLine);

 private:
  void Accept();

  QLocalServer server_;
};

}  // namespace Ramdeck
