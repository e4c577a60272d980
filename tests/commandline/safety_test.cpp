// What a login, a server setting or an option file must never make of the
// command line: a second statement out of a condition, a password others
// can read, a replica check that passes without looking, or another
// password than the mysql client reads.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <csignal>

#include "commandline/options.h"
#include "database/rewrite.h"
#include "tests/commandline/fixture.h"

namespace {

// The server's own sql_mode for the sessions that begin while it stands.
class GlobalSqlMode {
 public:
  GlobalSqlMode(const MySQL::ConnectionDetails& d, const QString& mode) : d_(d) {
    before_ = Column(d_, "SELECT @@GLOBAL.sql_mode").value(0);
    Sql(d_, {QStringLiteral("SET GLOBAL sql_mode = '%1'").arg(mode)});
  }
  ~GlobalSqlMode() { Sql(d_, {QStringLiteral("SET GLOBAL sql_mode = '%1'").arg(before_)}); }

 private:
  MySQL::ConnectionDetails d_;
  QString before_;
};

TEST_F(CommandLineTest, AConditionRunsNoStatementOfItsOwnUnderAnySqlMode) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))", "CREATE TABLE k (v VARCHAR(40))",
             "CREATE TABLE victim (id INT)", "CREATE TABLE w1 (id INT)",
             "INSERT INTO t VALUES (1, 'anna'), (2, 'bob'), (3, 'cleo\\\\x')", "INSERT INTO k VALUES ('anna'), ('bob')"});
  const QStringList before = Hex("t", "v");
  // Each reads as one expression by default, and closes its quote early
  // where the server reads quotes or backslashes otherwise.
  const QString text = R"x(v = '\') OR 1=1; DROP TABLE victim; SELECT (')x";
  const QString name = R"x(EXISTS (SELECT 1 FROM w1 AS "\")) OR 1=1; DROP TABLE victim; SELECT ((")x";
  const QString either = R"x(v = "\"); DROP TABLE victim; SELECT (")x";
  // A line comment the server sees where a blank-less reading would not
  // (-- before a DEL) would run past the statement, over a line break in
  // a text, into the next one.
  const QString crossing = QStringLiteral("v <> 'x\n OR 1;DROP TABLE IF EXISTS victim;DO (' --\x7f'\n) --\x7f'");
  const std::vector<std::pair<const char*, QStringList>> modes{
      {"", {crossing}},
      {"NO_BACKSLASH_ESCAPES", {text, either, crossing}},
      {"ANSI_QUOTES", {name, either}},
      {"ANSI_QUOTES,NO_BACKSLASH_ESCAPES", {text, name, either}},
      {"ANSI", {name, either}},
  };
  for (const auto& [mode, hostile] : modes) {
    GlobalSqlMode global(db_->Details(), mode);
    for (const QString& table : {QStringLiteral("t"), QStringLiteral("k")}) {
      for (const QString& where : hostile) {
        for (const QString& how : {QStringLiteral("--dry-run"), QStringLiteral("--yes")}) {
          const Result r = Norvale(QStringList{"convert"} + Connection() +
                                   QStringList{"--table", table, "--field", "v", "--mode", "upper", "--where", where, how});
          EXPECT_EQ(r.status, 64) << mode << " " << how.toStdString() << " " << where.toStdString() << "\n"
                                  << r.err.toStdString();
          ASSERT_EQ(db_->Values("SHOW TABLES LIKE 'victim'"), QStringList{"victim"})
              << mode << " " << how.toStdString() << " " << where.toStdString();
        }
      }
    }
    EXPECT_EQ(Hex("t", "v"), before) << mode;
    // A condition that reads alike under every mode still runs, with the
    // server's own mode in place.
    const Result r = Norvale(QStringList{"convert"} + Connection() +
                             QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--where",
                                         "v IN ('anna', 'cleo\\x') AND `id` > 0", "--yes", "--json"});
    EXPECT_EQ(r.status, 0) << mode << r.err.toStdString();
    EXPECT_EQ(db_->Values("SELECT v FROM t ORDER BY id"), (QStringList{"ANNA", "bob", "cleo\\x"})) << mode;
    db_->Exec("UPDATE t SET v = LOWER(v)");
  }
  // A name in double quotes means a name to an ANSI_QUOTES server and a text
  // to the run: refused, saying how to write it.
  GlobalSqlMode ansi(db_->Details(), "ANSI_QUOTES");
  const Result r = Norvale(QStringList{"convert"} + Connection() +
                           QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--where", "\"v\" = 'bob'", "--yes"});
  EXPECT_EQ(r.status, 64);
  EXPECT_TRUE(r.err.contains("write names in `…`")) << r.err.toStdString();
}

