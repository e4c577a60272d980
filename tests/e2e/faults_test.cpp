// Faults against real servers: a server killed during a run, rights taken
// away mid-session, tables and columns changed under the window, very large
// values and wide tables, and input that is bad on purpose.
#include <QDir>
#include <QFile>
#include <QTimer>

#include "caserules/case.h"
#include "tests/windows/fixture.h"

namespace {

class FaultTest : public WindowTest {
 protected:
  void Choose(Form2& f, int table, int field) {
    ClickItem(f.ListView1, table);
    ClickItem(f.ListView2, field);
  }
  int Reports(const QString& containing = {}) const {
    int n = 0;
    for (const auto& b : boxes.boxes) n += b.title == "Application Error" && b.text.contains(containing);
    return n;
  }
};

}  // namespace

TEST_F(FaultTest, ServerKilledMidRunLeavesEveryRowWholeAndTheProgramRunning) {
  PrivateServer server;
  const QString name = "norvale_kill";
  Sql(server.Details(), {"DROP DATABASE IF EXISTS " + name, "CREATE DATABASE " + name});
  const auto d = server.Details(name);
  Sql(d, {"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(60))",
          "INSERT INTO t SELECT seq, CONCAT('name o''neil number ', seq) FROM seq_1_to_3000"});
  const QStringList before = Column(d, "SELECT v FROM t ORDER BY id");
  Form2& f = OpenForm2(d);
  ClickItem(f.ListView2, 2);
  f.Combo1->setCurrentIndex(2);
  // Kill the server once the run is well under way.
  int yields = 0;
  QMetaObject::Connection watch = QObject::connect(f.ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
    if (++yields == 1 || v != 70) return;
    server.Kill();
  });
  Click(f.PushButton1);
  QObject::disconnect(watch);
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  EXPECT_EQ(f.ProgressBar1->value(), 0);
  // One report, at the execute line, and the run ended there.
  EXPECT_EQ(Reports("at line 162"), 1);
  EXPECT_EQ(Reports(), 1);

  server.Start();
  const QStringList after = Column(d, "SELECT v FROM t ORDER BY id");
  ASSERT_EQ(after.size(), before.size());
  int converted = 0;
  for (int i = 0; i < before.size(); ++i) {
    const QString proper = Case::ProperCase(before[i]);
    ASSERT_TRUE(after[i] == before[i] || after[i] == proper) << after[i].toStdString();
    converted += after[i] == proper;
  }
  EXPECT_GT(converted, 0);
  EXPECT_LT(converted, before.size());
}

TEST_F(FaultTest, RightsTakenAwayMidSessionAreShownAndTheProgramGoesOn) {
  TestDatabase db;
  db.Exec({"CREATE TABLE a (v INT)", "CREATE TABLE b (w INT)", "DROP USER IF EXISTS 'norvale_tmp'@'127.0.0.1'",
           "CREATE USER 'norvale_tmp'@'127.0.0.1' IDENTIFIED BY 'tmp-pw'",
           QStringLiteral("GRANT ALL ON `%1`.* TO 'norvale_tmp'@'127.0.0.1'").arg(db.Name())});
  auto d = db.Details();
  d.user = "norvale_tmp";
  d.password = "tmp-pw";
  Form2& f = OpenForm2(d);
  db.Exec("DROP USER 'norvale_tmp'@'127.0.0.1'");
  ClickItem(f.ListView1, 2);
  ASSERT_EQ(Reports("Access denied"), 1);
  EXPECT_TRUE(boxes.boxes[0].text.contains("Form2.ListView1_Click"));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  Click(f.PushButton1);  // the run cannot connect either: reported by line
  EXPECT_GT(Reports("at line 114"), 0);
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  EXPECT_TRUE(f.isVisible());
}

TEST_F(FaultTest, ColumnRenamedBetweenListingAndChoosing) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (a VARCHAR(5), b VARCHAR(5))", "INSERT INTO t VALUES ('x', 'y')"});
  Form2& f = OpenForm2(db.Details());
  db.Exec("ALTER TABLE t RENAME COLUMN b TO c");
  ClickItem(f.ListView2, 2);
  ASSERT_EQ(Reports("Unknown column 'b'"), 1);
  EXPECT_TRUE(boxes.boxes[0].text.contains("Form2.ListView2_Click"));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  // Starting the run on the vanished column reports the query and goes on.
  boxes.boxes.clear();
  f.ListView2->setCurrentItem(f.ListView2->topLevelItem(1));
  Click(f.PushButton1);
  EXPECT_GT(Reports("at line 116"), 0);
  EXPECT_EQ(Column(db.Details(), "SELECT c FROM t"), QStringList({"y"}));
}

