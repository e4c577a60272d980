#include <QApplication>
#include <QMenu>
#include <QRandomGenerator>
#include <QTimer>

#include "caserules/case.h"
#include "journal/store.h"
#include "tests/support/journal.h"
#include "tests/windows/fixture.h"

namespace {

class UndoTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    // Each test has a journal of its own.
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
  }
  void Choose(Form2& f, const QString& table, const QString& field) {
    for (int i = 1; i <= f.ListView1->Count(); ++i)
      if (f.ListView1->ItemText(i) == table) ClickItem(f.ListView1, i);
    for (int i = 1; i <= f.ListView2->Count(); ++i)
      if (f.ListView2->ItemText(i) == field) ClickItem(f.ListView2, i);
    ASSERT_EQ(f.ListView1->SelectedText(), table);
    ASSERT_EQ(f.ListView2->SelectedText(), field);
  }
  void Run(Form2& f, int mode) {
    f.Combo1->setCurrentIndex(mode);
    Click(f.PushButton1);
  }
  void CtrlZ(Form2& f) { QTest::keyClick(&f, Qt::Key_Z, Qt::ControlModifier); }
  const ShownBox& Last() const { return boxes.boxes.back(); }
  static QString Result(qint64 restored, qint64 left) {
    return QStringLiteral("%1 rows restored, %2 rows changed since were left as they are.").arg(restored).arg(left);
  }

  QTemporaryDir data;
};

QString S(const char16_t* text) { return QString::fromUtf16(text); }

// Seeds of values that collide, as in the run's tests: case variants,
// pieces of each other, trailing spaces, escapes and NULs.
const QStringList& Seeds() {
  static const QStringList seeds = {
      "apple", "big apple", "APPLE", "Apple", "apple ", " apple", "a", "A", "", "o'neil", "O'NEIL", "c:\\dir\\",
      "end\\", "back\\'slash", "'", "100%", "_", S(u"straße"), S(u"İstanbul"), S(u"ΟΔΟΣ σοφος"),
      S(u"emoji 😀 face"), S(u"émile zola"), "jean-luc picard", "tab\there", "cr\rlf\nend",
      QString("nul") + QChar(0) + "in it", S(u"ÿ and µ")};
  return seeds;
}

}  // namespace

// The property: a run and its undo give back every row byte for byte, in
// every mode, collation and engine.
TEST_F(UndoTest, RunThenUndoGivesBackEveryRowExactly) {
  QRandomGenerator random(4242);
  const char* types[] = {"VARCHAR(200) CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci",
                         "VARCHAR(200) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin", "VARCHAR(200) CHARACTER SET latin1",
                         "LONGTEXT CHARACTER SET utf8mb4"};
  TestDatabase db;
  for (const char* engine : {"InnoDB", "MyISAM"}) {
    for (const char* type : types) {
      for (int mode = 0; mode < 5; ++mode) {
        SCOPED_TRACE(QStringLiteral("%1 %2 mode %3").arg(engine, type).arg(mode).toStdString());
        const QString table = QStringLiteral("p%1").arg(mode);
        db.Exec({"DROP TABLE IF EXISTS " + table,
                 QStringLiteral("CREATE TABLE %1 (id INT PRIMARY KEY, v %2, KEY (v(20))) ENGINE=%3").arg(table, type, engine),
                 QStringLiteral("INSERT INTO %1 VALUES %2").arg(table, RowLiterals(CollidingValues(random, Seeds(), QString(type).contains("latin1"), 250)))});
        const QString bytes = QStringLiteral("SELECT IFNULL(HEX(v), 'NULL') FROM %1 ORDER BY id").arg(table);
        const QStringList before = db.Values(bytes);
        form1.reset();
        boxes.boxes.clear();
        Form2& f = OpenForm2(db.Details());
        Choose(f, table, "v");
        Run(f, mode);
        const QStringList after = db.Values(bytes);
        int changed = 0;
        for (int i = 0; i < before.size(); ++i) changed += before[i] != after[i];
        ASSERT_GT(changed, 0) << (boxes.boxes.empty() ? std::string() : boxes.boxes[0].text.toStdString());
        boxes.boxes.clear();
        CtrlZ(f);
        ASSERT_EQ(boxes.boxes.size(), 2u);
        EXPECT_TRUE(boxes.boxes[0].question);
        EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("Rows: %1").arg(changed))) << boxes.boxes[0].text.toStdString();
        EXPECT_EQ(Last().text, Result(changed, 0));
        EXPECT_EQ(db.Values(bytes), before);
      }
    }
  }
}