TEST(ConditionReading, QuotesAndBackslashesAsEachModeReadsThem) {
  const Rewrite::Quoting plain, ansi{true, false}, raw{false, true};
  // One expression by default, several where a backslash escapes nothing.
  const QString closesEarly = R"(v = '\') OR 1=1; DROP TABLE x; SELECT (')";
  EXPECT_FALSE(Rewrite::ConditionFault(closesEarly, plain).has_value());
  EXPECT_TRUE(Rewrite::ConditionFault(closesEarly, raw).has_value());
  EXPECT_TRUE(Rewrite::ConditionFault(closesEarly, plain, raw).has_value());
  // In a name, a backslash never escapes.
  EXPECT_TRUE(Rewrite::ConditionFault(R"(x AS "\") OR 1; DROP TABLE x; SELECT ("")", ansi).has_value());
  EXPECT_FALSE(Rewrite::ConditionFault(R"(`a\` = 1)", plain).has_value());
  // Read alike both ways: no quotes that change their meaning.
  EXPECT_FALSE(Rewrite::ConditionFault("`n` = 'it''s' AND id > 2", plain, ansi).has_value());
  EXPECT_TRUE(Rewrite::ConditionFault(R"(n = "x")", plain, ansi).has_value());
  EXPECT_TRUE(Rewrite::ConditionFault(R"(n = 'a\'b')", plain, raw).has_value());
  EXPECT_FALSE(Rewrite::ConditionFault(R"(n = 'a\\b')", plain, plain).has_value());
  EXPECT_EQ(Rewrite::QuotingOf("REAL_AS_FLOAT,ANSI_QUOTES,no_backslash_escapes").ansiQuotes, true);
  EXPECT_EQ(Rewrite::QuotingOf("REAL_AS_FLOAT,ANSI_QUOTES,no_backslash_escapes").noBackslashEscapes, true);
  EXPECT_EQ(Rewrite::QuotingOf("STRICT_TRANS_TABLES").ansiQuotes, false);
  // Control characters, quoted or not, and text that is not text.
  for (const QString& odd : {QStringLiteral("1 --\x7f"), QStringLiteral("v = 'a\x7f'"), QStringLiteral("v = 'a\x01'"),
                             QString("v = 'a") + QChar(0) + "'", QStringLiteral("v = '") + QChar(0xD800) + "'"})
    EXPECT_TRUE(Rewrite::ConditionFault(odd, plain).has_value()) << odd.toStdString();
  EXPECT_FALSE(Rewrite::ConditionFault("v = 'a'\n\tAND id > 2\r\n", plain).has_value());
  EXPECT_EQ(Rewrite::Bracketed("1 = 1"), "(1 = 1\n)");
}

TEST_F(CommandLineTest, ThePasswordLeavesTheProcesssArgumentsAtOnce) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))", "INSERT INTO t VALUES (1, 'anna'), (2, 'bob')"});
  const MySQL::ConnectionDetails d = db_->Details();
  const QString pause = home_.path() + "/pause";
  QFile(pause).open(QIODevice::WriteOnly);
  for (const QString& given : {"-p" + d.password, "--password=" + d.password}) {
    const QStringList args{"convert", "-h", d.server, "-P", d.port, "-u", d.user, given, "-D", d.database,
                           "--table", "t", "--field", "v", "--mode", "upper", "--yes", "--pause-file", pause};
    QProcess run;
    Start(run, args);
    // Logged in and waiting: the password was read long before.
    QByteArray err = ErrUntil(run, "waiting: the pause file");
    ASSERT_TRUE(err.contains("waiting: the pause file")) << err.toStdString();
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(run.processId()));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    const QByteArray shown = cmdline.readAll();
    EXPECT_FALSE(shown.contains(d.password.toUtf8())) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QByteArray("-u\0", 3) + d.user.toUtf8())) << "the other arguments stay";
    SignalChild(run, SIGINT);
    ASSERT_TRUE(run.waitForFinished(60000));
    EXPECT_EQ(run.exitCode(), 130);
  }
  QFile::remove(pause);
}

}  // namespace