TEST_F(FaultTest, SixteenMegabyteValueAndTwoHundredColumns) {
  TestDatabase db;
  QStringList columns;
  for (int i = 1; i <= 200; ++i) columns << QStringLiteral("c%1 VARCHAR(8)").arg(i);
  db.Exec({"CREATE TABLE a_big (v LONGTEXT)", "INSERT INTO a_big VALUES (REPEAT('ab cd ', 2796203))",
           "CREATE TABLE b_wide (" + columns.join(",") + ")", "INSERT INTO b_wide (c1, c200) VALUES ('x', 'y')"});
  Form2& f = OpenForm2(db.Details());
  ASSERT_EQ(f.ListView3->Count(), 1);
  EXPECT_EQ(f.ListView3->ItemText(1).size(), 6 * 2796203);
  Click(f.PushButton1);  // UPPER CASE: no counter limit
  for (const auto& b : boxes.boxes) ADD_FAILURE() << b.text.left(300).toStdString();
  EXPECT_EQ(Reports(), 0);
  EXPECT_EQ(Column(db.Details(), "SELECT MD5(v) = MD5(REPEAT('AB CD ', 2796203)) FROM a_big"), QStringList({"1"}));
  ClickItem(f.ListView1, 2);
  EXPECT_EQ(f.ListView2->Count(), 200);
  EXPECT_EQ(f.ListView2->ItemText(200), "c200");
  EXPECT_EQ(Items(f.ListView3), QStringList({"x"}));
}

TEST_F(FaultTest, AwkwardNamesConvertExactly) {
  TestDatabase db;
  // Also the names of the run's own temporary tables, which would hide a
  // table of the same name from the run's session, and names that read as
  // aliases or as places for the statements' own numbers: keyless and keyed.
  const QStringList tables = {"we`ird", "it's", "with space", QString::fromUtf16(u"tëst_ünï"), "select",
                              "NV_keys", "nv_pairs", "p", "t%2%3", "k%1%2", "P"};
  const QStringList keyed = {"NV_keys", "k%1%2", "P"};
  for (const QString& t : tables) {
    const QString q = MySQL::QuoteName(t);
    const QString key = keyed.contains(t) ? ", id INT AUTO_INCREMENT PRIMARY KEY" : "";
    db.Exec({QStringLiteral("CREATE TABLE %1 (%2 VARCHAR(20)%3)").arg(q, MySQL::QuoteName("or`der " + t), key),
             QStringLiteral("INSERT INTO %1 (%2) VALUES ('mixed Case'), ('o\\'neil')").arg(q, MySQL::QuoteName("or`der " + t))});
  }
  Form2& f = OpenForm2(db.Details());
  f.Combo1->setCurrentIndex(2);
  ASSERT_EQ(f.ListView1->Count(), tables.size());
  for (int i = 1; i <= tables.size(); ++i) {
    ClickItem(f.ListView1, i);
    Click(f.PushButton1);
    const QString t = f.ListView1->ItemText(i);
    EXPECT_EQ(Column(db.Details(), "SELECT " + MySQL::QuoteName("or`der " + t) + " FROM " + MySQL::QuoteName(t)),
              QStringList({"Mixed Case", "O'neil"}))
        << t.toStdString();
  }
  EXPECT_EQ(Reports(), 0);
}

TEST_F(FaultTest, AwkwardConnectionDetailsFailQuietly) {
  TestDatabase db;
  const auto good = db.Details();
  // Semicolons and braces in the details are quoted in the connection
  // string: each is the login as typed, which the server refuses (no such
  // user, another password), and the probe says so without a report.
  EXPECT_TRUE(MySQL::CanConnect(good));
  for (const auto& d : QList<MySQL::ConnectionDetails>{
           {good.server, good.user + ";x", good.password, good.database, good.port, {}},
           {good.server, good.user, "{" + good.password + "}", good.database, good.port, {}},
           {good.server, good.user, "{" + good.password, good.database, good.port, {}}}) {
    bool can = true;
    EXPECT_NO_THROW(can = MySQL::CanConnect(d));
    EXPECT_FALSE(can) << d.user.toStdString() << " " << d.password.toStdString();
  }
  const QList<MySQL::ConnectionDetails> bad = {
      {good.server, QString::fromUtf16(u"üser"), good.password, good.database, good.port, {}},
      {QString(1000, u's'), good.user, good.password, good.database, good.port, {}},
      {good.server, QString(1000, u'u'), QString(1000, u'p'), QString(1000, u'd'), good.port, {}},
      {good.server, good.user, good.password, good.database, "not a port", {}},
  };
  for (const auto& d : bad) EXPECT_FALSE(MySQL::CanConnect(d));
  Form1& f = Start();
  f.Text1->setText(QString(1000, u's'));
  f.Text5->setText("port;DRIVER={x}");
  Click(f.PushButton3);
  Click(f.PushButton5);
  EXPECT_TRUE(f.isVisible());
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, Form1::kConnectFailed);
}

TEST_F(FaultTest, CorruptedSettingsFilesStartWithDefaults) {
  for (const QByteArray& content :
       {QByteArray("[Norvale]\nMyServer=db.example\nMyPo"), QByteArray("\x00\x01\xff\xfe[Nor\x00vale]\n\xff", 14),
        QByteArray("[Norvale]\nCombo1=\nMyUser=a,b,c\n")}) {
    form1.reset();
    boxes.boxes.clear();
    QFile file(Main::SettingsFilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    Form1& f = Start();
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.Text1->text().isNull());
    EXPECT_TRUE(boxes.boxes.empty());
  }
  EXPECT_EQ(Main::GetSetting("MyUser", "?"), "a,b,c");
}
