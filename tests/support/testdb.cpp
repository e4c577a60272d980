#include "tests/support/testdb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>
#include <csignal>
#include <QProcess>
#include <QThread>

#include "shell/settings.h"

namespace {
QString Env(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }
}  // namespace

bool ServerAvailable(QString* why) {
  for (const char* v : {"NORVALE_TEST_SERVER", "NORVALE_TEST_PORT", "NORVALE_TEST_USER", "NORVALE_TEST_PASSWORD"}) {
    if (Env(v).isEmpty()) {
      if (why)
        *why = QStringLiteral("%1 is not set: start the test server with eval \"$(scripts/test-db start)\"").arg(v);
      return false;
    }
  }
  return true;
}

MySQL::ConnectionDetails ServerDetails(const QString& database) {
  QString why;
  if (!ServerAvailable(&why)) {
    ADD_FAILURE() << why.toStdString();
    throw std::runtime_error(why.toStdString());
  }
  return {Env("NORVALE_TEST_SERVER"), Env("NORVALE_TEST_USER"), Env("NORVALE_TEST_PASSWORD"), database,
          Env("NORVALE_TEST_PORT")};
}

void Sql(const MySQL::ConnectionDetails& details, const QStringList& statements) {
  ADODB::Connection connection;
  connection.CommandTimeout = 3600;
  connection.Open(MySQL::ConnectionString(details));
  for (const QString& s : statements) connection.Execute(s);
}

QStringList Column(const MySQL::ConnectionDetails& details, const QString& query) {
  ADODB::Connection connection;
  connection.CursorLocation = ADODB::adUseClient;
  connection.Open(MySQL::ConnectionString(details));
  auto rs = connection.Execute(query);
  QStringList values;
  while (rs && !rs->Eof()) {
    const QVariant v = rs->Value(0);
    values << (v.isNull() ? QStringLiteral("NULL") : MySQL::ValueText(v));
    rs->MoveNext();
  }
  return values;
}

TestDatabase::TestDatabase() : TestDatabase(ServerDetails()) {}

TestDatabase::TestDatabase(const MySQL::ConnectionDetails& server) : server_(server) {
  static std::atomic<int> counter{0};
  server_.database.clear();
  name_ = QStringLiteral("norvale_t%1_%2").arg(getpid()).arg(++counter);
  Sql(server_, {QStringLiteral("DROP DATABASE IF EXISTS `%1`").arg(name_),
                        QStringLiteral("CREATE DATABASE `%1` CHARACTER SET utf8mb4").arg(name_)});
}

TestDatabase::~TestDatabase() {
  try {
    Sql(server_, {QStringLiteral("DROP DATABASE IF EXISTS `%1`").arg(name_)});
  } catch (...) {
  }
}

void UseFreshSettings() {
  static QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
  // The undo journal too: tests never touch a real one.
  static QTemporaryDir data;
  qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
}

PrivateServer::PrivateServer(Tls tls) : tls_(tls) {
  static std::atomic<int> counter{0};
  dir_ = QDir::temp().filePath(QStringLiteral("norvale-private-%1-%2").arg(getpid()).arg(++counter));
  state_ = dir_ + QStringLiteral(".state");
  Start();
}

PrivateServer::~PrivateServer() {
  Stop();
  QDir(dir_).removeRecursively();
}

MySQL::ConnectionDetails PrivateServer::Details(const QString& database) const {
  auto d = ServerDetails(database);
  d.port = port_;
  return d;
}

void PrivateServer::Start() {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("NORVALE_TEST_DB_STATE", state_);
  if (!port_.isEmpty()) env.insert("NORVALE_TEST_DB_PORT", port_);
  QStringList args{"start"};
  if (tls_ == Tls::Offered) args << "--tls";
  if (tls_ == Tls::Required) args << "--require-tls";
  if (tls_ == Tls::Unusable) {
    // An RSA certificate, but only a cipher that needs an ECDSA one.
    args << "--tls";
    env.insert("NORVALE_TEST_DB_SERVER_OPTIONS", "--tls-version=TLSv1.2 --ssl-cipher=ECDHE-ECDSA-AES256-GCM-SHA384");
  }
  args << dir_;
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(NORVALE_SOURCE_DIR "/scripts/test-db"), args);
  p.waitForFinished(120000);
  const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
  for (const QString& line : out.split('\n')) {
    if (line.startsWith("export NORVALE_TEST_PORT=")) port_ = line.section('=', 1);
  }
  if (port_.isEmpty()) throw std::runtime_error("private test server did not start");
  running_ = true;
}

void PrivateServer::Signal(int signal) {
  QFile pidFile(dir_ + "/mysqld.pid");
  if (!pidFile.open(QIODevice::ReadOnly)) throw std::runtime_error("no pid file");
  ::kill(pid_t(pidFile.readAll().trimmed().toLongLong()), signal);
}

void PrivateServer::Kill() {
  QFile pidFile(dir_ + "/mysqld.pid");
  if (!pidFile.open(QIODevice::ReadOnly)) throw std::runtime_error("no pid file");
  const qint64 pid = pidFile.readAll().trimmed().toLongLong();
  ::kill(pid_t(pid), SIGKILL);
  for (int i = 0; i < 100 && ::kill(pid_t(pid), 0) == 0; ++i) QThread::msleep(50);
  running_ = false;
}

void PrivateServer::Stop() {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("NORVALE_TEST_DB_STATE", state_);
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(NORVALE_SOURCE_DIR "/scripts/test-db"), {"stop"});
  p.waitForFinished(60000);
  running_ = false;
}