namespace {

// A text as a literal under the server's default reading.
QString Literal(const QString& text) {
  return "'" + QString(text).replace("\\", "\\\\").replace("'", "\\'") + "'";
}

// The logins of a test, dropped when it ends.
class Logins {
 public:
  explicit Logins(const TestDatabase& db) : db_(db) {}
  ~Logins() {
    for (const QString& user : users_) db_.Exec(QStringLiteral("DROP USER IF EXISTS '%1'@'%'").arg(user));
  }
  void Add(const QString& user, const QString& password, const QString& grant) {
    users_ << user;
    db_.Exec({QStringLiteral("DROP USER IF EXISTS '%1'@'%'").arg(user),
              QStringLiteral("CREATE USER '%1'@'%' IDENTIFIED BY %2").arg(user, Literal(password)),
              QStringLiteral("GRANT %1 ON `%2`.* TO '%3'@'%'").arg(grant, db_.Name(), user)});
  }

 private:
  const TestDatabase& db_;
  QStringList users_;
};

}  // namespace

TEST_F(CommandLineTest, AnOptionFileLogsInExactlyWhereTheMariadbClientDoes) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))", "INSERT INTO t VALUES (1, 'anna')"});
  const MySQL::ConnectionDetails d = db_->Details();
  // The password line as it stands in the file, and the password the
  // client logs in with.
  struct Case {
    const char* line;
    QString password;
  };
  const std::vector<Case> cases{
      {R"(password=ab\\cd)", "ab\\cd"},
      {R"(password=a\tb)", "a\tb"},
      {R"(password="ab\cd")", "ab\\cd"},
      {R"(password=a#b)", "a"},
      {R"(password="a#b")", "a#b"},
      {R"(password = "quoted" # and a comment)", "quoted"},
      {R"(password=a'#b)", "a'#b"},
      {R"(password=pa;ss)", "pa;ss"},
      {"password=   spaced value   ", "spaced value"},
      {R"(password="  padded  ")", "  padded  "},
      {R"(password='it''s')", "it''s"},
      {R"(password='a"b')", "a\"b"},
      {R"(password="a\"b")", "a\"b"},
      {R"(password=a\sb\nc\rd\be)", "a b\nc\rd\be"},
      {R"(password=x\qy)", "x\\qy"},
      {R"(password=trailing\)", "trailing\\"},
      {R"(password="open)", "\"open"},
      {"  loose-password=loose", "loose"},
  };
  Logins logins(*db_);
  for (size_t i = 0; i < cases.size(); ++i) {
    const QString user = QStringLiteral("nv_opt%1").arg(i);
    logins.Add(user, cases[i].password, "SELECT");
    // The file as a user would keep it: comments, a group name with blanks,
    // the host and port in an included file.
    const QString dir = home_.path() + QStringLiteral("/case%1").arg(i);
    QDir().mkpath(dir + "/conf.d");
    QFile part(dir + "/conf.d/server.cnf");
    ASSERT_TRUE(part.open(QIODevice::WriteOnly));
    part.write(QStringLiteral("[client]\nhost = %1\nport=%2\n").arg(d.server, d.port).toUtf8());
    part.close();
    QFile file(dir + "/my.cnf");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("# the tool's own\n; and another comment\n[client  ]\nuser=%1\n%2\n!includedir  %3/conf.d  \n")
                   .arg(user, QString::fromUtf8(cases[i].line), dir)
                   .toUtf8());
    file.close();
    QProcess client;
    client.setProcessEnvironment(Environment());
    client.start("mariadb", {"--defaults-file=" + file.fileName(), "-D", d.database, "-N", "-e", "SELECT CURRENT_USER()"});
    ASSERT_TRUE(client.waitForFinished(60000));
    EXPECT_EQ(client.exitCode(), 0) << cases[i].line << ": the client did not log in: "
                                    << client.readAllStandardError().toStdString();
    const Result r = Norvale({"convert", "--defaults-file=" + file.fileName(), "-D", d.database, "--table", "t",
                              "--field", "v", "--mode", "upper", "--dry-run"});
    // (Blanks at either end the ODBC driver would cut: refused, saying so.)
    const bool blanks = cases[i].password.front().isSpace() || cases[i].password.back().isSpace();
    EXPECT_EQ(r.status, blanks ? 2 : 0) << cases[i].line << ": " << r.err.toStdString();
    QString error;
    EXPECT_EQ(CommandLine::ReadOptionFiles({file.fileName()}, &error).value("password"), cases[i].password)
        << cases[i].line;
  }
}

