// UPPER and lower by the server's own function: where it writes what the
// run computes, a group's new values do not travel. Checked against the
// case rules by the rows' text and bytes, in every character set, and
// under another client writing to the rows of the group under way.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonObject>

#include "caserules/case.h"
#include "database/rowkey.h"
#include "tests/commandline/fixture.h"

namespace {

class ComputedTest : public CommandLineTest {
 protected:
  QStringList Convert(const QString& table, const QString& mode) const {
    return QStringList{"convert"} + Connection() +
           QStringList{"--table", table, "--field", "v", "--mode", mode, "--yes", "--json", "--chunk-time", "0"};
  }
  // Each row's text (as utf8mb4) and bytes, by key.
  QMap<int, std::pair<QString, QByteArray>> Rows(const QString& table) const {
    QMap<int, std::pair<QString, QByteArray>> rows;
    for (const QString& line : db_->Values(
             QStringLiteral("SELECT CONCAT_WS(' ', id, HEX(CONVERT(v USING utf8mb4)), HEX(v)) FROM %1").arg(table))) {
      const QStringList parts = line.split(u' ');
      rows[parts[0].toInt()] = {QString::fromUtf8(QByteArray::fromHex(parts.value(1).toLatin1())),
                                QByteArray::fromHex(parts.value(2).toLatin1())};
    }
    return rows;
  }
};

// Characters where the server's function and the case rules may part: the
// German sharp s, title-case digraphs, characters whose upper case is two,
// the Turkish and Greek cases, scripts newer than some servers' tables.
const char* const kParting[] = {"straße", "ǅemal ǆ", "ŉ ǰ ΐ", "istanbul ı İ", "ΟΔΥΣΣΕΥΣ ς σ", "ﬀ ﬁ", "ა ბ",
                                "ꭰ Ꭰ", "ᾳ ᾼ", "Ω ω Å", "𐐨 𐐀", "maría í"};

TEST_F(ComputedTest, EveryCharacterSetAndCollationIsExactAndTheServerComputesWhereItAgrees) {
  // Every character set, in its default collation, and collations whose
  // case rules differ.
  QStringList columns;
  for (const QString& charset : db_->Values("SELECT CHARACTER_SET_NAME FROM information_schema.CHARACTER_SETS WHERE "
                                            "CHARACTER_SET_NAME <> 'binary' ORDER BY 1"))
    columns << "CHARACTER SET " + charset;
  for (const QString& collation : db_->Values(
           "SELECT COLLATION_NAME FROM information_schema.COLLATIONS WHERE COLLATION_NAME IN ('utf8mb4_turkish_ci', "
           "'utf8mb4_bin', 'utf8mb4_unicode_520_ci', 'utf8mb4_uca1400_turkish_ai_ci', 'utf8mb4_general1400_as_ci', "
           "'latin5_turkish_ci', 'greek_bin', 'utf8mb3_turkish_ci')"))
    columns << "COLLATE " + collation;
  ASSERT_GT(columns.size(), 35);
  QStringList values;
  for (const char* v : kParting) values << QString::fromUtf8(v);
  const QStringList unicode = {"utf8mb4", "utf8mb3", "ucs2", "utf16", "utf16le", "utf32"};
  for (int c = 0; c < columns.size(); ++c) {
    SCOPED_TRACE(columns[c].toStdString());
    const QString table = QStringLiteral("c%1").arg(c);
    // Plain names (of letters every set and collation cases alike), and
    // the parting characters between them (as '?' where the set lacks them).
    QStringList rows;
    for (int i = 0; i < 1200; ++i)
      rows << QStringLiteral("(%1, %2)")
                  .arg(i)
                  .arg(MySQL::TextLiteral(i % 40 == 7 ? values[(i / 40) % values.size()]
                                                      : QStringLiteral("joe o'neal %1").arg(i)));
    db_->Exec({QStringLiteral("CREATE TABLE %1 (id INT PRIMARY KEY, v VARCHAR(60) %2)").arg(table, columns[c]),
               "SET SESSION sql_mode = ''", QStringLiteral("INSERT INTO %1 VALUES ").arg(table) + rows.join(u',')});
    const auto original = Rows(table);
    const QString charset = db_->Values(QStringLiteral("SELECT CHARACTER_SET_NAME FROM information_schema.COLUMNS WHERE "
                                                       "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '%1' AND "
                                                       "COLUMN_NAME = 'v'")
                                            .arg(table))
                                .value(0);
    const bool single = db_->Values(QStringLiteral("SELECT MAXLEN FROM information_schema.CHARACTER_SETS WHERE "
                                                   "CHARACTER_SET_NAME = '%1'")
                                        .arg(charset))
                            .value(0) == "1";
    for (const auto& [mode, name] : {std::pair{Case::CaseMode::CaseUpper, "upper"}, {Case::CaseMode::CaseLower, "lower"}}) {
      SCOPED_TRACE(name);
      const auto before = Rows(table);
      // (Some sets cannot hold a converted value beside the others as they
      // stand: such a value is left with its report, and the status says so.)
      const Result run = Norvale(Convert(table, name));
      ASSERT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err.left(2000).toStdString();
      const auto after = Rows(table);
      int changed = 0;
      for (auto b = before.begin(); b != before.end(); ++b) {
        const auto& a = after[b.key()];
        const QString expected = Case::ConvertCase(mode, b->first);
        if (a.second == b->second) {
          // Left as it was: it is in case already, or the column cannot
          // hold its converted text.
          if (expected != b->first) {
            EXPECT_TRUE(run.err.contains(QStringLiteral("=%1)").arg(b.key()))) << b.key();
          }
          continue;
        }
        ++changed;
        ASSERT_EQ(a.first, expected) << b.key();
        // The bytes of a Unicode set are its text's.
        if (charset.startsWith("utf8")) {
          ASSERT_EQ(a.second.toHex(), expected.toUtf8().toHex()) << b.key();
        }
      }
      const QJsonObject one = OneRun(run);
      EXPECT_EQ(one.value("changed").toInt(), changed);
      // The server computes the plain names where it can tell characters
      // apart, and never a value it would write otherwise.
      if (unicode.contains(charset) || single)
        EXPECT_GT(one.value("server_computed").toInt(), changed / 2) << run.out.toStdString();
      else
        EXPECT_EQ(one.value("server_computed").toInt(), 0);
    }
    for (int undo = 0; undo < 2; ++undo)
      ASSERT_EQ(Norvale(QStringList{"undo"} + Connection() + QStringList{"--table", table, "--field", "v", "--yes"}).status,
                0);
    EXPECT_EQ(Rows(table), original);
  }
}

TEST_F(ComputedTest, AnotherClientWritingToTheGroupUnderWayKeepsItsRowsAndTheCountsMatchTheTable) {
  // Even keys: room for rows another client inserts between them. Rows
  // already in case, and NULLs, lie among those the run changes.
  db_->Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(60) CHARACTER SET utf8mb4)",
             "INSERT INTO t SELECT 2 * seq, IF(seq % 10 = 3, CONCAT('ALREADY UPPER ', seq), IF(seq % 10 = 7, NULL, "
             "CONCAT('josé ', seq))) FROM seq_1_to_3000"});
  const auto before = Rows("t");
  // The run reads and journals its first group, then waits on the pause
  // file; meanwhile another client writes to that group's rows.
  const QString pause = home_.path() + "/pause";
  QFile(pause).open(QIODevice::WriteOnly);
  QProcess process;
  Start(process, Convert("t", "upper") + QStringList{"--pause-file", pause});
  const QByteArray said = ErrUntil(process, "waiting");
  ASSERT_TRUE(said.contains("waiting")) << said.toStdString();
  // Rows the run read and will change, rewritten; rows it read as already
  // in case, made lower; rows it never read, inserted among them.
  db_->Exec({"UPDATE t SET v = CONCAT('written by another client ', id) WHERE id % 50 = 0 AND id < 1000",
             "UPDATE t SET v = CONCAT('made lower ', id) WHERE id IN (6, 26, 46)",
             "INSERT INTO t SELECT 2 * seq + 1, CONCAT('inserted later ', seq) FROM seq_1_to_400"});
  const int written = db_->Values("SELECT COUNT(*) FROM t WHERE v LIKE 'written by%'").value(0).toInt();
  ASSERT_GT(written, 5);
  QFile::remove(pause);
  ASSERT_TRUE(process.waitForFinished(120000));
  const Result run{process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                   QString::fromUtf8(process.readAllStandardError())};
  EXPECT_EQ(run.status, 1) << run.err.toStdString();  // some rows were changed since
  // The other client's values stand as it wrote them.
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE BINARY v LIKE 'written by another client %'").value(0).toInt(),
            written);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE BINARY v LIKE 'made lower %'").value(0).toInt(), 3);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE BINARY v LIKE 'inserted later %'").value(0).toInt(), 400);
  // Every other row the run read is in upper case, and the counts are the
  // table's.
  const auto after = Rows("t");
  int changed = 0;
  for (auto b = before.begin(); b != before.end(); ++b) {
    const QString now = after[b.key()].first;
    if (now.startsWith("written by") || now.startsWith("made lower")) continue;
    ASSERT_EQ(now, Case::ConvertCase(Case::CaseMode::CaseUpper, b->first)) << b.key();
    changed += now != b->first;
  }
  const QJsonObject one = OneRun(run);
  EXPECT_EQ(one.value("changed").toInt(), changed);
  EXPECT_EQ(one.value("changed_since").toInt(), written);
  EXPECT_GT(one.value("server_computed").toInt(), changed / 2);
  // Undo restores what the run changed, and leaves the other client's rows.
  const Result undo = Norvale(QStringList{"undo"} + Connection() + QStringList{"--yes", "--json"});
  EXPECT_EQ(undo.status, 0) << undo.err.toStdString();
  EXPECT_EQ(Json(undo).value("restored").toInt(), changed);
  const auto back = Rows("t");
  for (auto b = before.begin(); b != before.end(); ++b) {
    const QString now = back[b.key()].first;
    if (now.startsWith("written by") || now.startsWith("made lower")) continue;
    ASSERT_EQ(back[b.key()], *b) << b.key();
  }
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE BINARY v LIKE 'inserted later %'").value(0).toInt(), 400);
  EXPECT_EQ(db_->Values("SELECT COUNT(*) FROM t WHERE v IS NULL").value(0).toInt(), 300);
}

}  // namespace
