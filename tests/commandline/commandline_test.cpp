// The norvale binary's commands, run as a script would run them, against the
// real test server; rows are checked by their bytes.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>

#include "commandline/options.h"
#include "tests/support/testdb.h"

namespace {

struct Result {
  int status = -1;
  QString out, err;
};

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ServerAvailable()) GTEST_SKIP() << "no test server";
    ASSERT_TRUE(home_.isValid());
    db_ = std::make_unique<TestDatabase>();
  }

  // The program's environment: a home of its own (its journal, settings
  // and option file), no display and no D-Bus session.
  QProcessEnvironment Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home_.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/config"));
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"})
      env.remove(QLatin1String(name));
    return env;
  }

  // The connection options, as a user types them.
  QStringList Connection(bool withPassword = true) const {
    const MySQL::ConnectionDetails d = db_->Details();
    QStringList args{QStringLiteral("-h"), d.server, QStringLiteral("-P"), d.port, QStringLiteral("-u"), d.user,
                     QStringLiteral("-D"), d.database};
    if (withPassword) args << QStringLiteral("-p") + d.password;
    return args;
  }

  void Start(QProcess& process, const QStringList& args) const {
    process.setProcessEnvironment(Environment());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QStringLiteral(NORVALE_BINARY), args);
    ASSERT_TRUE(process.waitForStarted());
  }

  Result Norvale(const QStringList& args) const {
    QProcess process;
    Start(process, args);
    process.waitForFinished(600000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
  }

  QStringList Hex(const QString& table, const QString& field) const {
    return db_->Values(QStringLiteral("SELECT IFNULL(HEX(%2), 'NULL') FROM %1 ORDER BY id").arg(table, field));
  }

  QTemporaryDir home_;
  std::unique_ptr<TestDatabase> db_;
};

const QString kNames[] = {QStringLiteral("ann o'neil"), QStringLiteral("JEAN-LUC picard"),
                          QStringLiteral("ΟΔΥΣΣΕΥΣ ελύτης"), QStringLiteral("ıstanbul İZMİR"),
                          QStringLiteral("c:\\dir ¥"), QStringLiteral("e\u0301cole MÜLLER"),
                          QStringLiteral("\U0001D400 \U00010428 пётр ЧАЙКОВСКИЙ"), QString()};

TEST_F(CommandLineTest, DryRunConvertAndUndoRoundTripSeveralFieldsByTheirBytes) {
  // The second field is sjis, where 5C is the backslash and stays 5C.
  const QString sjis[] = {QStringLiteral("c:\\dir"), QStringLiteral("東京 tokyo"), QStringLiteral("ΑΛΦΑ beta"),
                          QStringLiteral("пётр"),      QStringLiteral("ｔｏｋｙｏ"),   QStringLiteral("x"),
                          QStringLiteral("mixed Case"), QString()};
  const auto literal = [](const QString& text) {
    return text.isNull() ? QStringLiteral("NULL") : QStringLiteral("'%1'").arg(QString(text).replace("\\", "\\\\").replace("'", "''"));
  };
  QStringList rows;
  for (int i = 0; i < 8; ++i) rows << QStringLiteral("(%1, %2, %3)").arg(i).arg(literal(kNames[i]), literal(sjis[i]));
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, a VARCHAR(60), b VARCHAR(60) CHARACTER SET sjis) CHARACTER SET utf8mb4",
             "INSERT INTO t (id, a, b) VALUES " + rows.join(u','), "UPDATE t SET b = X'633A5C646972' WHERE id = 0"});
  const QStringList a0 = Hex("t", "a"), b0 = Hex("t", "b");

  // A dry run changes nothing and keeps no journal.
  Result dry = Norvale(QStringList{"convert"} + Connection() +
                       QStringList{"--table", "t", "--field", "a", "--mode", "proper", "--dry-run", "--sample", "3"});
  ASSERT_EQ(dry.status, 0) << dry.err.toStdString();
  EXPECT_TRUE(dry.out.contains("8 read, 7 would change, 1 unchanged")) << dry.out.toStdString();
  EXPECT_TRUE(dry.out.contains("record 1: ann o'neil -> Ann O'neil")) << dry.out.toStdString();
  EXPECT_EQ(dry.out.count(" -> "), 3);
  EXPECT_EQ(Hex("t", "a"), a0);
  EXPECT_FALSE(QFile::exists(home_.path() + "/data/norvale/journal.sqlite"));

  // Two fields, each a run of its own, in one command.
  Result run = Norvale(QStringList{"convert"} + Connection() +
                       QStringList{"--table", "t", "--field", "a", "--field", "b", "--mode", "upper", "--yes", "--json"});
  ASSERT_EQ(run.status, 0) << run.err.toStdString();
  const QJsonArray runs = QJsonDocument::fromJson(run.out.toUtf8()).object().value("runs").toArray();
  ASSERT_EQ(runs.size(), 2) << run.out.toStdString();
  EXPECT_EQ(runs[0].toObject().value("field").toString(), "a");
  EXPECT_EQ(runs[0].toObject().value("changed").toInt(), 7);
  EXPECT_EQ(runs[1].toObject().value("field").toString(), "b");
  EXPECT_EQ(db_->Values("SELECT CONCAT_WS('|', a, HEX(b)) FROM t WHERE id = 0"),
            QStringList({QStringLiteral("ANN O'NEIL|433A5C444952")}));
  EXPECT_EQ(db_->Values("SELECT a FROM t WHERE id = 2"), QStringList({QStringLiteral("ΟΔΥΣΣΕΥΣ ΕΛΎΤΗΣ")}));

  const Result history = Norvale({"history", "--table", "t", "--json"});
  ASSERT_EQ(history.status, 0);
  const QJsonArray listed = QJsonDocument::fromJson(history.out.toUtf8()).object().value("runs").toArray();
  ASSERT_EQ(listed.size(), 2);
  EXPECT_EQ(listed[0].toObject().value("field").toString(), "b");  // newest first
  EXPECT_GT(listed[0].toObject().value("bytes").toInt(), 0);

  // Undo takes the newest run back, then the one before it, byte for byte.
  for (const char* field : {"b", "a"}) {
    const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
    ASSERT_EQ(undo.status, 0) << undo.err.toStdString();
    EXPECT_TRUE(undo.out.startsWith(QStringLiteral("%1.t.%2:").arg(db_->Name(), field))) << undo.out.toStdString();
  }
  EXPECT_EQ(Hex("t", "a"), a0);
  EXPECT_EQ(Hex("t", "b"), b0);
  EXPECT_EQ(Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"}).status, 2);  // nothing left to undo
}