TEST_F(CommandLineTest, AReplicaWatchThatCannotLookOrAReplicaThatDoesNotApplyHoldsTheRunBack) {
  PrivateReplicaPair servers("ROW");
  TestDatabase db(servers.Primary());
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
           "INSERT INTO t SELECT seq, CONCAT('jürgen ', seq) FROM seq_1_to_20000"});
  ASSERT_TRUE(servers.CatchUp());
  const MySQL::ConnectionDetails d = db.Details();
  const MySQL::ConnectionDetails replica = servers.Replica(d.database);
  const auto converted = [&] { return db.Values("SELECT COUNT(*) FROM t WHERE v LIKE BINARY 'JÜRGEN%'").value(0).toInt(); };
  const QStringList field{"-D", d.database, "--table", "t", "--field", "v", "--mode", "upper", "--yes", "--json"};
  Sql(replica, {"STOP SLAVE SQL_THREAD"});
  {
    // A login without PROCESS cannot see the replicas: nothing goes, and it
    // says what to do.
    Logins logins(db);
    logins.Add("nv_plain", "plain-pw", "SELECT, UPDATE");
    const Result r = Norvale(QStringList{"convert", "-h", d.server, "-P", d.port, "-u", "nv_plain", "-pplain-pw"} + field);
    EXPECT_EQ(r.status, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("PROCESS") && r.err.contains("--replica") && r.err.contains("--max-lag 0"))
        << r.err.toStdString();
    EXPECT_EQ(Json(r).value("runs").toArray().size() <= 1, true);
    EXPECT_EQ(converted(), 0);
  }
  // With PROCESS, a replica stopped before the run holds it back from the
  // first group, and it goes on once the replica applies again.
  QProcess run;
  Start(run, QStringList{"convert", "-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password} + field);
  QByteArray err = ErrUntil(run, "is not applying");
  EXPECT_TRUE(err.contains("its SQL thread stopped")) << err.toStdString();
  EXPECT_EQ(converted(), 0);
  Sql(replica, {"START SLAVE SQL_THREAD"});
  ASSERT_TRUE(run.waitForFinished(300000));
  EXPECT_EQ(run.exitCode(), 0) << (err + run.readAllStandardError()).toStdString();
  EXPECT_EQ(converted(), 20000);
  const QJsonObject one = QJsonDocument::fromJson(run.readAllStandardOutput()).object().value("runs").toArray()[0].toObject();
  EXPECT_TRUE(one.value("waited_for").toArray().contains("replica lag"));
}

TEST_F(CommandLineTest, ALoginHeldToOneConnectionConvertsAndUndoesExactly) {
  // Enough rows for many chunks, each read between the groups where the
  // login has no second session to read them through.
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, CONCAT('jürgen groß ', seq) FROM seq_1_to_30000"});
  Logins logins(*db_);
  logins.Add("nv_single", "single-pw", "ALL");
  db_->Exec("ALTER USER 'nv_single'@'%' WITH MAX_USER_CONNECTIONS 1");
  const MySQL::ConnectionDetails d = db_->Details();
  const QStringList login{"-h", d.server, "-P", d.port, "-u", "nv_single", "-psingle-pw", "-D", d.database};
  const Result r = Norvale(QStringList{"convert"} + login +
                           QStringList{"--table", "t", "--field", "v", "--mode", "proper", "--yes", "--json"});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(OneRun(r).value("changed").toInt(), 30000) << r.err.toStdString();
  const QString exact = "SELECT COUNT(*) FROM t WHERE CAST(v AS BINARY) = CAST(CONCAT('%1 ', id) AS BINARY)";
  EXPECT_EQ(db_->Values(exact.arg("Jürgen Groß")), QStringList{"30000"});
  const Result undo = Norvale(QStringList{"undo"} + login + QStringList{"--table", "t", "--field", "v", "--yes"});
  EXPECT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_EQ(db_->Values(exact.arg("jürgen groß")), QStringList{"30000"});
}
