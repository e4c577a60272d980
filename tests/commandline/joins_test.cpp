// A group's join reads the table by the range of keys its pairs span where
// they are most of the rows in it, and finds each row's pair by the pair
// table's key; elsewhere the pairs find their rows. Whichever way, each row
// takes only its own pair's bytes, the counts are the table's, and one undo
// gives every byte back.
#include <gtest/gtest.h>

#include <QJsonObject>

#include "caserules/case.h"
#include "database/mysql.h"
#include "tests/commandline/fixture.h"
#include "tests/support/testdb.h"

namespace {

class JoinsTest : public CommandLineTest {};

TEST_F(JoinsTest, DenseSparseAndLongTextKeysEachRowTakesItsOwnPair) {
  struct Shape {
    const char* table;
    const char* key;  // the key's declaration
    const char* keyValue;  // from seq
    int changing;  // one row in this many needs a change
    const char* join;  // the join's opening, as the server is sent it
  };
  const Shape shapes[] = {
      {"dense", "k INT NOT NULL PRIMARY KEY", "seq * 2", 1, "UPDATE `dense` STRAIGHT_JOIN nv_keys"},
      // Most rows already in Proper Case: a group spans many rows it leaves.
      {"sparse", "k INT NOT NULL PRIMARY KEY", "seq", 25, "UPDATE nv_keys STRAIGHT_JOIN `sparse`"},
      // Text in a collation where ß sorts with ss: the range is the
      // collation's, as the rows were read.
      {"collated", "k VARCHAR(30) CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci NOT NULL PRIMARY KEY",
       "CONCAT(ELT(1 + seq % 4, 'ß', 'ss', 'Straße', 'strasse'), seq)", 1, "UPDATE `collated` STRAIGHT_JOIN nv_keys"},
      // A key of long text cannot key the pair table: the pairs are
      // numbered, and find their rows.
      {"texted", "k TEXT NOT NULL, UNIQUE KEY (k(12))", "CONCAT('row ', seq)", 1, "UPDATE nv_keys STRAIGHT_JOIN `texted`"}};
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.table);
    const QString table = QString::fromLatin1(s.table);
    db_->Exec({QStringLiteral("CREATE TABLE %1 (%2, v VARCHAR(60) CHARACTER SET utf8mb4) ENGINE=InnoDB")
                   .arg(table, QString::fromLatin1(s.key)),
               QStringLiteral("INSERT INTO %1 SELECT %2, IF(seq % %3 = 0, CONCAT('jürgen o''NEIL ', seq), "
                              "CONCAT('Ann Smith ', seq)) FROM seq_1_to_6000")
                   .arg(table, QString::fromLatin1(s.keyValue))
                   .arg(s.changing)});
    const QString order = QStringLiteral("SELECT %2 FROM %1 ORDER BY HEX(k)").arg(table);
    const QStringList before = db_->Values(order.arg("HEX(v)"));
    QStringList expected;
    int changes = 0;
    for (const QString& text : db_->Values(order.arg("v"))) {
      const QString proper = Case::ConvertCase(Case::CaseMode::CaseProper, text);
      expected << QString::fromLatin1(proper.toUtf8().toHex().toUpper());
      changes += proper != text;
    }
    ASSERT_EQ(changes, 6000 / s.changing);

    QString start;
    Result r;
    {
      const GlobalSetting output("log_output", "'TABLE'"), log("general_log", "1");
      start = db_->Values("SELECT NOW(6)").value(0);
      r = Norvale(QStringList{"convert"} + Connection() +
                  QStringList{"--table", table, "--field", "v", "--mode", "proper", "--yes", "--json"});
    }
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(OneRun(r).value("changed").toInt(), changes);
    EXPECT_EQ(db_->Values(order.arg("HEX(v)")), expected);
    const QStringList joins = db_->Values(
        "SELECT DISTINCT REGEXP_SUBSTR(argument, 'UPDATE [^ ]+ STRAIGHT_JOIN [^ ]+') FROM mysql.general_log WHERE "
        "event_time >= '" + start + "' AND argument LIKE '%STRAIGHT_JOIN%`" + table + "`%'");
    EXPECT_EQ(joins, QStringList{QString::fromLatin1(s.join)});

    r = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(db_->Values(order.arg("HEX(v)")), before);
  }
}

}  // namespace
