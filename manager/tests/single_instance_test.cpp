// The channel between a later start and the running manager, in one
// process: the payload arrives exactly, the sender waits for the receiver,
// malformed frames are dropped, and a second listener is refused.
#include <QCoreApplication>
#include <QEventLoop>
#include <QLocalSocket>
#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "SingleInstance.h"

using namespace Ramdeck;

namespace {

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "single_instance_test";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    channel_ = QStringLiteral("bw-single-instance-test-%1").arg(getpid());
    server_ = std::make_unique<TSingleInstanceServer>();
    ASSERT_TRUE(server_->Listen(channel_));
    QObject::connect(server_.get(), &TSingleInstanceServer::MessageReceived,
                     [this](quint32 id, const QString &text) {
                       // The sender is still waiting while the handler runs.
                       handledBeforeReturn_ = !sent_;
                       ids_.append(id);
                       texts_.append(text);
                     });
  }
  // Runs `send` on a thread of its own while the event loop serves.
  bool Send(const std::function<bool()> &send) {
    sent_ = false;
    std::atomic<bool> result{false};
    std::thread sender([&] {
      result = send();
      sent_ = true;
    });
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      if (sent_) loop.quit();
    });
    tick.start(10);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    sender.join();
    return result;
  }

  QString channel_;
  std::unique_ptr<TSingleInstanceServer> server_;
  std::atomic<bool> sent_{false};
  bool handledBeforeReturn_ = false;
  QList<quint32> ids_;
  QStringList texts_;
};

TEST_F(SingleInstance, CommandLinesArriveExactlyAndTheSenderWaitsForThem) {
  QString text = QStringLiteral("C:\\Ramdeck.exe \"/add:letter=R,label=Grüße ✓\" /force");
  EXPECT_EQ(2 * text.size() + 2, CommandLinePayload(text).size());
  ASSERT_TRUE(Send([&] {
    return SendToRunningManager(kCopyDataCommandLine, CommandLinePayload(text), 5000, channel_);
  }));
  ASSERT_TRUE(Send([&] { return SendToRunningManager(kCopyDataActivate, {}, 5000, channel_); }));
  EXPECT_EQ((QList<quint32>{4000, 4001}), ids_);
  EXPECT_EQ((QStringList{text, QString()}), texts_);
  EXPECT_TRUE(handledBeforeReturn_);
  // A second manager of the same channel does not listen; nobody answers a
  // channel that is not there.
  TSingleInstanceServer second;
  EXPECT_FALSE(second.Listen(channel_));
  EXPECT_FALSE(SendToRunningManager(kCopyDataActivate, {}, 1000, channel_ + QStringLiteral("-none")));
}

TEST_F(SingleInstance, MalformedMessagesAreDroppedUnanswered) {
  QByteArray noZero = CommandLinePayload(QStringLiteral("x")).left(2);
  QByteArray odd = CommandLinePayload(QStringLiteral("x")) + QByteArray(1, 'y');
  for (auto [id, payload] : {std::pair<quint32, QByteArray>{4000, noZero}, {4000, odd}, {4002, {}}}) {
    EXPECT_FALSE(Send([&] { return SendToRunningManager(id, payload, 2000, channel_); })) << id;
  }
  EXPECT_TRUE(ids_.isEmpty());
  // The channel still serves afterwards.
  ASSERT_TRUE(Send([&] { return SendToRunningManager(kCopyDataActivate, {}, 5000, channel_); }));
  EXPECT_EQ(QList<quint32>{4001}, ids_);
}

}  // namespace