TEST_F(UndoTest, TwoRunsTwoUndosAndNothingLeft) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (a INT NOT NULL, b VARCHAR(10) NOT NULL, v VARCHAR(60), n INT, UNIQUE KEY (n), "
           "UNIQUE KEY (a, b))",
           "INSERT INTO t VALUES (1, 'x', 'ann o''NEIL', NULL), (1, 'X2', 'BOB smith', 7), (2, 'x', 'ann o''NEIL', 8)"});
  const QStringList original = db.Values("SELECT v FROM t ORDER BY a, b");
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  Run(f, 0);  // UPPER CASE
  Run(f, 2);  // Proper Case
  ASSERT_EQ(db.Values("SELECT v FROM t ORDER BY a, b"), QStringList({"Ann O'neil", "Bob Smith", "Ann O'neil"}));
  boxes.boxes.clear();
  CtrlZ(f);
  ASSERT_EQ(boxes.boxes.size(), 2u);
  const QString question = boxes.boxes[0].text;
  EXPECT_TRUE(question.contains(S(u"table “t”, field “v”")) && question.contains("Mode: Proper Case") &&
              question.contains("Rows: 3") && question.contains("Time: "))
      << question.toStdString();
  EXPECT_EQ(Last().text, Result(3, 0));
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY a, b"), QStringList({"ANN O'NEIL", "BOB SMITH", "ANN O'NEIL"}));
  EXPECT_EQ(Items(f.ListView3), QStringList({"ANN O'NEIL", "BOB SMITH", "ANN O'NEIL"}));  // the preview is read again
  CtrlZ(f);
  EXPECT_TRUE(boxes.boxes[2].text.contains("Mode: UPPER CASE"));
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY a, b"), original);
  boxes.boxes.clear();
  CtrlZ(f);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(Last().text, S(u"There is no run on table “t”, field “v” to undo."));
}

TEST_F(UndoTest, RowsEditedSinceAreLeftAndCountedAndNoKeepsEverything) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40)) ENGINE=InnoDB",
           "INSERT INTO t VALUES (1, 'one'), (2, 'two'), (3, 'three'), (4, 'four'), (5, 'one')"});
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  Run(f, 0);
  db.Exec({"UPDATE t SET v = 'edited' WHERE id = 2", "UPDATE t SET v = 'ONE ' WHERE id = 5", "DELETE FROM t WHERE id = 4"});
  boxes.answer = false;
  CtrlZ(f);
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"ONE", "edited", "THREE", "ONE "}));
  boxes.answer = true;
  boxes.boxes.clear();
  CtrlZ(f);
  EXPECT_EQ(Last().text, Result(2, 3));
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"one", "edited", "three", "ONE "}));
  EXPECT_EQ(f.ProgressBar1->value(), 0);
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
}

TEST_F(UndoTest, AValueThatWarnsIsUndoneWithTheRestAndCountedOnce) {
  // In upper case each 'ɐ' takes a byte more: the value outgrows its
  // 255-byte column by trailing spaces, which the server cuts with only a
  // note. InnoDB takes the batch back and it goes again without that value;
  // MyISAM keeps every change, which must be journaled all the same.
  const QString grows = QString(84, QChar(0x0250)) + QString(87, u' ');
  for (const char* engine : {"InnoDB", "MyISAM"}) {
    SCOPED_TRACE(engine);
    const bool kept = QString(engine) == "MyISAM";
    TestDatabase db;
    db.Exec({QStringLiteral("CREATE TABLE t (id INT PRIMARY KEY, v TINYTEXT CHARACTER SET utf8mb4) ENGINE=%1").arg(engine),
             S(u"INSERT INTO t VALUES (1, 'abc'), (2, '") + grows + S(u"'), (3, 'xyz'), (4, 'élan')")});
    const QString bytes = "SELECT HEX(v) FROM t ORDER BY id";
    const QStringList before = db.Values(bytes);
    form1.reset();
    boxes.boxes.clear();
    Form2& f = OpenForm2(db.Details());
    Choose(f, "t", "v");
    Run(f, 0);
    // Sent again alone to learn its warning, the statement finds its row
    // changed already where the table kept it: the box then says so in
    // general words.
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(boxes.boxes[0].text.contains(kept ? "did not store the value exactly" : "truncated"))
        << boxes.boxes[0].text.toStdString();
    EXPECT_EQ(db.Values("SELECT v FROM t WHERE id <> 2 ORDER BY id"), QStringList({"ABC", "XYZ", S(u"ÉLAN")}));
    boxes.boxes.clear();
    CtrlZ(f);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("Rows: %1").arg(kept ? 4 : 3))) << boxes.boxes[0].text.toStdString();
    EXPECT_EQ(Last().text, Result(kept ? 4 : 3, 0));
    EXPECT_EQ(db.Values(bytes), before);
  }
}

