#include "tests/support/testdb.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>
#include <csignal>
#include <QProcess>
#include <QThread>
#include <QElapsedTimer>
#include <QRegularExpression>

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
          Env("NORVALE_TEST_PORT"), {}};
}

namespace {

// The tests' own statements stay out of the server's general log, which
// holds the program's statements for PreparedCheck.
void Unlogged(ADODB::Connection& connection) {
  try {
    connection.Execute(QStringLiteral("SET SESSION sql_log_off = 1"));
  } catch (const ADODB::Error&) {
    // A login that may not: its statements are logged.
  }
}

}  // namespace

void Sql(const MySQL::ConnectionDetails& details, const QStringList& statements) {
  ADODB::Connection connection;
  connection.CommandTimeout = 3600;
  connection.Open(MySQL::ConnectionString(details));
  Unlogged(connection);
  for (const QString& s : statements) connection.Execute(s);
}

QStringList Column(const MySQL::ConnectionDetails& details, const QString& query) {
  ADODB::Connection connection;
  connection.CursorLocation = ADODB::adUseClient;
  connection.Open(MySQL::ConnectionString(details));
  Unlogged(connection);
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

QString EscapeValue(const QString& text) {
  QString escaped;
  escaped.reserve(text.size() + 8);
  for (const QChar c : text) {
    if (c == u'\\') escaped += QStringLiteral("\\\\");
    else if (c == u'\'') escaped += QStringLiteral("\\'");
    else if (c == QChar(0)) escaped += QStringLiteral("\\0");
    else escaped += c;
  }
  return escaped;
}

void UseFreshSettings() {
  static QTemporaryDir dir;
  qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
  // The undo journal too: tests never touch a real one.
  static QTemporaryDir data;
  qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
  // Nor a real secret store: only tests run inside a keyring session of
  // their own (tests/keyring/with-keyring.sh) reach one.
  if (qEnvironmentVariableIsEmpty("NORVALE_TEST_KEYRING")) {
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    static QTemporaryDir runtime;  // holds no session bus socket
    if (QFileInfo::exists(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/bus"))
      qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  }
}

PrivateServer::PrivateServer(Tls tls, QString serverOptions) : tls_(tls), serverOptions_(std::move(serverOptions)) {
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
  if (!serverOptions_.isEmpty()) env.insert("NORVALE_TEST_DB_SERVER_OPTIONS", serverOptions_);
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
  const pid_t pid = pid_t(pidFile.readAll().trimmed().toLongLong());
  ::kill(pid, signal);
  if (signal != SIGSTOP) return;
  // kill() returns before every thread has stopped: a thread already running
  // may still answer one more packet. Wait until each thread reports 'T'.
  const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
  for (int i = 0; i < 200; ++i) {
    bool all = true;
    for (const QString& t : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
      QFile stat(tasks + "/" + t + "/stat");
      if (!stat.open(QIODevice::ReadOnly)) continue;
      const QByteArray line = stat.readAll();
      const int close = line.lastIndexOf(')');
      if (close < 0 || line.size() < close + 3 || line[close + 2] != 'T') all = false;
    }
    if (all) return;
    QThread::msleep(10);
  }
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

namespace {

// Runs one of our scripts with its state in `state`; its standard output.
QString RunScript(const QString& script, const QString& stateVariable, const QString& state, const QStringList& args,
                  int waitMs) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(stateVariable, state);
  p.setProcessEnvironment(env);
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  p.start(QStringLiteral(NORVALE_SOURCE_DIR "/scripts/") + script, args);
  p.waitForFinished(waitMs);
  return QString::fromLocal8Bit(p.readAllStandardOutput());
}

// The value of `export NAME=value` in a script's output, unquoted.
QString Exported(const QString& out, const QString& name) {
  for (const QString& line : out.split('\n')) {
    if (line.startsWith("export " + name + "=")) {
      QString v = line.section('=', 1);
      if (v.startsWith('"')) v = v.mid(1, v.size() - 2);
      return v;
    }
  }
  return {};
}

QString ScratchFolder(const char* kind) {
  static std::atomic<int> counter{0};
  return QDir::temp().filePath(QStringLiteral("norvale-%1-%2-%3").arg(kind).arg(getpid()).arg(++counter));
}

}  // namespace

PrivateReplicaPair::PrivateReplicaPair(const QString& binlogFormat) {
  dir_ = ScratchFolder("replica");
  state_ = dir_ + QStringLiteral(".state");
  const QString out = RunScript("test-db", "NORVALE_TEST_DB_STATE", state_,
                                {"start", "--replica", "--binlog-format=" + binlogFormat, dir_}, 180000);
  primaryPort_ = Exported(out, "NORVALE_TEST_PORT");
  replicaPort_ = Exported(out, "NORVALE_TEST_REPLICA_PORT");
  if (primaryPort_.isEmpty() || replicaPort_.isEmpty()) throw std::runtime_error("primary and replica did not start");
}

PrivateReplicaPair::~PrivateReplicaPair() {
  RunScript("test-db", "NORVALE_TEST_DB_STATE", state_, {"stop"}, 120000);
  QDir(dir_).removeRecursively();
}

MySQL::ConnectionDetails PrivateReplicaPair::Primary(const QString& database) const {
  auto d = ServerDetails(database);
  d.port = primaryPort_;
  return d;
}

MySQL::ConnectionDetails PrivateReplicaPair::Replica(const QString& database) const {
  auto d = ServerDetails(database);
  d.port = replicaPort_;
  return d;
}

bool PrivateReplicaPair::CatchUp() const {
  const QString position = Column(Primary(), "SELECT @@GLOBAL.gtid_binlog_pos").value(0);
  // -1: no bound; 0 once reached. A stopped replica never gets there, so
  // first make sure it runs.
  const QStringList running =
      Column(Replica(), "SELECT COUNT(*) FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = "
                        "'SLAVE_RUNNING' AND VARIABLE_VALUE = 'ON'");
  if (running.value(0) != "1") return false;
  return Column(Replica(), QStringLiteral("SELECT MASTER_GTID_WAIT('%1')").arg(position)).value(0) == "0";
}

QString PrivateReplicaPair::PrimaryLog() const {
  QFile log(dir_ + "/error.log");
  if (!log.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(log.readAll());
}

PrivateCluster::PrivateCluster() {
  dir_ = ScratchFolder("cluster");
  state_ = dir_ + QStringLiteral(".state");
  QElapsedTimer started;
  started.start();
  const QString out = RunScript("test-cluster", "NORVALE_CLUSTER_STATE", state_, {"start", dir_}, 600000);
  startSeconds_ = double(started.elapsed()) / 1000.0;
  server_ = Exported(out, "NORVALE_CLUSTER_SERVER");
  ports_ = Exported(out, "NORVALE_CLUSTER_PORTS").split(' ', Qt::SkipEmptyParts);
  user_ = Exported(out, "NORVALE_CLUSTER_USER");
  password_ = Exported(out, "NORVALE_CLUSTER_PASSWORD");
  if (ports_.size() != 3) throw std::runtime_error("the test cluster did not start");
}

PrivateCluster::~PrivateCluster() {
  RunScript("test-cluster", "NORVALE_CLUSTER_STATE", state_, {"stop"}, 180000);
  QDir(dir_).removeRecursively();
}

MySQL::ConnectionDetails PrivateCluster::Details(int node, const QString& database) const {
  return {server_, user_, password_, database, ports_.value(node - 1), {}};
}

void PrivateCluster::Kill(int node) {
  QFile pidFile(QStringLiteral("%1/node%2/mysqld.pid").arg(dir_).arg(node));
  if (!pidFile.open(QIODevice::ReadOnly)) throw std::runtime_error("no pid file");
  const qint64 pid = pidFile.readAll().trimmed().toLongLong();
  ::kill(pid_t(pid), SIGKILL);
  for (int i = 0; i < 100 && ::kill(pid_t(pid), 0) == 0; ++i) QThread::msleep(50);
}

void PrivateCluster::SyncWait(int node) const {
  Sql(Details(node), {"SET SESSION wsrep_sync_wait = 15", "SELECT 1 FROM mysql.user LIMIT 1"});
}

bool PreparableOnMySQL(const QString& statement) {
  // The statements MySQL 8.0 and 8.4 prepare, as their server decides it;
  // SHOW WARNINGS and ERRORS, START TRANSACTION, BEGIN, SAVEPOINT, RELEASE
  // and LOCK TABLES, among others, are refused with error 1295.
  static const QStringList kPreparable = {
      "SELECT ", "(", "WITH ", "INSERT ", "UPDATE ", "DELETE ", "REPLACE ", "SET ", "DO ", "CALL ", "COMMIT",
      "ROLLBACK", "CREATE TABLE ", "CREATE TEMPORARY TABLE ", "CREATE INDEX ", "CREATE VIEW ", "DROP TABLE ",
      "DROP TEMPORARY TABLE ", "DROP INDEX ", "ALTER TABLE ", "RENAME TABLE ", "TRUNCATE ", "SHOW TABLES",
      "SHOW FULL TABLES", "SHOW INDEX ", "SHOW KEYS ", "SHOW COLUMNS ", "SHOW FULL COLUMNS ", "SHOW FIELDS ",
      "SHOW DATABASES", "SHOW VARIABLES", "SHOW STATUS", "SHOW CREATE ", "SHOW GRANTS", "SHOW CHARACTER SET",
      "SHOW COLLATION", "SHOW PROCESSLIST", "SHOW ENGINES", "SHOW OPEN TABLES"};
  const QString text = statement.simplified().toUpper();
  for (const QString& start : kPreparable)
    if (text.startsWith(start) || text + u' ' == start) return true;
  return false;
}

QString NotAsMySqlTakesIt(const QString& statement) {
  // Introducers: an underscore that starts a word, a character set name,
  // then a quoted or hex literal.
  static const QRegularExpression introducer(QStringLiteral("(?<![\\w@`$])_([a-z0-9]+)\\s*(?=[xX]?'|0x)"),
                                             QRegularExpression::CaseInsensitiveOption);
  // MySQL 8.4 warns of these names wherever they appear, and a warning is a
  // refusal to the run. Other sets' introducers (_latin1, _sjis, _ascii) it
  // takes as MariaDB does; a key of such a column needs them, for its index.
  // Only where the run reads warnings: in what changes rows.
  static const QRegularExpression changes(QStringLiteral("\\b(UPDATE|INSERT|DELETE|REPLACE)\\b"),
                                          QRegularExpression::CaseInsensitiveOption);
  static const QStringList kDeprecated = {"utf8", "utf8mb3", "ucs2", "macroman", "macce", "dec8", "hp8"};
  for (auto m = introducer.globalMatch(statement); changes.match(statement).hasMatch() && m.hasNext();) {
    const QString name = m.next().captured(1).toLower();
    if (kDeprecated.contains(name)) return QStringLiteral("the introducer _%1").arg(name);
  }
  // Forms only MariaDB takes, as the program might come to write them.
  static const char* const kMariaDbOnly[] = {"SET STATEMENT ", " RETURNING ", "@@max_statement_time",
                                             "SHOW ERRORS", "SHOW EXPLAIN", "CREATE OR REPLACE ", " seq_",
                                             "ROWS EXAMINED", "KILL QUERY ID", "USING utf8mb3", "USING utf8)"};
  const QString text = statement.simplified();
  for (const char* form : kMariaDbOnly)
    if (text.contains(QLatin1String(form), Qt::CaseInsensitive)) return QStringLiteral("the MariaDB form %1").arg(form);
  return {};
}

void PreparedCheck::SetUp() {
  on_ = ServerAvailable();
  if (!on_) return;
  Sql(ServerDetails(), {"SET GLOBAL general_log = 0", "SET GLOBAL log_output = 'TABLE'", "TRUNCATE mysql.general_log",
                        "SET GLOBAL general_log = 1"});
}

void PreparedCheck::TearDown() {
  if (!on_) return;
  Sql(ServerDetails(), {"SET GLOBAL general_log = 0"});
  const QStringList prepared =
      Column(ServerDetails(), "SELECT DISTINCT LEFT(CONVERT(argument USING utf8mb4), 80) FROM mysql.general_log "
                              "WHERE command_type = 'Prepare'");
  for (const QString& statement : prepared)
    if (!PreparableOnMySQL(statement))
      ADD_FAILURE() << "The driver prepared a statement MySQL refuses to prepare: " << statement.toStdString();
  const QStringList sent =
      Column(ServerDetails(), "SELECT DISTINCT CONVERT(argument USING utf8mb4) FROM mysql.general_log "
                              "WHERE command_type IN ('Query', 'Prepare')");
  for (const QString& statement : sent)
    if (const QString why = NotAsMySqlTakesIt(statement); !why.isEmpty())
      ADD_FAILURE() << "MySQL 8.4 would not take this as sent (" << why.toStdString()
                    << "): " << statement.left(200).toStdString();
  Sql(ServerDetails(), {"TRUNCATE mysql.general_log"});
}

GlobalSetting::GlobalSetting(const QString& name, const QString& value) : name_(name) {
  before_ = Column(ServerDetails(), "SELECT @@GLOBAL." + name).value(0);
  Sql(ServerDetails(), {"SET GLOBAL " + name + " = " + value});
}

GlobalSetting::~GlobalSetting() {
  try {
    bool isNumber = false;
    before_.toDouble(&isNumber);
    Sql(ServerDetails(), {"SET GLOBAL " + name_ + " = " + (isNumber ? before_ : "'" + before_ + "'")});
  } catch (const std::exception&) {
  }
}
