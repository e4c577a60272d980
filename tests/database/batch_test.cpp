// The batch sender against the real server: refused statements amid a
// batch, warnings, conflicts with another writer, and failures that end a
// run, on tables with and without transactions.
#include <QCryptographicHash>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

#include "database/batch.h"
#include "database/rewrite.h"
#include "tests/support/testdb.h"

namespace {

struct Report {
  int tag;
  QString text;
};

std::unique_ptr<ADODB::Connection> RunConnection(const MySQL::ConnectionDetails& d, int commandTimeout = 5000) {
  auto c = std::make_unique<ADODB::Connection>();
  c->CommandTimeout = commandTimeout;
  c->CursorLocation = ADODB::adUseClient;
  c->MultipleStatements = true;
  c->Open(MySQL::ConnectionString(d));
  c->Execute("SET SESSION sql_mode = 'STRICT_ALL_TABLES'");
  return c;
}

QString Upper(int id, const QString& from, const QString& to) {
  return QStringLiteral("UPDATE t SET v = REPLACE(v,'%2','%3') WHERE v = '%2' AND id = %1;").arg(id).arg(from, to);
}

class BatchEngines : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST(BatchClassify, ByErrorNumberAndState) {
  using Batch::ErrorKind;
  const auto kind = [](int native, const char* state) {
    return Batch::Classify(ADODB::Error("any text", state, native));
  };
  EXPECT_EQ(kind(1213, "40001"), ErrorKind::Conflict);
  EXPECT_EQ(kind(1205, "HY000"), ErrorKind::Conflict);
  EXPECT_EQ(kind(0, "40001"), ErrorKind::Conflict);
  EXPECT_EQ(kind(3101, "HY000"), ErrorKind::Conflict);  // MySQL group replication certification
  EXPECT_EQ(kind(1142, "42000"), ErrorKind::Fatal);  // UPDATE denied
  EXPECT_EQ(kind(1146, "42S02"), ErrorKind::Fatal);  // table gone
  EXPECT_EQ(kind(1054, "42S22"), ErrorKind::Fatal);  // column gone
  EXPECT_EQ(kind(1290, "HY000"), ErrorKind::Fatal);  // --read-only
  EXPECT_EQ(kind(2013, "08S01"), ErrorKind::Fatal);  // lost mid-query
  EXPECT_EQ(kind(2006, "HY000"), ErrorKind::Fatal);  // gone away
  EXPECT_EQ(kind(1047, "08S01"), ErrorKind::Fatal);  // cluster node not ready
  EXPECT_EQ(kind(1927, "70100"), ErrorKind::Fatal);  // connection killed
  EXPECT_EQ(kind(4031, "HY000"), ErrorKind::Fatal);  // MySQL: disconnected for inactivity
  EXPECT_EQ(kind(1969, "70100"), ErrorKind::Fatal);  // max_statement_time: the same statement runs out again
  EXPECT_EQ(kind(3024, "HY000"), ErrorKind::Fatal);  // max_execution_time
  EXPECT_EQ(kind(0, ""), ErrorKind::Fatal);          // a closed connection
  EXPECT_EQ(kind(1265, "01000"), ErrorKind::Refused);  // data truncated
  EXPECT_EQ(kind(1366, "22007"), ErrorKind::Refused);  // no such character in the column's set
  EXPECT_EQ(kind(1062, "23000"), ErrorKind::Refused);  // duplicate key
  // The message never decides.
  EXPECT_EQ(Batch::Classify(ADODB::Error("Deadlock found", "HY000", 1366)), ErrorKind::Refused);
}

// The general-log check knows what MySQL refuses to prepare.
TEST(BatchClassify, WhatMySQLPrepares) {
  for (const char* refused : {"SHOW ERRORS", "SHOW WARNINGS", "START TRANSACTION", "BEGIN", "SAVEPOINT nv_open",
                              "RELEASE SAVEPOINT nv_open", "LOCK TABLES t WRITE", "GET DIAGNOSTICS @n = NUMBER"})
    EXPECT_FALSE(PreparableOnMySQL(refused)) << refused;
  for (const char* prepared : {"SELECT @nv_done", "  select 1", "SHOW INDEX FROM `t`", "SHOW TABLES", "COMMIT",
                               "UPDATE t SET v = X'41'", "INSERT INTO nv_keys VALUES (1)", "SET @a = 1"})
    EXPECT_TRUE(PreparableOnMySQL(prepared)) << prepared;
  // And what MySQL 8.4 takes otherwise than MariaDB.
  for (const char* other : {"UPDATE t SET v = 1 WHERE `k` = _utf8mb3 X'41'", "UPDATE t SET v = _utf8'a'",
                            "UPDATE t SET v = _ucs2 X'0041' WHERE 1", "SET STATEMENT max_statement_time=1 FOR SELECT 1",
                            "DELETE FROM t RETURNING id", "SELECT CONVERT(v USING utf8mb3) FROM t"})
    EXPECT_FALSE(NotAsMySqlTakesIt(other).isEmpty()) << other;
  for (const char* same : {"UPDATE t SET v = X'41' WHERE `id` = 1 AND CAST(v AS BINARY) = X'61'",
                           "SELECT nv_keys.nv_old_bytes, _utf8mb4 X'41', _binary'a', _sjis X'5C', @@max_allowed_packet FROM t",
                           "INSERT INTO nv_keys (`a_b`,nv_old_bytes) VALUES (_utf8mb4'x',X'00')"})
    EXPECT_TRUE(NotAsMySqlTakesIt(same).isEmpty()) << same << ": " << NotAsMySqlTakesIt(same).toStdString();
}

TEST(BatchClassify, SeveralConditionsOfOneFailure) {
  using Batch::ErrorKind;
  const auto judge = [](std::vector<int> codes, int* chosen = nullptr) {
    ADODB::Error e("driver's text", "HY000", 0);
    const ErrorKind kind = Batch::Judge(e, codes);
    if (chosen) *chosen = e.nativeError;
    return kind;
  };
  int chosen = 0;
  // A cluster taking the transaction back: interrupted, then deadlock.
  EXPECT_EQ(judge({1317, 1213}, &chosen), ErrorKind::Conflict);
  EXPECT_EQ(chosen, 1213);
  EXPECT_EQ(judge({1317}), ErrorKind::Refused);
  EXPECT_EQ(judge({1406, 1047}, &chosen), ErrorKind::Fatal);  // not ready comes before too long
  EXPECT_EQ(chosen, 1047);
  EXPECT_EQ(judge({1406, 1265}, &chosen), ErrorKind::Refused);
  EXPECT_EQ(chosen, 1406);
  EXPECT_EQ(judge({}), ErrorKind::Refused);  // nothing learnt: the driver's own state decides
}

TEST_P(BatchEngines, RefusedStatementsAmidABatchLeaveTheRestConverted) {
  TestDatabase db;
  const QString wide = QString(127, QChar(0x0250)), upper = QString(127, QChar(0x2C6F));
  db.Exec({QStringLiteral("CREATE TABLE t (id INT PRIMARY KEY, v TINYTEXT CHARACTER SET utf8mb4) ENGINE=%1").arg(GetParam()),
           "INSERT INTO t VALUES (1, 'a'), (2, '" + wide + "'), (3, 'c'), (4, 'd'), (5, 'e')"});
  auto c = RunConnection(db.Details());
  std::vector<Report> reports;
  Batch::Sender sender(*c, [&](int tag, const QString& text) { reports.push_back({tag, text}); },
                       {.statements = 3, .farStatements = 3});
  sender.Add(Upper(1, "a", "A"), 1);
  sender.Add(Upper(2, wide, upper), 2);  // 381 bytes in a 255-byte column
  sender.Add(Upper(3, "c", "C"), 3);     // the batch of three goes here
  sender.Add(Upper(4, "d", "D"), 4);
  sender.Add(Upper(99, "zz", "ZZ"), 5);  // no row: not a failure
  sender.Add(Upper(5, "e", "E"), 6);
  sender.Flush();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].tag, 2);
  EXPECT_TRUE(reports[0].text.contains("Data too long")) << reports[0].text.toStdString();
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"A", wide, "C", "D", "E"}));
  EXPECT_EQ(sender.Batches(), 2);
  EXPECT_EQ(sender.Retries(), 0);

  // A commit whose answer is lost ends the run, and the statement the server
  // refused before it is still reported.
  struct LoseTheCommit : Batch::Hook {
    MySQL::ConnectionDetails admin;
    QString session;
    bool ReadsBefore() const override { return false; }
    void Before(ADODB::Connection&, const std::vector<Batch::Note>&) override {}
    void BeforeCommit(ADODB::Connection&) override { Sql(admin, {"KILL " + session}); }
    void Committed() override {}
  } lose;
  lose.admin = db.Details();
  lose.session = c->Execute("SELECT CONNECTION_ID()")->Value(0).toString();
  reports.clear();
  sender.SetHook(&lose);
  sender.Add(Upper(1, "A", "a"), 7);
  sender.Add(Upper(2, wide, upper), 8);
  EXPECT_THROW(sender.Flush(), Batch::FatalError);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].tag, 8);
}