TEST_F(CommandLineTest, AnInterruptedRunStopsBetweenRecordsAndUndoesExactly) {
  db_->Exec("CREATE TABLE big (id INT PRIMARY KEY, v VARCHAR(60)) SELECT seq AS id, CONCAT('name o''neil ', seq) AS v "
            "FROM seq_1_to_400000");
  const auto converted = [&] { return db_->Values("SELECT COUNT(*) FROM big WHERE v LIKE BINARY 'NAME%'").value(0).toInt(); };
  QProcess process;
  Start(process, QStringList{"convert"} + Connection() + QStringList{"--table", "big", "--field", "v", "--mode", "upper", "--yes"});
  QElapsedTimer waited;
  waited.start();
  while (converted() == 0 && waited.elapsed() < 120000 && process.state() == QProcess::Running) QThread::msleep(20);
  ::kill(pid_t(process.processId()), SIGINT);
  ASSERT_TRUE(process.waitForFinished(120000));
  const QString err = QString::fromUtf8(process.readAllStandardError());
  EXPECT_EQ(process.exitCode(), 130) << err.toStdString();
  EXPECT_TRUE(err.contains("interrupted")) << err.toStdString();
  const int done = converted();
  EXPECT_GT(done, 0);
  EXPECT_LT(done, 400000);
  // Every row is whole: either as it was or converted.
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM big WHERE v <> CONCAT('name o''neil ', id) COLLATE utf8mb4_bin AND "
                        "v <> CONCAT('NAME O''NEIL ', id) COLLATE utf8mb4_bin"),
            QStringList({"0"}));
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", "big", "--field", "v", "--yes"});
  ASSERT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_TRUE(undo.out.contains(QStringLiteral("%1 rows restored, 0 rows").arg(done))) << undo.out.toStdString();
  EXPECT_EQ(converted(), 0);
}

