// The test server started by scripts/test-db, and a database of each test's
// own that is dropped when the test ends.
#pragma once

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

#include "database/ado.h"
#include "database/mysql.h"

// The server's details from the NORVALE_TEST_* variables; fails the test
// with a hint when they are missing.
MySQL::ConnectionDetails ServerDetails(const QString& database = {});
bool ServerAvailable(QString* why = nullptr);

// Runs statements as the test login on the given database (or none).
void Sql(const MySQL::ConnectionDetails& details, const QStringList& statements);
// The values of the first column of a query, as text ("NULL" for null).
QStringList Column(const MySQL::ConnectionDetails& details, const QString& query);

class TestDatabase {
 public:
  TestDatabase();
  // On another server: its details, without a database.
  explicit TestDatabase(const MySQL::ConnectionDetails& server);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const QString& Name() const { return name_; }
  MySQL::ConnectionDetails Details() const {
    auto d = server_;
    d.database = name_;
    return d;
  }
  void Exec(const QStringList& statements) const { Sql(Details(), statements); }
  void Exec(const QString& statement) const { Sql(Details(), {statement}); }
  QStringList Values(const QString& query) const { return Column(Details(), query); }

 private:
  MySQL::ConnectionDetails server_;
  QString name_;
};

// A server of a test's own, for tests that kill it or need TLS: started with
// scripts/test-db in a folder of its own, stopped when the object goes.
class PrivateServer {
 public:
  enum class Tls {
    None,      // plain TCP only
    Offered,   // a self-signed certificate; plain logins still accepted
    Required,  // require_secure_transport=ON
    Unusable,  // offers TLS, but no handshake with it can succeed
  };
  explicit PrivateServer(Tls tls = Tls::None, QString serverOptions = {});
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  MySQL::ConnectionDetails Details(const QString& database = {}) const;
  // Its self-signed certificate (Tls::Offered and after).
  QString CertificateFile() const { return dir_ + QStringLiteral("/tls/server-cert.pem"); }
  void Start();  // again on the same port and data after a kill
  void Kill();   // SIGKILL, as a crash would
  void Signal(int signal);  // SIGSTOP freezes it, SIGCONT thaws it
  void Stop();

 private:
  Tls tls_;
  QString serverOptions_;  // more options for mariadbd
  QString dir_, state_, port_;
  bool running_ = false;
};

// A primary with binary logging in the given binlog_format and one replica
// of it, of a test's own (scripts/test-db start --replica).
class PrivateReplicaPair {
 public:
  explicit PrivateReplicaPair(const QString& binlogFormat);
  ~PrivateReplicaPair();
  PrivateReplicaPair(const PrivateReplicaPair&) = delete;
  PrivateReplicaPair& operator=(const PrivateReplicaPair&) = delete;

  MySQL::ConnectionDetails Primary(const QString& database = {}) const;
  MySQL::ConnectionDetails Replica(const QString& database = {}) const;
  // Waits until the replica has applied everything the primary has logged;
  // false if the replica stopped with an error.
  bool CatchUp() const;
  QString PrimaryLog() const;  // the primary's error log

 private:
  QString dir_, state_, primaryPort_, replicaPort_;
};

// A 3-node Galera cluster of a test's own (scripts/test-cluster), stopped
// when the object goes.
class PrivateCluster {
 public:
  PrivateCluster();
  ~PrivateCluster();
  PrivateCluster(const PrivateCluster&) = delete;
  PrivateCluster& operator=(const PrivateCluster&) = delete;

  // Node 1, 2 or 3.
  MySQL::ConnectionDetails Details(int node, const QString& database = {}) const;
  void Kill(int node);  // SIGKILL, as a crash would
  // Waits until the node has applied every transaction the cluster has
  // committed so far.
  void SyncWait(int node) const;
  double StartSeconds() const { return startSeconds_; }

 private:
  QString dir_, state_, server_, user_, password_;
  QStringList ports_;
  double startSeconds_ = 0;
};

// Unique scratch folders used as XDG_CONFIG_HOME and XDG_DATA_HOME (the
// undo journal's home) for one test program.
// A value for a statement between apostrophes: backslash as \\, apostrophe
// as \', NUL as \0. Nothing else changes.
QString EscapeValue(const QString& text);

void UseFreshSettings();

// Whether MySQL 8 prepares the statement: the driver prepares each statement
// of a text that returns rows, and MySQL refuses to prepare some.
bool PreparableOnMySQL(const QString& statement);
// Why MySQL 8.4 would take the statement otherwise than MariaDB does: an
// introducer of a character set it deprecates (_utf8mb3, _utf8, _ucs2, ...:
// it warns, and a warning is a refusal to the run), or a form only MariaDB
// knows. Empty when there is nothing.
QString NotAsMySqlTakesIt(const QString& statement);

// With NORVALE_PREPARED_CHECK set, a test program runs with the test
// server's general log on and fails at its end on any statement the driver
// prepared that MySQL would refuse, and on any statement MySQL would take
// otherwise (NotAsMySqlTakesIt).
class PreparedCheck : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

 private:
  bool on_ = false;
};

// A server setting changed for one test, put back when the test ends
// however it ends: a failed assertion must not leave it to the tests after.
class GlobalSetting {
 public:
  GlobalSetting(const QString& name, const QString& value);
  ~GlobalSetting();
  GlobalSetting(const GlobalSetting&) = delete;
  GlobalSetting& operator=(const GlobalSetting&) = delete;

 private:
  QString name_, before_;
};