TEST_F(UndoTest, KeylessTablesRunAsBeforeAndUndoSaysWhy) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (v VARCHAR(40), n INT, UNIQUE KEY (n))", "INSERT INTO t VALUES ('ab', 1), ('ab', NULL), ('cd', 2)",
           "CREATE TABLE k (v VARCHAR(40) PRIMARY KEY)", "INSERT INTO k VALUES ('ab'), ('cd')"});
  Form2& f = OpenForm2(db.Details());
  for (const QString table : {"t", "k"}) {
    Choose(f, table, "v");
    Run(f, 0);
    boxes.boxes.clear();
    CtrlZ(f);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_FALSE(Last().question);
    EXPECT_TRUE(Last().text.contains("cannot be undone exactly") && Last().text.contains("Nothing was changed."))
        << Last().text.toStdString();
  }
  EXPECT_TRUE(boxes.boxes[0].text.contains("the field itself"));
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY v"), QStringList({"AB", "AB", "CD"}));
  // The journal keeps each pair once.
  Journal::Store store;
  const auto d = db.Details();
  const auto run = store.LastRun({d.server, d.port, d.database, "t", "v"});
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->rows, 3);  // as the server counted them
  EXPECT_EQ(run->values, 2);
  QStringList pairs;
  for (const Journal::Entry& e : JournalEntries(store.Path(), run->id)) {
    pairs << QString::fromUtf8(e.oldValue + ">" + e.newValue + "x" + QByteArray::number(e.rows));
    EXPECT_TRUE(e.key.isEmpty());
  }
  EXPECT_EQ(pairs, QStringList({"ab>ABx1", "cd>CDx1"}));
}

TEST_F(UndoTest, AGeneratedOrJsonColumnIsRefusedWithOneReportAndNothingJournaled) {
  TestDatabase db;
  db.Exec({"CREATE TABLE g (id INT PRIMARY KEY, a VARCHAR(20), b VARCHAR(20) AS (LOWER(a)) STORED, j JSON)",
           "INSERT INTO g (id, a, j) VALUES (1, 'ÉCOLE', '{\"clé\":\"vé\"}')"});
  const QString all = "SELECT CONCAT_WS('|', HEX(a), HEX(b), HEX(j)) FROM g";
  const QStringList before = db.Values(all);
  Form2& f = OpenForm2(db.Details());
  for (const QString field : {"b", "j"}) {
    boxes.boxes.clear();
    Choose(f, "g", field);
    Run(f, 0);
    ASSERT_EQ(boxes.boxes.size(), 1u) << field.toStdString();
    EXPECT_TRUE(Last().text.contains(QStringLiteral("The field %1 ").arg(field))) << Last().text.toStdString();
    EXPECT_TRUE(Last().text.contains("line 116")) << Last().text.toStdString();
    EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  }
  EXPECT_EQ(db.Values(all), before);
  Journal::Store store;
  EXPECT_TRUE(store.Runs({}).empty());
}

// The journal takes values of any content: a 16 MB value and NULs come
// back exactly, through a unique key of two columns of other types.
TEST_F(UndoTest, LargeValuesAndAwkwardKeysComeBackExactly) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (d DATETIME(3) NOT NULL, s VARCHAR(20) CHARACTER SET latin1 NOT NULL, v LONGTEXT, "
           "PRIMARY KEY (d, s))",
           "INSERT INTO t VALUES ('2024-01-02 03:04:05.678', 'k''ey\\\\', REPEAT('ab\\0c', 4 * 1024 * 1024)), "
           "('2024-01-02 03:04:05.679', 'k''ey\\\\', 'small\\0 one')"});
  const QString sums = "SELECT CONCAT(LENGTH(v), ':', MD5(v)) FROM t ORDER BY d";
  const QStringList before = db.Values(sums);
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  Run(f, 0);
  ASSERT_NE(db.Values(sums), before);
  boxes.boxes.clear();
  CtrlZ(f);
  EXPECT_EQ(Last().text, Result(2, 0));
  EXPECT_EQ(db.Values(sums), before);
}

