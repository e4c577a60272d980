// The connection's timeouts hold whatever the other end does: a listener
// that never greets, and a server that stops answering mid-statement.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <gtest/gtest.h>

#include "database/ado.h"
#include "database/mysql.h"
#include "tests/support/testdb.h"

namespace {

// Accepts connections on a free loopback port and never says a word.
// The kernel completes each connection in the backlog; nobody reads or writes.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 16);
    socklen_t length = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  QString Port() const { return QString::number(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace

TEST(Timeouts, OpeningGivesUpOnAListenerThatNeverGreets) {
  SilentListener silent;
  MySQL::ConnectionDetails d = ServerDetails();
  d.port = silent.Port();
  ADODB::Connection c;
  c.ConnectionTimeout = 2;
  try {
    c.Open(MySQL::ConnectionString(d));
    ADD_FAILURE() << "a silent listener was taken for a server";
  } catch (const ADODB::Error& e) {
    EXPECT_EQ(e.nativeError, 2013) << e.what();
    EXPECT_TRUE(QString(e.what()).contains("handshake")) << e.what();
  }
  EXPECT_FALSE(c.IsOpen());
  // The probe uses the default of 15 seconds and answers false.
  EXPECT_FALSE(MySQL::CanConnect(d));
}

TEST(Timeouts, AStatementGivesUpOnAFrozenServer) {
  PrivateServer server;
  ADODB::Connection c;
  c.CommandTimeout = 2;
  c.Open(MySQL::ConnectionString(server.Details()));
  server.Signal(SIGSTOP);
  try {
    c.Execute("SELECT 1");
    ADD_FAILURE() << "a frozen server answered";
  } catch (const ADODB::Error& e) {
    EXPECT_TRUE(QString(e.what()).contains("Lost connection")) << e.what();
  }
  server.Signal(SIGCONT);
}

TEST(Timeouts, TheDriverIsGivenEachTimeoutInItsOwnTerms) {
  ADODB::Connection c;
  EXPECT_EQ(c.DriverOptions(), "CHARSET=utf8mb4;FORCETLS=1;CONN_TIMEOUT=15;READ_TIMEOUT=30;WRITE_TIMEOUT=30;");
  MySQL::ApplyOptions(c, MySQL::RunOptions);
  c.MultipleStatements = true;
  EXPECT_EQ(c.DriverOptions(),
            "CHARSET=utf8mb4;FORCETLS=1;CONN_TIMEOUT=5000;READ_TIMEOUT=5000;WRITE_TIMEOUT=5000;OPTION=67108864;");
  c.ConnectionTimeout = 0;  // no limit
  c.CommandTimeout = 0;
  EXPECT_FALSE(c.DriverOptions().contains("TIMEOUT"));
}