TEST_F(CommandLineTest, UsageErrorsAndFailuresHaveTheirStatusesAndSayWhy) {
  // The server refuses the second row's new value; the column cannot hold the third's.
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, a VARCHAR(20) CHARACTER SET latin1 CHECK (BINARY a <> 'REFUSED'))",
             "INSERT INTO t VALUES (1, 'x'), (2, 'refused'), (3, 'µ')"});
  const QStringList convert = QStringList{"convert"} + Connection() + QStringList{"--table", "t", "--field", "a"};
  struct Case {
    QStringList args;
    int status;
    const char* says;
  } cases[] = {
      {convert + QStringList{"--mode", "upper", "--bogus"}, 64, "Unknown option 'bogus'"},
      {QStringList{"convrt"}, 64, "'convrt' is no command"},
      {convert + QStringList{"--mode", "title", "--yes"}, 64, "--mode is one of"},
      {convert + QStringList{"--mode", "upper"}, 64, "add --yes"},  // no terminal to confirm on
      {QStringList{"undo"} + Connection(), 64, "add --yes"},
      {QStringList{"convert", "-h", db_->Details().server, "-P", db_->Details().port, "-u", db_->Details().user,
                   "-pwrong", "-D", db_->Name(), "--table", "t", "--field", "a", "--mode", "upper", "--yes"},
       2, "Access denied"},
      {QStringList{"convert"} + Connection() + QStringList{"--table", "gone", "--field", "a", "--mode", "upper", "--yes"},
       2, "gone"},
      {convert + QStringList{"--mode", "upper", "--yes"}, 1, "norvale: record 2: "},
      {convert + QStringList{"--mode", "upper", "--yes"}, 1, "norvale: record 3: "},
  };
  for (const Case& c : cases) {
    const Result r = Norvale(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.join(' ').toStdString() << "\n" << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << c.says << " not in: " << r.err.toStdString();
  }
  EXPECT_EQ(db_->Values("SELECT a FROM t ORDER BY id"), QStringList({"X", "refused", QString(QChar(0xB5))}));

  // Over several groups, each record's report comes in the records' order,
  // though a group is still on its way while the next is read.
  db_->Exec({"CREATE TABLE many (id INT PRIMARY KEY, a VARCHAR(20) CHARACTER SET latin1 CHECK (BINARY a <> 'REFUSED'))",
             "INSERT INTO many SELECT seq, IF(seq IN (10, 999, 1600, 2400), 'refused', IF(seq IN (1500, 2100), 'µ', "
             "CONCAT('row ', seq))) FROM seq_1_to_2500"});
  const Result r = Norvale(QStringList{"convert"} + Connection() +
                           QStringList{"--table", "many", "--field", "a", "--mode", "upper", "--yes", "--json"});
  EXPECT_EQ(r.status, 1);
  QList<int> reported;
  static const QRegularExpression record(QStringLiteral("^norvale: record (\\d+): "), QRegularExpression::MultilineOption);
  for (auto m = record.globalMatch(r.err); m.hasNext();) reported << m.next().captured(1).toInt();
  EXPECT_EQ(reported, QList<int>({10, 999, 1500, 1600, 2100, 2400})) << r.err.toStdString();
  const QJsonObject totals = QJsonDocument::fromJson(r.out.toUtf8()).object().value("runs").toArray()[0].toObject();
  EXPECT_EQ(totals.value("changed").toInt(), 2494);
  EXPECT_EQ(totals.value("refused").toInt(), 4);
  EXPECT_EQ(totals.value("not_convertible").toInt(), 2);

  // A value no mode can convert (over 32,767 characters in Proper Case) is
  // that record's failure; the records around it still convert.
  db_->Exec({"CREATE TABLE huge (id INT PRIMARY KEY, v LONGTEXT)",
             "INSERT INTO huge VALUES (1, 'first one'), (2, REPEAT('x', 40000)), (3, 'third one')"});
  const Result over = Norvale(QStringList{"convert"} + Connection() +
                              QStringList{"--table", "huge", "--field", "v", "--mode", "proper", "--yes"});
  EXPECT_EQ(over.status, 1) << over.err.toStdString();
  EXPECT_TRUE(over.err.contains("norvale: record 2: Overflow")) << over.err.toStdString();
  EXPECT_TRUE(over.out.contains("3 read, 2 changed, 0 unchanged, 0 refused, 1 not convertible")) << over.out.toStdString();
  EXPECT_EQ(db_->Values("SELECT LEFT(v, 9) FROM huge ORDER BY id"), QStringList({"First One", "xxxxxxxxx", "Third One"}));
}

TEST_F(CommandLineTest, AnOptionFileGivesTheDetailsAndThePassword) {
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, a VARCHAR(20))", "INSERT INTO t VALUES (1, 'from a file')"});
  const MySQL::ConnectionDetails d = db_->Details();
  const QString text = QStringLiteral("[mysqld]\nuser = nobody\n[client]\nhost=%1\nport = %2\nuser=\"%3\"\npassword = '%4'\n"
                                      "database=%5 # ours\n")
                           .arg(d.server, d.port, d.user, d.password, d.database);
  QFile my(home_.path() + "/.my.cnf");
  ASSERT_TRUE(my.open(QIODevice::WriteOnly));
  my.write(text.toUtf8());
  my.close();
  const QStringList fieldArgs{"--table", "t", "--field", "a", "--yes"};
  Result r = Norvale(QStringList{"convert", "--mode", "proper"} + fieldArgs);
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT a FROM t"), QStringList({"From A File"}));
  // --no-defaults leaves the file out; --defaults-file reads only the one named.
  r = Norvale(QStringList{"convert", "--no-defaults", "--mode", "upper"} + fieldArgs);
  EXPECT_EQ(r.status, 64) << r.err.toStdString();
  ASSERT_TRUE(my.rename(home_.path() + "/elsewhere.cnf"));
  r = Norvale(QStringList{"convert", "--defaults-file", home_.path() + "/elsewhere.cnf", "--mode", "upper"} + fieldArgs);
  EXPECT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(db_->Values("SELECT a FROM t"), QStringList({"FROM A FILE"}));

  EXPECT_EQ(CommandLine::NormalizedArguments({"-psecret", "-p", "--password", "--password=x", "-P", "3306"}),
            QStringList({"--password=secret", "--ask-password", "--ask-password", "--password=x", "-P", "3306"}));
}

}  // namespace