TEST_F(UndoTest, AnUnwritableJournalStopsTheRunBeforeItsFirstStatement) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))", "INSERT INTO t VALUES (1, 'keep me')"});
  // A file where the journal's folder should be: nothing can be created.
  QFile blocker(data.filePath("norvale"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  // The server's count of UPDATE statements, from all sessions.
  const auto updates = [&] {
    return db.Values("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'COM_UPDATE'");
  };
  const QStringList updatesBefore = updates();
  Run(f, 0);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(Last().title, "Norvale");
  EXPECT_TRUE(Last().text.startsWith("The run was not started, and nothing was changed: its undo journal cannot be written."))
      << Last().text.toStdString();
  EXPECT_EQ(updates(), updatesBefore);
  EXPECT_EQ(db.Values("SELECT v FROM t"), QStringList({"keep me"}));
  EXPECT_EQ(Items(f.ListView3), QStringList({"keep me"}));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  EXPECT_FALSE(f.Busy());
}

TEST_F(UndoTest, ThePreviewMenuOffersUndo) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))", "INSERT INTO t VALUES (1, 'mixed Case')"});
  Form2& f = OpenForm2(db.Details());
  Run(f, 1);
  QString offered;
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    offered = menu->actions().value(0)->text();
    menu->actions().value(0)->trigger();
    menu->close();
  });
  emit f.ListView3->customContextMenuRequested(QPoint(5, 5));
  EXPECT_EQ(offered, S(u"Undo Last Run…"));
  EXPECT_EQ(db.Values("SELECT v FROM t"), QStringList({"mixed Case"}));
}