TEST_P(BatchEngines, WarningsAreFailuresOfTheirStatements) {
  // Even a strict session stores a date for a date-and-time text and only
  // notes the cut: such a statement must not count as done. Two of them and
  // a refused statement in one batch are each reported, in order, and the
  // rest converted.
  TestDatabase db;
  db.Exec({QStringLiteral("CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20), d DATE) ENGINE=%1").arg(GetParam()),
           "INSERT INTO t VALUES (1, 'a', '2020-01-01'), (2, 'b', '2020-01-01'), (3, 'c', '2020-01-01'), "
           "(4, 'd', '2020-01-01'), (5, 'e', '2020-01-01')"});
  auto c = RunConnection(db.Details());
  std::vector<Report> reports;
  Batch::Sender sender(*c, [&](int tag, const QString& text) { reports.push_back({tag, text}); });
  sender.Add(Upper(1, "a", "A"), 1);
  sender.Add("UPDATE t SET v = 'B', d = '2021-02-03 04:05:06' WHERE id = 2;", 2);
  sender.Add("UPDATE t SET v = 'a text much too long for the column' WHERE id = 3;", 3);
  sender.Add("UPDATE t SET v = 'D', d = '2021-02-03 04:05:06' WHERE id = 4;", 4);
  sender.Add(Upper(5, "e", "E"), 5);
  sender.Flush();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].tag, 2);
  EXPECT_TRUE(reports[0].text.contains("truncated")) << reports[0].text.toStdString();
  EXPECT_EQ(reports[1].tag, 3);
  EXPECT_TRUE(reports[1].text.contains("Data too long")) << reports[1].text.toStdString();
  EXPECT_EQ(reports[2].tag, 4);
  EXPECT_TRUE(reports[2].text.contains("truncated")) << reports[2].text.toStdString();
  const QStringList rows = db.Values("SELECT CONCAT(v, ' ', d) FROM t ORDER BY id");
  EXPECT_EQ(rows[0], "A 2020-01-01");
  EXPECT_EQ(rows[2], "c 2020-01-01");
  EXPECT_EQ(rows[4], "E 2020-01-01");
  // Taken back where the table keeps transactions; reported either way.
  if (QString(GetParam()) == "InnoDB") {
    EXPECT_EQ(rows[1], "b 2020-01-01");
    EXPECT_EQ(rows[3], "d 2020-01-01");
  }
}

