// The run while another client writes to the same table, and on a primary
// whose binary log feeds a replica.
#include <QFile>
#include <QRandomGenerator>

#include "caserules/case.h"
#include "tests/e2e/writing.h"

namespace {

class WritersTest : public WritingTest {};

}  // namespace

TEST_F(WritersTest, AnotherWriterLosesNothingAndEveryRowIsAnAllowedValue) {
  TestDatabase db;
  MakeNameTable(db.Details(), 20000, 11);
  ConcurrentWriter writer(db.Details(), TableById(db.Details()), 12);
  Form2& f = OpenForm2(db.Details());
  ChooseField(f);
  RunWhileWriting(f, writer);
  for (const auto& b : boxes.boxes) ADD_FAILURE() << b.text.toStdString();
  const QStringList wrong = writer.Violations(db.Details(), Case::CaseMode::CaseProper);
  EXPECT_TRUE(wrong.isEmpty()) << wrong.size() << " rows wrong, first: " << wrong.value(0).toStdString();
  std::printf("[ writer   ] %d writes during the run, %d dropped on a lock wait\n", writer.Writes(), writer.Skipped());
}

// The run's statements replay on a replica to the same table in each
// binary log format, and none of them is unsafe to log as a statement:
// Proper Case's joins, and UPPER CASE's statements that the server computes.
class ReplicaTest : public WritersTest, public ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(ReplicaTest, ReplicaEndsEqualToThePrimary) {
  const auto [format, mode] = GetParam();
  PrivateReplicaPair servers(format);
  TestDatabase db(servers.Primary());
  MakeNameTable(db.Details(), 3000, 41);
  Sql(db.Details(), {"INSERT INTO t (v) VALUES ('o''neil\\\\x'), ('line\\nbreak'), ('')"});
  const QMap<int, QString> before = TableById(db.Details());
  Form2& f = OpenForm2(db.Details());
  ChooseField(f);
  f.Combo1->setCurrentIndex(mode);
  Click(f.PushButton1);
  for (const auto& b : boxes.boxes) ADD_FAILURE() << b.text.toStdString();

  const auto onReplica = servers.Replica(db.Name());
  ASSERT_TRUE(servers.CatchUp());
  const QString query = "SELECT MD5(GROUP_CONCAT(id, ':', IFNULL(HEX(v), '-') ORDER BY id)) FROM t";
  const QString primary = Column(db.Details(), query).value(0);
  EXPECT_EQ(Column(onReplica, query).value(0), primary);
  QMap<int, QString> converted = before;
  for (QString& v : converted) v = Case::ConvertCase(Case::CaseMode(mode), v);
  EXPECT_EQ(TableById(db.Details()), converted);
  EXPECT_FALSE(servers.PrimaryLog().contains("Unsafe statement")) << servers.PrimaryLog().toStdString();
  if (QString(format) == "STATEMENT") {
    // The log would show one: a statement that is unsafe does get noted.
    Sql(db.Details(), {"UPDATE t SET v = v LIMIT 1"});
    EXPECT_TRUE(servers.PrimaryLog().contains("Unsafe statement"));
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ReplicaTest,
                         ::testing::Values(std::pair{"STATEMENT", 2}, std::pair{"ROW", 2}, std::pair{"STATEMENT", 0},
                                           std::pair{"MIXED", 0}, std::pair{"ROW", 0}));