// The journal is written from the records before each batch goes, so it
// holds every row the run changed, however the run ends: a batch that fails
// half-way on a table without transactions, a row another client changes
// after the run read it, a key no value written back finds.
TEST_F(UndoTest, TheJournalHoldsEveryRowTheRunChangedHoweverItEnds) {
  TestDatabase db;
  const QString original = "SELECT v FROM t ORDER BY id";
  {
    SCOPED_TRACE("a batch that fails half-way on MyISAM");
    db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40)) ENGINE=MyISAM",
             "INSERT INTO t SELECT seq, CONCAT('name ', seq) FROM seq_1_to_400",
             "CREATE TRIGGER fail BEFORE UPDATE ON t FOR EACH ROW "
             "IF NEW.id = 150 THEN SIGNAL SQLSTATE '08S01' SET MYSQL_ERRNO = 1927, MESSAGE_TEXT = 'link lost'; END IF"});
    const QStringList before = db.Values(original);
    Form2& f = OpenForm2(db.Details());
    Choose(f, "t", "v");
    Run(f, 0);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(Last().text.contains("link lost")) << Last().text.toStdString();
    ASSERT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)"), QStringList{"149"});
    db.Exec("DROP TRIGGER fail");
    boxes.boxes.clear();
    CtrlZ(f);
    EXPECT_EQ(Last().text, Result(149, 0));
    EXPECT_EQ(db.Values(original), before);
    form1.reset();
    db.Exec("DROP TABLE t");
  }
  {
    SCOPED_TRACE("a row set to another row's old value after the run read it");
    boxes.boxes.clear();
    db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
             "INSERT INTO t SELECT seq, IF(seq = 300, 'zzz', CONCAT('name ', seq MOD 7)) FROM seq_1_to_600"});
    const QStringList before = db.Values(original);
    Form2& f = OpenForm2(db.Details());
    Choose(f, "t", "v");
    // The bar moves once the run has read the rows.
    bool changed = false;
    QObject::connect(f.ProgressBar1, &QProgressBar::valueChanged, [&](int value) {
      if (value == 0 || changed) return;
      changed = true;
      db.Exec("UPDATE t SET v = 'name 1' WHERE id = 300");
    });
    Run(f, 0);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(db.Values("SELECT v FROM t WHERE id = 300"), QStringList{"name 1"});
    EXPECT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)"), QStringList{"599"});
    CtrlZ(f);
    // The run knew that row was not its own to change: the journal never
    // held it.
    EXPECT_EQ(Last().text, Result(599, 0));
    QStringList expected = before;
    expected[299] = "name 1";
    EXPECT_EQ(db.Values(original), expected);
    form1.reset();
    db.Exec("DROP TABLE t");
  }
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "values over 64 KB among small ones, the run's connection lost near its end"
                        : "values over 64 KB among small ones");
    boxes.boxes.clear();
    db.Exec({"DROP TABLE IF EXISTS t", "CREATE TABLE t (id INT PRIMARY KEY, v MEDIUMTEXT) ENGINE=InnoDB",
             "INSERT INTO t SELECT seq, IF(seq % 100 = 0, REPEAT('long text ', 7000), CONCAT('small ', seq)) "
             "FROM seq_1_to_3000"});
    if (killed)
      db.Exec("CREATE TRIGGER fail BEFORE UPDATE ON t FOR EACH ROW IF NEW.id = 2950 THEN SIGNAL SQLSTATE '08S01' "
              "SET MYSQL_ERRNO = 1927, MESSAGE_TEXT = 'link lost'; END IF");
    const QString bytes = "SELECT MD5(GROUP_CONCAT(HEX(v) ORDER BY id)) FROM t";
    const QStringList before = db.Values(bytes);
    form1.reset();
    Form2& f = OpenForm2(db.Details());
    Choose(f, "t", "v");
    Run(f, 0);
    EXPECT_EQ(boxes.boxes.size(), killed ? 1u : 0u);
    const QString converted = db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)").value(0);
    if (!killed) {
      EXPECT_EQ(converted, "3000");
    }
    if (killed) db.Exec("DROP TRIGGER fail");
    boxes.boxes.clear();
    CtrlZ(f);
    EXPECT_EQ(Last().text, Result(converted.toLongLong(), 0));
    EXPECT_EQ(db.Values(bytes), before);
  }
  {
    SCOPED_TRACE("a 700-byte key under a 1 MB packet");
    boxes.boxes.clear();
    db.Exec({"DROP TABLE IF EXISTS t",
             "CREATE TABLE t (k VARCHAR(700) CHARACTER SET ascii PRIMARY KEY, v VARCHAR(40)) ENGINE=InnoDB",
             "INSERT INTO t SELECT CONCAT(REPEAT('k', 690), LPAD(seq, 10, '0')), CONCAT('name ', seq) FROM seq_1_to_3000"});
    const QStringList before = db.Values("SELECT v FROM t ORDER BY k");
    {
      const GlobalSetting packet("max_allowed_packet", "1048576");
      form1.reset();
      Form2& f = OpenForm2(db.Details());
      Choose(f, "t", "v");
      Run(f, 0);
        EXPECT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)"), QStringList{"3000"});
      CtrlZ(f);
      EXPECT_EQ(Last().text, Result(3000, 0));
    }
    EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY k"), before);
    form1.reset();
    db.Exec("DROP TABLE t");
  }
  {
    SCOPED_TRACE("a FLOAT key");
    boxes.boxes.clear();
    db.Exec({"CREATE TABLE t (id FLOAT PRIMARY KEY, v VARCHAR(40))", "INSERT INTO t VALUES (1.1, 'a'), (2.2, 'b'), (3.3, 'c')"});
    Form2& f = OpenForm2(db.Details());
    Choose(f, "t", "v");
    Run(f, 0);
    EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"A", "B", "C"}));
    CtrlZ(f);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(Last().text.contains("FLOAT or DOUBLE") && Last().text.contains("Nothing was changed."))
        << Last().text.toStdString();
  }
}