TEST_P(BatchEngines, ValuesOfMegabytesGoAheadOfTheirStatementsInPiecesAndStayExact) {
  // Values of many pieces, in four scripts, wait on the server in session
  // variables while their batch runs: beside them one statement is refused
  // and one taken out for its warning, the batch going again without it.
  // What stands is exactly the bytes sent, and the session keeps none of
  // the values afterwards.
  TestDatabase db;
  db.Exec({QStringLiteral("CREATE TABLE t (id INT PRIMARY KEY, v LONGTEXT CHARACTER SET utf8mb4, w TEXT, d DATE) "
                          "ENGINE=%1").arg(GetParam()),
           "INSERT INTO t VALUES (1, 'a', '', '2020-01-01'), (2, 'b', '', '2020-01-01'), (3, 'c', '', '2020-01-01')"});
  auto c = RunConnection(db.Details());
  std::vector<Report> reports;
  Batch::Sender sender(*c, [&](int tag, const QString& text) { reports.push_back({tag, text}); },
                       {.bytes = 16 * 1024 * 1024});
  const QString text = QStringLiteral("Ωμέγα straße ИВАН 日本語 🎉 ").repeated(40000);
  const QByteArray first = text.toUtf8(), third = text.toUpper().toUtf8();
  const auto add = [&](int id, const QString& column, const QByteArray& bytes, const QString& more = {}) {
    Batch::Ahead ahead = Rewrite::Ahead(id, bytes);
    ASSERT_FALSE(ahead.bytes.isEmpty());
    sender.Add(QStringLiteral("UPDATE t SET %1 = %2%3 WHERE id = %4;").arg(column, ahead.name, more).arg(id), id, {},
               -1, ahead);
  };
  add(1, "v", first);
  add(2, "w", QByteArray(70000, 'x'));  // a TEXT holds 65,535 bytes
  add(3, "v", third, ", d = '2021-02-03 04:05:06'");
  sender.Flush();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].tag, 2);
  EXPECT_TRUE(reports[0].text.contains("Data too long")) << reports[0].text.toStdString();
  EXPECT_EQ(reports[1].tag, 3);
  EXPECT_TRUE(reports[1].text.contains("truncated")) << reports[1].text.toStdString();
  const auto md5 = [](const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
  };
  const QStringList rows = db.Values("SELECT CONCAT(MD5(v), ' ', w) FROM t ORDER BY id");
  EXPECT_EQ(rows[0], md5(first) + " ");
  EXPECT_EQ(rows[1], md5("b") + " ");
  if (QString(GetParam()) == "InnoDB") {
    EXPECT_EQ(rows[2], md5("c") + " ");
  }
  EXPECT_EQ(c->Execute("SELECT COALESCE(@nv_value1, @nv_value2, @nv_value3) IS NULL")->Value(0).toInt(), 1);
}

