// The run on a 3-node Galera cluster of the test's own: with another client
// writing on a second node, and with the run's own node killed under it.
// NORVALE_CLUSTER_FULL=1 (scripts/test --cluster) converts 20,000 rows;
// otherwise a smaller table keeps CI short.
#include <QRandomGenerator>

#include "caserules/case.h"
#include "journal/store.h"
#include "tests/e2e/writing.h"
#include "tests/support/journal.h"

namespace {

int Rows() { return qEnvironmentVariableIntValue("NORVALE_CLUSTER_FULL") == 1 ? 20000 : 3000; }

class ClusterTest : public WritingTest {
 protected:
  void ChooseField(Form2& f) {
    ASSERT_EQ(f.ListView1->ItemText(1), "t");
    ClickItem(f.ListView1, 1);
    ClickItem(f.ListView2, 2);  // v
    ASSERT_EQ(f.ListView2->SelectedText(), "v");
    f.Combo1->setCurrentIndex(2);  // Proper Case
  }
  int Reports(const QString& containing = {}) const {
    int n = 0;
    for (const auto& b : boxes.boxes) n += b.title == "Application Error" && b.text.contains(containing);
    return n;
  }
  // Transactions of this node that the cluster took back: certification
  // failures and aborts by another node's writes. Each cost the run a retry.
  static int Conflicts(const PrivateCluster& cluster, int node) {
    const QStringList n = Column(cluster.Details(node),
                                 "SELECT SUM(VARIABLE_VALUE) FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME "
                                 "IN ('WSREP_LOCAL_CERT_FAILURES', 'WSREP_LOCAL_BF_ABORTS')");
    return n.value(0).toInt();
  }
  static QString Checksum(const PrivateCluster& cluster, int node, const QString& database) {
    cluster.SyncWait(node);
    return Column(cluster.Details(node, database),
                  "SELECT CONCAT(COUNT(*), ' rows, ', BIT_XOR(CRC32(CONCAT(id, ':', v)))) FROM t")
        .value(0);
  }
};

}  // namespace

// Proper Case goes through the pair table; UPPER CASE by the server's own
// function, its groups read with locks first.
TEST_F(ClusterTest, WriterOnAnotherNodeLosesNothingAndAllNodesAgree) {
  PrivateCluster cluster;
  std::printf("[ cluster  ] started in %.1f s\n", cluster.StartSeconds());
  for (const int mode : {2, 0}) {
    SCOPED_TRACE(mode);
    TestDatabase db(cluster.Details(1));
    MakeNameTable(db.Details(), Rows(), 21 + mode);
    auto onNode2 = cluster.Details(2, db.Name());
    cluster.SyncWait(2);
    ConcurrentWriter writer(onNode2, TableById(onNode2), 22 + mode);
    Form2& f = OpenForm2(db.Details());
    ChooseField(f);
    f.Combo1->setCurrentIndex(mode);
    const int conflictsBefore = Conflicts(cluster, 1);
    RunWhileWriting(f, writer);
    // Conflicts were retried within the run: no box.
    for (const auto& b : boxes.boxes) ADD_FAILURE() << b.text.toStdString();
    const int retries = Conflicts(cluster, 1) - conflictsBefore;
    std::printf("[ cluster  ] %d rows, %d writes on node 2 (%d dropped), %d batches of the run taken back and retried\n",
                Rows(), writer.Writes(), writer.Skipped(), retries);
    RecordProperty(mode == 2 ? "retries" : "retries_upper", retries);

    const QString first = Checksum(cluster, 1, db.Name());
    EXPECT_EQ(Checksum(cluster, 2, db.Name()), first);
    EXPECT_EQ(Checksum(cluster, 3, db.Name()), first);
    const QStringList wrong = writer.Violations(db.Details(), Case::CaseMode(mode));
    EXPECT_TRUE(wrong.isEmpty()) << wrong.size() << " rows wrong, first: " << wrong.value(0).toStdString();

    // Batches the cluster took back and the run sent again journaled each
    // row once: as many entries as rows counted, no key twice, and no more
    // than the rows there ever were (the writer inserts some).
    Journal::Store store;
    const auto d = db.Details();
    const auto run = store.LastRun({d.server, d.port, d.database, "t", "v"});
    ASSERT_TRUE(run.has_value());
    QSet<QString> keys;
    qint64 entries = 0, rows = 0;
    for (const Journal::Entry& e : JournalEntries(store.Path(), run->id)) {
      ++entries;
      rows += e.rows;
      keys.insert(e.key);
    }
    EXPECT_EQ(keys.size(), entries);
    EXPECT_EQ(run->rows, rows);
    EXPECT_LE(entries, Rows() + writer.Writes());
    EXPECT_GT(entries, 0);
  }
}

TEST_F(ClusterTest, RunsNodeKilledMidRunEndsWithOneReportAndWholeBatches) {
  PrivateCluster cluster;
  TestDatabase db(cluster.Details(1));
  MakeNameTable(db.Details(), Rows(), 31, true);
  const QMap<int, QString> before = TableById(db.Details());
  Form2& f = OpenForm2(db.Details());
  ChooseField(f);
  bool killed = false;
  QMetaObject::Connection watch = QObject::connect(f.ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
    // Past the second group: the first one has been answered by then.
    if (v < 70 || killed) return;
    killed = true;
    cluster.Kill(1);
  });
  Click(f.PushButton1);
  QObject::disconnect(watch);
  ASSERT_TRUE(killed);
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  EXPECT_EQ(f.ProgressBar1->value(), 0);
  EXPECT_EQ(Reports("at line 162"), 1);
  EXPECT_EQ(Reports(), 1);

  // On the nodes left, the converted rows are the first rows of the run's
  // order, a whole number of batches; every other row is as it was.
  const QString second = Checksum(cluster, 2, db.Name());
  EXPECT_EQ(Checksum(cluster, 3, db.Name()), second);
  const QMap<int, QString> after = TableById(cluster.Details(2, db.Name()));
  ASSERT_EQ(after.keys(), before.keys());
  int converted = 0;
  bool inPrefix = true;
  for (auto it = before.begin(); it != before.end(); ++it) {
    const QString now = after.value(it.key());
    const bool isConverted = now == Case::ProperCase(it.value());
    ASSERT_TRUE(isConverted || now == it.value()) << now.toStdString();
    if (isConverted) {
      EXPECT_TRUE(inPrefix) << "row " << it.key() << " converted after an unconverted one";
      ++converted;
    } else {
      inPrefix = false;
    }
  }
  // A batch is 250 statements here (1000 to a distant server), one row each.
  EXPECT_EQ(converted % 250, 0) << converted << " rows converted";
  EXPECT_GT(converted, 0);
  EXPECT_LT(converted, before.size());
}