// Every kind of key a table may have finds its row, when the run sends its
// records in groups (InnoDB) and one by one (MyISAM), and when undo puts
// them back; a case-insensitive key never finds its row's case variant.
TEST_F(UndoTest, EveryKindOfKeyFindsItsRowsBothWays) {
  struct Kind {
    const char* columns;  // the key's columns, the field `v` last
    const char* key;
    const char* row;      // the key's values for seq
  };
  const Kind kinds[] = {
      {"a INT NOT NULL, b VARCHAR(10) NOT NULL", "a, b", "seq DIV 3, CONCAT('k', seq MOD 3)"},
      {"d DATETIME(6) NOT NULL", "d", "'2024-02-29 23:59:59.999999' - INTERVAL seq SECOND"},
      {"s TIMESTAMP NOT NULL DEFAULT '2000-01-01 00:00:00'", "s", "FROM_UNIXTIME(1700000000 + seq * 3600)"},
      {"m DECIMAL(30,10) NOT NULL", "m", "seq / 7"},
      {"c VARCHAR(20) CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci NOT NULL", "c",
       "IF(seq MOD 2, CONCAT('Key', seq), CONCAT('kéy', seq))"},
      {"x BINARY(4) NOT NULL", "x", "UNHEX(LPAD(HEX(seq * 65537), 8, '0'))"},
  };
  TestDatabase db;
  // Sessions start in a zone of their own; keys of TIMESTAMP columns must
  // still find their rows.
  db.Exec("SET GLOBAL time_zone = '+05:30'");
  struct Restore {
    TestDatabase& db;
    ~Restore() { db.Exec("SET GLOBAL time_zone = SYSTEM"); }
  } restore{db};
  for (const char* engine : {"InnoDB", "MyISAM"}) {
    for (const Kind& kind : kinds) {
      SCOPED_TRACE(QStringLiteral("%1 %2").arg(engine, kind.columns).toStdString());
      db.Exec({"DROP TABLE IF EXISTS t",
               QStringLiteral("CREATE TABLE t (%1, v VARCHAR(40), PRIMARY KEY (%2)) ENGINE=%3")
                   .arg(kind.columns, kind.key, engine),
               QStringLiteral("INSERT INTO t SELECT %1, CONCAT('name ', seq MOD 5, ' é') FROM seq_0_to_299").arg(kind.row)});
      const QStringList before = db.Values("SELECT HEX(v) FROM t ORDER BY " + QString(kind.key));
      form1.reset();
      boxes.boxes.clear();
      Form2& f = OpenForm2(db.Details());
      Choose(f, "t", "v");
      Run(f, 0);
        EXPECT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)"), QStringList{"300"});
      boxes.boxes.clear();
      CtrlZ(f);
      EXPECT_EQ(Last().text, Result(300, 0));
      EXPECT_EQ(db.Values("SELECT HEX(v) FROM t ORDER BY " + QString(kind.key)), before);
    }
  }
}

// A gbk column holds values whose second byte is a backslash (乗 is 81 5C):
// each mode converts them exactly, and undo gives back the very bytes.
TEST_F(UndoTest, AGbkColumnConvertsAndComesBackExactly) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(60) CHARACTER SET gbk)",
           QString::fromUtf16(u"INSERT INTO t VALUES (1, '乗'',0x41) IS NULL#'), (2, 'ΟΔΥΣΣΕΥΣ κΑΖΑΝΤΖΑΚΗΣ'), "
                              u"(3, 'фёдор ДОСТОЕВСКИЙ'), (4, '付 孔子 乗 村上春樹 mixed CASE'), (5, 'o''neil \\\\ 乗\\\\')")});
  const QString bytes = "SELECT HEX(v) FROM t ORDER BY id";
  const QStringList before = db.Values(bytes), texts = db.Values("SELECT v FROM t ORDER BY id");
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE(mode);
    boxes.boxes.clear();
    Run(f, mode);
    QStringList expected;
    for (const QString& text : texts) expected << Case::ConvertCase(Case::CaseMode(mode), text);
    EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), expected);
    boxes.boxes.clear();
    CtrlZ(f);
    EXPECT_EQ(db.Values(bytes), before);
  }
}

// A column of few values over many rows, as countries or states are: every
// row converted, and every row back.
TEST_F(UndoTest, AColumnOfThreeValuesOverManyRowsConvertsAndComesBack) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(20))",
           "INSERT INTO t SELECT seq, ELT(1 + seq MOD 3, 'germany', 'france', 'spain') FROM seq_1_to_200000"});
  const QString sums = "SELECT v, COUNT(*), BIT_XOR(CRC32(CONCAT(id, HEX(v)))) FROM t GROUP BY BINARY v ORDER BY 1";
  const QStringList before = db.Values(sums);
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  Run(f, 2);  // Proper Case
  for (const auto& b : boxes.boxes) ADD_FAILURE() << b.text.toStdString();
  EXPECT_EQ(db.Values("SELECT CONCAT(v, ' ', COUNT(*)) FROM t GROUP BY BINARY v ORDER BY 1"),
            QStringList({"France 66667", "Germany 66666", "Spain 66667"}));
  boxes.boxes.clear();
  CtrlZ(f);
  EXPECT_EQ(Last().text, Result(200000, 0));
  EXPECT_EQ(db.Values(sums), before);
}