TEST_P(BatchEngines, DeniedUpdatesEndWithOneFatalFailureAndNoChange) {
  TestDatabase db;
  db.Exec({QStringLiteral("CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20)) ENGINE=%1").arg(GetParam()),
           "INSERT INTO t VALUES (1, 'a'), (2, 'b')", "DROP USER IF EXISTS 'norvale_sel'@'127.0.0.1'",
           "CREATE USER 'norvale_sel'@'127.0.0.1' IDENTIFIED BY 'sel-pw'",
           QStringLiteral("GRANT SELECT ON `%1`.* TO 'norvale_sel'@'127.0.0.1'").arg(db.Name())});
  auto d = db.Details();
  d.user = "norvale_sel";
  d.password = "sel-pw";
  auto c = RunConnection(d);
  int reports = 0;
  Batch::Sender sender(*c, [&](int, const QString&) { ++reports; });
  sender.Add(Upper(1, "a", "A"), 1);
  sender.Add(Upper(2, "b", "B"), 2);
  try {
    sender.Flush();
    ADD_FAILURE() << "denied updates went through";
  } catch (const Batch::FatalError& e) {
    EXPECT_TRUE(QString(e.what()).contains("UPDATE command denied")) << e.what();
  }
  EXPECT_EQ(reports, 0);
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"a", "b"}));
  db.Exec("DROP USER 'norvale_sel'@'127.0.0.1'");
}

