// The test server started by scripts/test-db, and a database of each test's
// own that is dropped when the test ends.
#pragma once

#include <QString>
#include <QStringList>
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
  explicit PrivateServer(Tls tls = Tls::None);
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  MySQL::ConnectionDetails Details(const QString& database = {}) const;
  void Start();  // again on the same port and data after a kill
  void Kill();   // SIGKILL, as a crash would
  void Signal(int signal);  // SIGSTOP freezes it, SIGCONT thaws it
  void Stop();

 private:
  Tls tls_;
  QString dir_, state_, port_;
  bool running_ = false;
};

// Unique scratch folders used as XDG_CONFIG_HOME and XDG_DATA_HOME (the
// undo journal's home) for one test program.
void UseFreshSettings();
