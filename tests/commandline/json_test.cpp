// Under --json every way a command ends answers with one JSON object on
// stdout, its status that of the process, however early it stops.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <sqlite3.h>

#include "journal/store.h"
#include "tests/commandline/fixture.h"

namespace {

struct Exit {
  QStringList args;
  int status;
};

class JsonAnswerTest : public CommandLineTest {
 protected:
  // The whole of stdout is one JSON object, with the process's status and
  // an error that says why.
  void ExpectOneObject(const Exit& e) {
    const Result r = Norvale(e.args);
    const std::string what = e.args.join(' ').toStdString() + "\nstdout: " + r.out.toStdString() +
                             "\nstderr: " + r.err.toStdString();
    EXPECT_EQ(r.status, e.status) << what;
    QJsonParseError error{};
    const QJsonDocument answer = QJsonDocument::fromJson(r.out.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << what;
    ASSERT_TRUE(answer.isObject()) << what;
    EXPECT_EQ(answer.object().value("status").toInt(-1), e.status) << what;
    EXPECT_FALSE(answer.object().value("error").toString().isEmpty()) << what;
  }

  // The connection's options with no option file read, and more.
  QStringList Options(const QString& command, const QStringList& more, bool database = true) const {
    const MySQL::ConnectionDetails d = db_->Details();
    QStringList args{command, "--json", "--no-defaults", "-h", d.server, "-P", d.port, "-u", d.user, "-p" + d.password};
    if (database) args << "-D" << d.database;
    return args + more;
  }
  QStringList Convert(const QStringList& more) const {
    return Options("convert", QStringList{"--table", "t", "--field", "v", "--mode", "upper", "--yes"} + more);
  }

  QString JournalPath() const { return home_.path() + "/data/norvale/journal.sqlite"; }
};

TEST_F(JsonAnswerTest, EveryEarlyExitOfTheCommandsAnswersWithOneObject) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20))", "INSERT INTO t VALUES (1, 'abc')"});
  const Exit exits[] = {
      // Which command, and its options as the parser reads them.
      {{"convrt", "--json"}, 64},
      {Convert({"--bogus"}), 64},
      {Convert({"extra"}), 64},
      // The connection's options.
      {Convert({"--login-path", " "}), 64},
      {Convert({"--defaults-file", "/nonexistent/my.cnf"}).filter(QRegularExpression("^(?!--no-defaults$)")), 64},
      {Convert({"--login-path", "nowhere"}), 2},
      {Convert({"--ssl-mode", "bogus"}), 2},
      {Convert({"--protocol", "pipe"}), 2},
      {Convert({"--net-timeout", "soon"}), 64},
      {Convert({"-P", "0"}), 64},
      {Options("convert", {"--table", "t", "--field", "v", "--mode", "upper", "--yes"}, false), 64},
      {Convert({"-u", " padded"}), 2},
      {Convert({"-pends with a space "}), 2},
      // Convert's own.
      {Options("convert", {"--field", "v", "--mode", "upper", "--yes"}), 64},
      {Options("convert", {"--table", "t", "--mode", "upper", "--yes"}), 64},
      {Convert({"--mode", "title"}), 64},
      {Convert({"--sample", "many"}), 64},
      {Options("convert", {"--table", "t", "--field", "v", "--mode", "upper"}), 64},  // no terminal to confirm on
      {Convert({"--words", "/nonexistent/words.txt"}), 2},
      {Convert({"--max-load", "Threads_running"}), 64},
      {Convert({"--critical-load", "=5"}), 64},
      {Convert({"--max-lag", "-1"}), 64},
      {Convert({"--chunk-time", "fast"}), 64},
      {Convert({"--lock-wait", "0"}), 64},
      {Convert({"--where", "1; DROP TABLE t"}), 64},
      {Convert({"--where", "v = = 1"}), 64},  // the server's syntax error
      {Convert({"--field", "id", "--resume"}), 2},  // several fields: no run of theirs to continue
      {Convert({"--resume"}), 2},  // no run to continue
      // Undo's own.
      {Options("undo", {"--table", "t", "--yes"}), 64},
      {Options("undo", {"--run", "first", "--yes"}), 64},
      {Options("undo", {"--run", "1", "--table", "t", "--field", "v", "--yes"}), 64},
      {Options("undo", {}), 64},  // no terminal to confirm on
      {Options("undo", {"--run", "99", "--yes"}), 2},
      {Options("undo", {"--yes"}), 2},  // no run to undo
  };
  for (const Exit& e : exits) ExpectOneObject(e);
  EXPECT_EQ(db_->Values("SELECT v FROM t"), QStringList{"abc"});
}

TEST_F(JsonAnswerTest, UndoRefusingTheJournalsRunsAnswersWithOneObject) {
  const MySQL::ConnectionDetails d = db_->Details();
  {
    Journal::Store store(JournalPath());
    const auto begin = [&](const QString& server, const QString& table, const QString& keyless) {
      Journal::RunHeader h;
      h.target = {server, d.port, d.database, table, "v"};
      h.mode = "UPPER CASE";
      h.time = QDateTime::currentDateTime();
      h.keyColumns = keyless.isEmpty() ? "id" : QString();
      h.keyless = keyless;
      store.BeginRun(h);
      return h.id;
    };
    begin("elsewhere.example", "t", {});                             // run 1: on another server
    begin(d.server, "k", "it has no primary key");                   // run 2: no key
    store.MarkUndone(begin(d.server, "t", {}));                       // run 3: undone
  }
  for (const Exit& e : {Exit{Options("undo", {"--run", "1", "--yes"}), 2}, Exit{Options("undo", {"--run", "3", "--yes"}), 2},
                        Exit{Options("undo", {"--table", "k", "--field", "v", "--yes"}), 2}})
    ExpectOneObject(e);
  // A recovery lost the newest runs: the newest left is not known to be so.
  sqlite3* journal = nullptr;
  ASSERT_EQ(sqlite3_open(JournalPath().toUtf8().constData(), &journal), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(journal, "INSERT INTO facts (name, value) VALUES ('lost_through', 9)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(journal);
  ExpectOneObject({Options("undo", {"--yes"}), 2});
  // A journal that cannot be opened at all.
  QFile blocker(home_.path() + "/blocked");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  extraEnv_.insert("XDG_DATA_HOME", blocker.fileName());
  ExpectOneObject({Options("undo", {"--yes"}), 2});
  ExpectOneObject({{"history", "--json"}, 2});
}

}  // namespace