INSTANTIATE_TEST_SUITE_P(Engines, BatchEngines, ::testing::Values("InnoDB", "MyISAM"));

TEST(BatchConflicts, ADeadlockRollsTheBatchBackAndItIsSentAgain) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20)) ENGINE=InnoDB",
           "CREATE TABLE heavy (id INT PRIMARY KEY) ENGINE=InnoDB",
           "INSERT INTO t VALUES (1, 'a'), (2, 'b'), (3, 'c')"});
  // The other writer locks row 2, makes its transaction the heavier one, and
  // once our batch holds row 1 and waits for row 2, asks for row 1: the
  // server ends the lighter transaction, ours, with a deadlock.
  ADODB::Connection other;
  other.Open(MySQL::ConnectionString(db.Details()));
  other.Execute("START TRANSACTION");
  other.Execute("SELECT * FROM t WHERE id = 2 FOR UPDATE");
  other.Execute("INSERT INTO heavy SELECT seq FROM seq_1_to_5000");
  std::thread writer([&] {
    // Once our batch's statement on row 2 waits for its lock (bounded, so
    // that a batch that never gets there fails below rather than hanging).
    for (int tries = 0; tries < 3000; ++tries) {
      auto waiting = other.Execute(
          "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID <> CONNECTION_ID() AND DB = DATABASE() "
          "AND INFO LIKE 'UPDATE t SET %id = 2%'");
      if (waiting && !waiting->Eof() && waiting->Value(0).toInt() > 0) break;
      QThread::msleep(10);
    }
    try {
      other.Execute("UPDATE t SET v = 'x' WHERE id = 1");
    } catch (const std::exception&) {
    }
    other.Execute("ROLLBACK");
  });
  auto c = RunConnection(db.Details());
  int reports = 0;
  Batch::Sender sender(*c, [&](int, const QString& text) {
    ++reports;
    ADD_FAILURE() << text.toStdString();
  });
  sender.Add(Upper(1, "a", "A"), 1);
  sender.Add(Upper(2, "b", "B"), 2);
  sender.Add(Upper(3, "c", "C"), 3);
  sender.Flush();
  writer.join();
  EXPECT_EQ(reports, 0);
  EXPECT_GE(sender.Retries(), 1);
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"A", "B", "C"}));
}

// A server that stops answering in the middle of a batch: the command
// timeout ends the wait and the run's failure is fatal; it never hangs.
TEST(BatchConflicts, AFrozenServerEndsTheBatchAfterTheCommandTimeout) {
  PrivateServer server;
  Sql(server.Details(), {"CREATE DATABASE frozen", "CREATE TABLE frozen.t (id INT PRIMARY KEY, v VARCHAR(20))",
                         "INSERT INTO frozen.t VALUES (1, 'a'), (2, 'b')"});
  auto c = RunConnection(server.Details("frozen"), 2);
  int reports = 0;
  Batch::Sender sender(*c, [&](int, const QString&) { ++reports; });
  sender.Add(Upper(1, "a", "A"), 1);
  sender.Add(Upper(2, "b", "B"), 2);
  server.Signal(SIGSTOP);
  try {
    sender.Flush();
    ADD_FAILURE() << "a frozen server answered";
  } catch (const Batch::FatalError& e) {
    EXPECT_TRUE(QString(e.what()).contains("Lost connection")) << e.what();
  }
  server.Signal(SIGCONT);
  EXPECT_EQ(reports, 0);
  // Whatever the server had received before it froze, it may finish once
  // it thaws; either way the batch is whole.
  const QStringList rows = Column(server.Details("frozen"), "SELECT v FROM t ORDER BY id");
  EXPECT_TRUE(rows == QStringList({"a", "b"}) || rows == QStringList({"A", "B"})) << rows.join(",").toStdString();
}
