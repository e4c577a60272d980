#include <QRandomGenerator>
#include <QTimer>

#include "caserules/case.h"
#include "tests/windows/fixture.h"
#include "database/rewrite.h"
#include "database/valuejoin.h"

namespace {

class RunTest : public WindowTest {
 protected:
  void Choose(Form2& f, const QString& table, const QString& field) {
    for (int i = 1; i <= f.ListView1->Count(); ++i)
      if (f.ListView1->ItemText(i) == table) ClickItem(f.ListView1, i);
    for (int i = 1; i <= f.ListView2->Count(); ++i)
      if (f.ListView2->ItemText(i) == field) ClickItem(f.ListView2, i);
    ASSERT_EQ(f.ListView1->SelectedText(), table);
    ASSERT_EQ(f.ListView2->SelectedText(), field);
  }
  int Reports() const {
    int n = 0;
    for (const auto& b : boxes.boxes) n += b.title == "Application Error";
    return n;
  }
};

QString S(const char16_t* text) { return QString::fromUtf16(text); }

// Real names in many scripts, in messy case.
QStringList ManyScripts() {
  return {
      S(u"RAÚL ØRSTED-último"),          S(u"ÙNA ÛBER Ú"),
      S(u"zoë d\u0301ÉJÀ VU"),           S(u"ǘ Ǘ ǚ"),
      S(u"ΟΔΥΣΣΕΎΣ κΑΖΑΝΤΖΆΚΗΣ"),       S(u"ΣΊΣΥΦΟΣ ς"),
      S(u"фёДОР ДОСТОЕВСКИЙ"),           S(u"ӘЛИХАН ә Ә"),
      S(u"דוד בן־גוריון טיךכ"),          S(u"محمد بن موسى الخوارزمي"),
      S(u"ილია ჭავჭავაძე"),              S(u"ᲘᲚᲘᲐ ᲭᲐᲕᲭᲐᲕᲐᲫᲔ"),
      S(u"ՄԵՍՐՈՊ մաշտոց"),               S(u"ᏣᎳᎩ ꮳꮃꭹ"),
      S(u"付 孔子 老子 村上春樹"),       S(u"김영하 한강"),
      S(u"İSTANBUL ırmak"),              S(u"o'NEIL \\ back\\slash"),
  };
}

}  // namespace

TEST(Statements, ValuesTravelAsHexAndNamesDoubleTheirAccents) {
  // Whatever a value holds, it stands in the statement as hex: nothing in it
  // can end a literal, under any character set the server reads it in.
  const QString hostile = S(u"乗',0x41) IS NULL#\n#\\'\"`;--");
  const QByteArray old = hostile.toUtf8(), now = hostile.toUpper().toUtf8();
  const QString keyed = Rewrite::KeyedStatement("t`", "f`", "`id` = 1", old, now);
  const QString byValue = Rewrite::ValueStatement("t`", "f`", old, now, "utf8mb4");
  for (const QString& statement : {keyed, byValue}) {
    EXPECT_TRUE(statement.startsWith("UPDATE `t``` SET `f``` = 0x")) << qPrintable(statement);
    EXPECT_FALSE(statement.contains(hostile)) << qPrintable(statement);
    EXPECT_TRUE(statement.endsWith(QStringLiteral("CAST(`f``` AS BINARY) = 0x%1;").arg(QString::fromLatin1(old.toHex()))))
        << qPrintable(statement);
  }
  EXPECT_EQ(EscapeValue(QString("C:\\") + QChar(0) + "'"), "C:\\\\\\0\\'");
  EXPECT_EQ(Rewrite::FieldQuery("we`ird", "co`l"), "SELECT `co``l` FROM `we``ird`");
  EXPECT_EQ(Rewrite::SessionModeStatement("STRICT_TRANS_TABLES,NO_BACKSLASH_ESCAPES,ANSI_QUOTES"),
            "SET SESSION sql_mode = 'STRICT_TRANS_TABLES,STRICT_ALL_TABLES';");
  // The names that stand for ANSI_QUOTES among others go, what they stood
  // for otherwise stays; a session that only reads is not made strict.
  EXPECT_EQ(Rewrite::SessionModeStatement("REAL_AS_FLOAT,PIPES_AS_CONCAT,ANSI_QUOTES,IGNORE_SPACE,ANSI", false),
            "SET SESSION sql_mode = 'REAL_AS_FLOAT,PIPES_AS_CONCAT,IGNORE_SPACE';");
  EXPECT_EQ(Rewrite::SessionModeStatement(""), "SET SESSION sql_mode = 'STRICT_ALL_TABLES';");
}

// A run without a key tells its values apart by digest: every BMP unit
// alone, after a space and beside its neighbour, and the names in every case,
// must each get a number of its own, and the same number when seen again.
TEST(Statements, EveryDistinctTextGetsANumberOfItsOwn) {
  QStringList texts;
  for (int u = 0; u < 0x10000; ++u) {
    const QChar c = QChar(char16_t(u));
    texts << QString(c) << QString(c) + u' ' << QString(c) + QChar(char16_t((u + 1) & 0xFFFF));
  }
  for (const QString& name : ManyScripts())
    for (int mode = 0; mode < 4; ++mode) texts << Case::ConvertCase(Case::CaseMode(mode), name) << name + QString(1000, u'x');
  texts.removeDuplicates();
  Rewrite::DistinctValues distinct;
  for (qsizetype i = 0; i < texts.size(); ++i) ASSERT_EQ(distinct.Insert(texts[i]), std::make_pair(i, true)) << i;
  for (qsizetype i = texts.size(); i-- > 0;) ASSERT_EQ(distinct.Insert(texts[i]), std::make_pair(i, false)) << i;
  EXPECT_EQ(distinct.Size(), texts.size());
  // Each was counted twice; one held by very many records goes on counting.
  for (int i = 0; i < 70000; ++i) distinct.Insert(texts[7]);
  EXPECT_EQ(distinct.Count(7), 70002);
  EXPECT_EQ(distinct.Count(8), 2);

  // Only the last two generations are remembered: a text seen again within
  // them keeps its number, its count and its first record; after them it
  // gets a new number, and the old one is forgotten.
  Rewrite::DistinctValues few(2);
  for (qsizetype i = 0; i < 6; ++i) ASSERT_EQ(few.Insert(texts[i], 100 + i), std::make_pair(i, true)) << i;
  EXPECT_EQ(few.Insert(texts[2], 200), std::make_pair(qsizetype(2), false));  // the generation before
  EXPECT_EQ(few.Insert(texts[5], 201), std::make_pair(qsizetype(5), false));
  EXPECT_EQ(few.Count(2), 2);
  EXPECT_EQ(few.FirstRecord(2), 102);
  EXPECT_EQ(few.Count(1), -1);
  EXPECT_EQ(few.FirstRecord(0), -1);
  EXPECT_EQ(few.Insert(texts[0], 202), std::make_pair(qsizetype(6), true));
  EXPECT_EQ(few.FirstRecord(6), 202);
  EXPECT_EQ(few.Count(2), -1);  // its generation went when 6 began one
  EXPECT_EQ(few.Size(), 7);
}

TEST_F(RunTest, ProgressPreviewAndRowsAfterARun) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
           "INSERT INTO t VALUES (1, 'HELLO. HOW ARE YOU?'), (2, 'ann o''neil'), (3, NULL), (4, 'jean-luc')"});
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  f.Combo1->setCurrentIndex(3);  // Sentence case
  QList<int> progress;
  QObject::connect(f.ProgressBar1, &QProgressBar::valueChanged, [&](int v) { progress << v; });
  Click(f.PushButton1);
  EXPECT_EQ(progress, QList<int>({25, 50, 75, 100, 0}));
  EXPECT_EQ(f.ProgressBar1->text(), "Progress Bar");
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  EXPECT_EQ(Items(f.ListView3), QStringList({"Hello. how are you?", "Ann o'neil", "", "Jean-luc"}));
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"),
            QStringList({"Hello. how are you?", "Ann o'neil", "NULL", "Jean-luc"}));
  EXPECT_TRUE(boxes.boxes.empty());
}

// The run, the preview conversion and the list routine apply one rule: a
// first character that is upper case already keeps its own form.
TEST_F(RunTest, SentenceCaseKeepsAFirstCapitalAsItStandsOnTheServerAndInThePreview) {
  TestDatabase db;
  const QStringList before = {S(u"İSTANBUL ırmak"), S(u"ẞTRASSE"), S(u"\u212AELVIN"), S(u"\u212BNGSTRÖM"),
                              S(u"\u2126HM"), S(u"ϴΗΤΑ"), S(u"\U00010400\U00010400"), S(u"ιΣΤΟΣ")};
  const QStringList after = {S(u"İstanbul ırmak"), S(u"ẞtrasse"), S(u"\u212Aelvin"), S(u"\u212Bngström"),
                             S(u"\u2126hm"), S(u"ϴητα"), S(u"\U00010400\U00010428"), S(u"Ιστοσ")};
  db.Exec("CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin)");
  for (int i = 0; i < before.size(); ++i)
    db.Exec(QStringLiteral("INSERT INTO t VALUES (%1, '%2')").arg(i).arg(before[i]));
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  ASSERT_EQ(Items(f.ListView3), before);
  f.Combo1->setCurrentIndex(3);  // Sentence case
  Click(f.PushButton1);
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), after);
  EXPECT_EQ(Items(f.ListView3), after);
  // A fresh preview reads back what the run stored.
  Choose(f, "t", "id");
  Choose(f, "t", "v");
  EXPECT_EQ(Items(f.ListView3), after);
}

TEST_F(RunTest, SubstringsAndCaseVariantsAreNeverCrossed) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
           "INSERT INTO t VALUES (1, 'apple'), (2, 'big apple'), (3, 'a'), (4, 'banana'), (5, 'APPLE'), (6, 'apple ')"});
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  f.Combo1->setCurrentIndex(2);  // Proper Case
  Click(f.PushButton1);
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"),
            QStringList({"Apple", "Big Apple", "A", "Banana", "Apple", "Apple "}));
}

TEST_F(RunTest, EmptyFieldListNoModeAndEmptyTable) {
  TestDatabase db;
  Form2& f = OpenForm2(db.Details());  // no tables: no fields
  Click(f.PushButton1);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "Please select a field.");
  EXPECT_EQ(boxes.boxes[0].title, "Norvale");
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);

  form1.reset();
  boxes.boxes.clear();
  db.Exec({"CREATE TABLE a (v VARCHAR(10))", "INSERT INTO a VALUES ('keep Me')", "CREATE TABLE b (v VARCHAR(10))"});
  Main::SaveSetting("Combo1", "-1");
  Form2& g = OpenForm2(db.Details());
  ASSERT_EQ(g.Combo1->currentIndex(), -1);
  Click(g.PushButton1);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "mess up");
  EXPECT_EQ(db.Values("SELECT v FROM a"), QStringList({"keep Me"}));
  EXPECT_EQ(Items(g.ListView3), QStringList({"keep Me"}));

  boxes.boxes.clear();
  g.Combo1->setCurrentIndex(0);
  Choose(g, "b", "v");
  Click(g.PushButton1);
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(g.ProgressBar1->value(), 0);
  EXPECT_EQ(g.Pointer().Get(), PointerState::Default);
}

// A failure that every record would meet ends the run after one report; the
// preview then shows the values as the server holds them.
TEST_F(RunTest, DeniedUpdatesEndTheRunWithOneReport) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (v VARCHAR(10))", "INSERT INTO t VALUES ('one'), ('two'), ('three')",
           "DROP USER IF EXISTS 'norvale_ro'@'127.0.0.1'",
           "CREATE USER 'norvale_ro'@'127.0.0.1' IDENTIFIED BY 'ro-pw'",
           QStringLiteral("GRANT SELECT ON `%1`.* TO 'norvale_ro'@'127.0.0.1'").arg(db.Name())});
  auto d = db.Details();
  d.user = "norvale_ro";
  d.password = "ro-pw";
  StoreDetails(d);
  Form1& f1 = Start();
  ASSERT_TRUE(f1.HasForm2());
  Form2& f = f1.GetForm2();
  Click(f.PushButton1);  // UPPER CASE
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_TRUE(boxes.boxes[0].text.contains("UPDATE command denied")) << boxes.boxes[0].text.toStdString();
  EXPECT_TRUE(boxes.boxes[0].text.contains("Form2.PushButton1_Click at line 146")) << boxes.boxes[0].text.toStdString();
  EXPECT_EQ(db.Values("SELECT v FROM t"), QStringList({"one", "two", "three"}));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  EXPECT_EQ(f.ProgressBar1->value(), 0);
  EXPECT_EQ(Items(f.ListView3), QStringList({"one", "two", "three"}));
  db.Exec("DROP USER 'norvale_ro'@'127.0.0.1'");
}

TEST_F(RunTest, ValuesThatCannotConvertGetNoStatementAndBytesAreLeftAlone) {
  TestDatabase db;
  const QString huge = QString(40000, u'x');
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v LONGTEXT, b BLOB)",
           QStringLiteral("INSERT INTO t VALUES (1, 'first one', 0x61), (2, '%1', 0x41), (3, 'third one', 0x6162)").arg(huge)});
  // Bytes that are no text in their column's character set, kept through a
  // change of the column's type, read as '?'.
  for (const char* table : {"keyed", "keyless"}) {
    db.Exec({QStringLiteral("CREATE TABLE %1 (id INT%2, v VARBINARY(20))")
                 .arg(table, QString(table) == "keyed" ? " PRIMARY KEY" : ""),
             QStringLiteral("INSERT INTO %1 VALUES (1, 'caf?'), (2, X'636166E9'), (3, 'abc')").arg(table),
             QStringLiteral("ALTER TABLE %1 MODIFY v VARCHAR(20) CHARACTER SET ascii").arg(table)});
  }
  Form2& f = OpenForm2(db.Details());
  f.Combo1->setCurrentIndex(2);
  Choose(f, "t", "v");
  Click(f.PushButton1);
  // The long value fails at its new-text line; no statement pairs its old
  // text with another record's new text.
  // The preview's own conversion then fails on the same value, at its line,
  // leaving the items before it converted and the rest unchanged.
  ASSERT_EQ(Reports(), 2);
  EXPECT_TRUE(boxes.boxes[0].text.startsWith("Overflow\r\n"));
  EXPECT_TRUE(boxes.boxes[0].text.contains("at line 158"));
  EXPECT_TRUE(boxes.boxes[1].text.contains("at line 194"));
  EXPECT_EQ(Items(f.ListView3), QStringList({"First One", huge, "third one"}));
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"First One", huge, "Third One"}));

  boxes.boxes.clear();
  Choose(f, "t", "b");
  f.Combo1->setCurrentIndex(1);
  Click(f.PushButton1);
  EXPECT_EQ(db.Values("SELECT HEX(b) FROM t ORDER BY id"), QStringList({"61", "41", "6162"}));
  EXPECT_EQ(Reports(), 0);

  // Such a byte is never rewritten: the letters around it change, and the
  // byte the server reads as '?' stays as it was, by key and by the join.
  for (const char* table : {"keyed", "keyless"}) {
    SCOPED_TRACE(table);
    boxes.boxes.clear();
    Choose(f, table, "v");
    f.Combo1->setCurrentIndex(0);
    Click(f.PushButton1);
    EXPECT_EQ(db.Values(QStringLiteral("SELECT HEX(v) FROM %1 ORDER BY id").arg(table)),
              QStringList({"4341463F", "434146E9", "414243"}));
    EXPECT_EQ(Reports(), 0);
  }
}

TEST_F(RunTest, ServerWithoutBackslashEscapesStillConvertsExactly) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40))",
           "INSERT INTO t VALUES (1, 'c:\\\\dir\\\\'), (2, 'it\\\\''s'), (3, 'x\\\\_y%')"});
  const QStringList before = db.Values("SELECT v FROM t ORDER BY id");
  ASSERT_EQ(before, QStringList({"c:\\dir\\", "it\\'s", "x\\_y%"}));
  const QString oldMode = db.Values("SELECT @@GLOBAL.sql_mode").first();
  db.Exec("SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES')");
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  Click(f.PushButton1);  // UPPER CASE
  db.Exec(QStringLiteral("SET GLOBAL sql_mode = '%1'").arg(oldMode));
  EXPECT_EQ(Reports(), 0);
  EXPECT_EQ(db.Values("SELECT v FROM t ORDER BY id"), QStringList({"C:\\DIR\\", "IT\\'S", "X\\_Y%"}));
}

// The property that matters most: after a run every row holds exactly its
// own value converted, or its original value when that could not convert.
TEST_F(RunTest, EveryRowEqualsItsOwnConvertedValue) {
  const QStringList seeds = {
      "apple", "big apple", "APPLE", "Apple", "apple ", "apple  ", " apple", "a", "A", "banana", "an", "",
      "o'neil", "O'NEIL", "it's a 'quote'", "c:\\dir\\", "end\\", "back\\'slash", "\\", "'", "''",
      "100%", "50% off_sale", "_", "%", S(u"straße"), S(u"STRASSE"), S(u"İstanbul"), S(u"ıi"),
      S(u"ΟΔΟΣ σοφος"), S(u"σοφοσ"), S(u"emoji 😀 face"), S(u"émile zola"), "jean-luc picard",
      "HELLO. HOW ARE YOU?", "tab\there", "cr\rlf\nend", S(u"ÿ and µ")};
  QRandomGenerator random(20261207);
  struct Column { const char* type; bool latin1; };
  const Column columns[] = {{"VARCHAR(200) CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci", false},
                            {"VARCHAR(200) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin", false},
                            {"VARCHAR(200) CHARACTER SET latin1", true},
                            {"LONGTEXT CHARACTER SET utf8mb4", false}};
  // Each way the run finds rows: by key; by value through an index; by
  // value joined against the pairs.
  const char* shapes[] = {"id INT PRIMARY KEY, v %1, KEY (v(20))", "id INT, v %1, KEY (v(20))", "id INT, v %1"};
  TestDatabase db;
  for (const char* shape : shapes)
  for (const Column& column : columns) {
    for (int mode = 0; mode < 4; ++mode) {
      SCOPED_TRACE(shape);
      QList<QVariant> values = CollidingValues(random, seeds, column.latin1, 300);
      if (QString(column.type).startsWith("LONGTEXT")) values << QString(70000, u'w') << QString(70000, u'W');
      const QString table = QStringLiteral("p%1").arg(mode);
      db.Exec({QStringLiteral("DROP TABLE IF EXISTS %1").arg(table),
               QStringLiteral("CREATE TABLE %1 (%2)").arg(table, QString(shape).arg(column.type)),
               QStringLiteral("INSERT INTO %1 VALUES %2").arg(table, RowLiterals(values))});
      const QStringList stored = db.Values(QStringLiteral("SELECT v FROM %1 ORDER BY id").arg(table));
      form1.reset();
      boxes.boxes.clear();
      Main::SaveSetting("Combo1", QString::number(mode));
      Form2& f = OpenForm2(db.Details());
      Choose(f, table, "v");
      Click(f.PushButton1);
      const QStringList after = db.Values(QStringLiteral("SELECT v FROM %1 ORDER BY id").arg(table));
      ASSERT_EQ(after.size(), stored.size());
      int mismatches = 0, unconverted = 0;
      for (int i = 0; i < stored.size(); ++i) {
        if (stored[i] == "NULL") {
          mismatches += after[i] != "NULL";
          continue;
        }
        QString expected;
        try {
          expected = Case::ConvertCase(Case::CaseMode(mode), stored[i]);
        } catch (const Case::Overflow&) {
          expected = stored[i];
          ++unconverted;
        }
        // A converted text the column cannot hold is refused by the server
        // and the value stays as it was: only where latin1 cannot hold it.
        const auto fitsLatin1 = [&](const QString& text) {
          return db.Values(QStringLiteral("SELECT HEX(CONVERT(CONVERT(%1 USING latin1) USING utf8mb4)) = HEX(%1)")
                               .arg(MySQL::TextLiteral(text)))
                     .value(0) == "1";
        };
        if (after[i] != expected && !(after[i] == stored[i] && column.latin1 && !fitsLatin1(expected))) {
          ++mismatches;
          ADD_FAILURE() << column.type << " mode " << mode << " row " << i << ": '" << stored[i].toStdString()
                        << "' became '" << after[i].toStdString() << "', expected '" << expected.toStdString() << "'";
        }
      }
      EXPECT_EQ(mismatches, 0) << column.type << " mode " << mode;
      // Only Proper Case counts past 32,766 characters: the two long values.
      const bool longValues = QString(column.type).startsWith("LONGTEXT");
      EXPECT_EQ(unconverted, longValues && mode == 2 ? 2 : 0) << column.type << " mode " << mode;
    }
  }
}

// Real names in many scripts, in messy case, in a table and field whose own
// names hold characters the driver once misread: every row must come back as
// the exact conversion, in every mode, with no box.
TEST_F(RunTest, NamesInManyScriptsConvertExactlyInEveryMode) {
  const QStringList names = ManyScripts();
  const QString table = S(u"Ümläut_ØÙÚÛ_טיךכ_付"), field = S(u"名前_ә_ǘ");
  for (int mode = 0; mode < 5; ++mode) {
    SCOPED_TRACE(mode);
    TestDatabase db;
    QStringList rows;
    for (int i = 0; i < names.size(); ++i) {
      QString literal = names[i];
      literal.replace("\\", "\\\\").replace("'", "\\'");
      rows << QStringLiteral("(%1, '%2')").arg(i).arg(literal);
    }
    db.Exec({"CREATE TABLE " + MySQL::QuoteName(table) + " (id INT PRIMARY KEY, " + MySQL::QuoteName(field) +
                 " VARCHAR(100) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin)",
             "INSERT INTO " + MySQL::QuoteName(table) + " VALUES " + rows.join(", ")});
    Form2& f = OpenForm2(db.Details());
    Choose(f, table, field);
    f.Combo1->setCurrentIndex(mode);
    Click(f.PushButton1);
    QStringList expected;
    for (const QString& n : names) expected << Case::ConvertCase(Case::CaseMode(mode), n);
    EXPECT_EQ(db.Values("SELECT " + MySQL::QuoteName(field) + " FROM " + MySQL::QuoteName(table) + " ORDER BY id"),
              expected);
    EXPECT_EQ(Items(f.ListView3), expected);
    EXPECT_TRUE(boxes.boxes.empty());
    form1.reset();
  }
}

// On a server without strict mode, a value whose conversion does not fit is
// refused, reported once and left exactly as it was, never cut or blanked;
// the other rows of its table are converted.
TEST_F(RunTest, ValuesThatCannotHoldTheirConversionAreRefusedOnANonStrictServer) {
  const QString wide = QString(127, QChar(0x0250)), longWide = QString(32767, QChar(0x0250));
  struct Case {
    const char* column;
    QStringList values;
    QStringList converted;  // what each row must hold afterwards
  };
  const std::vector<Case> cases = {
      {"ENUM('small','large','SMALL') CHARACTER SET utf8mb4 COLLATE utf8mb4_bin",
       {"small", "large"},
       {"SMALL", "large"}},
      {"TINYTEXT CHARACTER SET utf8mb4", {"abc", wide, "def", wide}, {"ABC", wide, "DEF", wide}},
      // Seen again after its number was forgotten (a generation of two
      // texts below): it goes again under a new number, and a refused one
      // is told of once, for both its rows.
      {"TINYTEXT CHARACTER SET utf8mb4",
       {wide, "a1", "a2", "a3", "a4", "a5", wide, "a1", "a6"},
       {wide, "A1", "A2", "A3", "A4", "A5", wide, "A1", "A6"}},
      {"TEXT CHARACTER SET utf8mb4", {"abc", longWide, "def"}, {"ABC", longWide, "DEF"}},
      // The server's latin1 is Windows-1252, which holds Ÿ but not the Greek
      // capital that the micro sign's upper case is.
      {"VARCHAR(10) CHARACTER SET latin1", {"abc", S(u"ÿ"), S(u"µ"), S(u"éa")}, {"ABC", S(u"Ÿ"), S(u"µ"), S(u"ÉA")}},
  };
  Sql(ServerDetails(), {"SET GLOBAL sql_mode = ''"});
  const qsizetype generation = Rewrite::DistinctValues::DefaultGeneration();
  Rewrite::DistinctValues::DefaultGeneration() = 2;
  // With a key each row is found by it; without one, on InnoDB all values
  // go as one join that is split until each refusal is its own value's.
  for (const char* key : {"id INT PRIMARY KEY", "id INT"})
  for (const char* engine : {"InnoDB", "MyISAM"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(QStringLiteral("%1 %2 %3").arg(key, engine, c.column).toStdString());
      TestDatabase db;
      db.Exec(QStringLiteral("CREATE TABLE t (%1, v %2) ENGINE=%3").arg(key, c.column, engine));
      for (int i = 0; i < c.values.size(); ++i)
        db.Exec(QStringLiteral("INSERT INTO t VALUES (%1, '%2')").arg(i).arg(c.values[i]));
      ASSERT_EQ(db.Values("SELECT @@GLOBAL.sql_mode"), QStringList({""}));
      Form2& f = OpenForm2(db.Details());
      Choose(f, "t", "v");
      f.Combo1->setCurrentIndex(0);  // UPPER CASE
      Click(f.PushButton1);
      EXPECT_TRUE(db.Values("SELECT v FROM t ORDER BY id") == c.converted);
      int refused = 0;
      for (int i = 0; i < c.values.size(); ++i) refused += c.converted[i] == c.values[i] && c.values[i] != "ABC";
      EXPECT_EQ(Reports(), refused);
      for (const auto& b : boxes.boxes) EXPECT_TRUE(b.text.contains("at line 146")) << b.text.toStdString();
      boxes.boxes.clear();
      form1.reset();
    }
  }
  Rewrite::DistinctValues::DefaultGeneration() = generation;
  Sql(ServerDetails(), {"SET GLOBAL sql_mode = DEFAULT"});
}

// A server may put each session on another character set after login:
// init_connect for users without SUPER, or a server that ignores what the
// client asks for. A value read in one character set and written in
// another once ended its literal and blanked a whole column. Every row
// must still come out as its exact conversion, on a keyed table and on one
// without a key, with another table left whole and no box.
TEST_F(RunTest, ACharacterSetTheServerForcesChangesNothingTheRunReadsOrWrites) {
  QStringList names = ManyScripts();
  names << S(u"乗',0x41) IS NULL#\n#") << S(u"déjà vu") << S(u"x\\'y\\") << S(u"🙂 smile 𐐨𐐀");
  const QString hex = "SELECT HEX(v) FROM %1 ORDER BY id";
  const auto convertAll = [&](TestDatabase& db, const MySQL::ConnectionDetails& login) {
    const QStringList create = {
        "CREATE TABLE k (id INT PRIMARY KEY, v VARCHAR(100) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin)",
        "CREATE TABLE n (id INT, v VARCHAR(100) CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci)",
        "CREATE TABLE o (id INT, v VARCHAR(100) CHARACTER SET utf8mb4)"};
    db.Exec(create);
    QStringList rows;
    for (int i = 0; i < names.size(); ++i) rows << QStringLiteral("(%1, '%2')").arg(i).arg(EscapeValue(names[i]));
    db.Exec("INSERT INTO o VALUES " + rows.join(", "));
    const QStringList other = db.Values(hex.arg("o"));
    MySQL::ConnectionDetails d = login;
    d.database = db.Name();
    Form2& f = OpenForm2(d);
    for (int mode = 0; mode < 4; ++mode) {
      QStringList expected;
      for (const QString& n : names) expected << QString::fromLatin1(Case::ConvertCase(Case::CaseMode(mode), n).toUtf8().toHex().toUpper());
      for (const char* table : {"k", "n"}) {
        SCOPED_TRACE(QStringLiteral("mode %1, table %2").arg(mode).arg(table).toStdString());
        db.Exec({QStringLiteral("DELETE FROM %1").arg(table), QStringLiteral("INSERT INTO %1 VALUES ").arg(table) + rows.join(", ")});
        Choose(f, table, "v");
        f.Combo1->setCurrentIndex(mode);
        Click(f.PushButton1);
        EXPECT_EQ(db.Values(hex.arg(table)).join("\n").toStdString(), expected.join("\n").toStdString());
        EXPECT_EQ(db.Values(hex.arg("o")).join("\n").toStdString(), other.join("\n").toStdString());
        for (const auto& b : boxes.boxes) ADD_FAILURE() << b.text.toStdString();
        boxes.boxes.clear();
      }
    }
    form1.reset();
  };

  {
    TestDatabase db;
    const QString user = QStringLiteral("nv_plain_%1").arg(QRandomGenerator::global()->bounded(1000000));
    db.Exec({QStringLiteral("CREATE USER '%1'@'127.0.0.1' IDENTIFIED BY 'plain-pw'").arg(user),
             QStringLiteral("GRANT ALL PRIVILEGES ON `%1`.* TO '%2'@'127.0.0.1'").arg(db.Name(), user)});
    struct Restore {
      TestDatabase& db;
      QString user;
      ~Restore() { db.Exec({"SET GLOBAL init_connect = ''", QStringLiteral("DROP USER '%1'@'127.0.0.1'").arg(user)}); }
    } restore{db, user};
    MySQL::ConnectionDetails plain = db.Details();
    plain.user = user;
    plain.password = "plain-pw";
    for (const char* charset : {"gbk", "latin1", "sjis"}) {
      SCOPED_TRACE(charset);
      db.Exec(QStringLiteral("SET GLOBAL init_connect = 'SET NAMES %1'").arg(charset));
      TestDatabase each;
      db.Exec(QStringLiteral("GRANT ALL PRIVILEGES ON `%1`.* TO '%2'@'127.0.0.1'").arg(each.Name(), user));
      convertAll(each, plain);
    }
  }
  {
    SCOPED_TRACE("a server that ignores the client's character set");
    PrivateServer server(PrivateServer::Tls::None,
                        "--skip-character-set-client-handshake --character-set-server=gbk "
                        "--collation-server=gbk_chinese_ci");
    TestDatabase db(server.Details());
    convertAll(db, server.Details());
  }
}

// Every character set the server offers, a sample of every byte range, in
// every mode, on each way records travel: each row ends either exactly
// converted, with every character that kept its case keeping its own bytes,
// or as it was with a report of its own; and undo gives back the bytes.
TEST_F(RunTest, EveryCharacterSetKeepsTheBytesOfEveryCharacterThatKeepsItsCase) {
  TestDatabase db;
  const QStringList unicode = {"utf8mb4", "utf8mb3", "ucs2", "utf16", "utf16le", "utf32"};
  const QStringList charsets = db.Values(
      "SELECT CHARACTER_SET_NAME FROM information_schema.CHARACTER_SETS WHERE CHARACTER_SET_NAME <> 'binary' ORDER BY 1");
  ASSERT_GT(charsets.size(), 30);
  struct Path {
    const char* name;
    const char* table;
  };
  const Path paths[] = {{"grouped", "id INT PRIMARY KEY, v MEDIUMTEXT CHARACTER SET %1) ENGINE=InnoDB"},
                        {"alone", "id INT PRIMARY KEY, v MEDIUMTEXT CHARACTER SET %1) ENGINE=MyISAM"},
                        {"join", "id INT, v MEDIUMTEXT CHARACTER SET %1) ENGINE=InnoDB"},
                        {"by value", "id INT, v MEDIUMTEXT CHARACTER SET %1, KEY (v(10))) ENGINE=MyISAM"},
                        // Read in chunks of a few rows after the last key
                        // read, compared in the set's own collation.
                        {"by a text key", "id INT, v MEDIUMTEXT CHARACTER SET %1, k VARCHAR(12) CHARACTER SET %1) "
                                          "ENGINE=InnoDB"}};
  constexpr int kPaths = sizeof(paths) / sizeof(paths[0]);
  // Each value is one sampled character and "a\b"; one more holds them all,
  // over and over, past what goes in a statement twice.
  QString scripts;
  for (const QString& name : ManyScripts()) scripts += name;
  const auto values = [&](const QString& charset) {
    QStringList rows;
    if (unicode.contains(charset)) {
      for (const uint c : scripts.toUcs4())
        rows << QStringLiteral("CONVERT(%1 USING %2)")
                    .arg(MySQL::TextLiteral(QString::fromUcs4(reinterpret_cast<const char32_t*>(&c), 1) + "a\\b"),
                         charset);
      return rows;
    }
    const auto add = [&](const QByteArray& bytes) {
      rows << QStringLiteral("CONVERT(X'%2' USING %1)").arg(charset, QString::fromLatin1((bytes + "a\\b").toHex()));
    };
    for (int b = 0x20; b <= 0xFF; ++b) add(QByteArray(1, char(b)));
    if (db.Values("SELECT MAXLEN FROM information_schema.CHARACTER_SETS WHERE CHARACTER_SET_NAME = '" + charset + "'")
            .value(0) != "1")
      for (int lead = 0x81; lead <= 0xFE; ++lead)
        for (const int trail : {0x30, 0x40, 0x5C, 0x80, 0xA1, 0xFE}) {
          add(QByteArray(1, char(lead)) + char(trail));
          if (lead == 0x8F) add(QByteArray("\x8F\xA2") + char(trail));
        }
    return rows;
  };
  for (const QString& charset : charsets) {
    const QStringList rows = values(charset);
    QStringList list;
    for (int i = 0; i < rows.size(); ++i) list << QStringLiteral("(%1, %2)").arg(i + 1).arg(rows[i]);
    for (int p = 0; p < kPaths; ++p) {
      const QString table = QStringLiteral("%1_%2").arg(charset).arg(p);
      db.Exec({QStringLiteral("CREATE TABLE %1 (").arg(table) + QString(paths[p].table).arg(charset),
               "SET SESSION sql_mode = ''",
               QStringLiteral("INSERT IGNORE INTO %1 (id, v) VALUES ").arg(table) + list.join(','),
               QStringLiteral("INSERT INTO %1 (id, v) SELECT 0, REPEAT(GROUP_CONCAT(v ORDER BY id SEPARATOR ''), "
                              "CEIL(70000 / SUM(LENGTH(v)))) FROM %1")
                   .arg(table)});
      if (p == kPaths - 1)
        db.Exec({QStringLiteral("UPDATE %1 SET k = CONCAT(LEFT(v, 1), CONVERT(CAST(id AS CHAR) USING %2))").arg(table, charset),
                 QStringLiteral("ALTER TABLE %1 ADD PRIMARY KEY (k)").arg(table)});
    }
  }
  struct Row {
    QByteArray bytes;
    QString text;
    QList<QByteArray> characters;
  };
  const auto read = [&](const QString& table) {
    QMap<int, Row> rows;
    for (const QString& line :
         db.Values(QStringLiteral("SELECT CONCAT_WS(' ', id, HEX(v), HEX(CONVERT(v USING utf8mb4)), HEX(SUBSTRING(v, "
                                  "1, 1)), HEX(SUBSTRING(v, 2, 1)), HEX(SUBSTRING(v, 3, 1)), HEX(SUBSTRING(v, 4, 1)), "
                                  "HEX(SUBSTRING(v, 5, 1))) FROM %1")
                       .arg(table))) {
      const QStringList parts = line.split(' ');
      Row& r = rows[parts[0].toInt()];
      r.bytes = QByteArray::fromHex(parts.value(1).toLatin1());
      r.text = QString::fromUtf8(QByteArray::fromHex(parts.value(2).toLatin1()));
      for (qsizetype i = 3; i < parts.size(); ++i) r.characters << QByteArray::fromHex(parts[i].toLatin1());
    }
    return rows;
  };
  Form2& f = OpenForm2(db.Details());
  for (const QString& charset : charsets) {
    SCOPED_TRACE(charset.toStdString());
    int left = 0;
    for (int p = 0; p < kPaths; ++p) {
      SCOPED_TRACE(paths[p].name);
      const QString table = QStringLiteral("%1_%2").arg(charset).arg(p);
      Choose(f, table, "v");
      const QMap<int, Row> original = read(table);
      for (int mode = 0; mode < 4; ++mode) {
        SCOPED_TRACE(mode);
        const QMap<int, Row> before = read(table);
        boxes.boxes.clear();
        f.Combo1->setCurrentIndex(mode);
        Click(f.PushButton1);
        const QMap<int, Row> after = read(table);
        int unchanged = 0;
        for (auto b = before.begin(); b != before.end(); ++b) {
          const Row& a = after[b.key()];
          // The long value is past what Proper and Sentence case count.
          QString expected = b->text;
          bool overflow = false;
          try {
            expected = Case::ConvertCase(Case::CaseMode(mode), b->text);
          } catch (const Case::Overflow&) {
            overflow = true;
          }
          if (a.bytes == b->bytes) {
            unchanged += overflow || expected != b->text;
            continue;
          }
          ASSERT_EQ(a.text, expected) << b.key();
          if (b.key() == 0) continue;
          const QList<uint> from = b->text.toUcs4(), to = expected.toUcs4();
          for (qsizetype i = 0; i < b->characters.size() && i < from.size(); ++i)
            if (from[i] == to[i]) {
              ASSERT_EQ(a.characters.value(i).toHex(), b->characters[i].toHex()) << b.key();
            }
        }
        // Reports of the run, not of the preview's own conversion.
        static const QRegularExpression preview(QStringLiteral("at line (1[89]\\d|20[0-4])\\b"));
        int reports = 0;
        for (const auto& box : boxes.boxes) reports += box.title == "Application Error" && !box.text.contains(preview);
        EXPECT_EQ(reports, unchanged);
        if (mode == 0 && p == 0) left += unchanged;
      }
      if (p == 2 || p == 3) continue;  // without a key there is no undo
      for (int undo = 0; undo < 4; ++undo) QTest::keyClick(&f, Qt::Key_Z, Qt::ControlModifier);
      const QMap<int, Row> back = read(table);
      for (auto o = original.begin(); o != original.end(); ++o)
        ASSERT_EQ(back[o.key()].bytes.toHex(), o->bytes.toHex()) << o.key();
    }
    std::printf("[ charset  ] %-10s %4lld values, %3d left as they were in upper case\n", qPrintable(charset),
                qlonglong(read(QStringLiteral("%1_0").arg(charset)).size()), left);
  }
}

// A join the server stops at its time limit for one statement ends the run
// with one report: it is no refusal of values to split until each is alone.
TEST_F(RunTest, AJoinOutOfTimeEndsTheRunWithOneReport) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (id INT, v VARCHAR(40)) ENGINE=InnoDB",
           "INSERT INTO t SELECT seq, CONCAT('name ', seq) FROM seq_1_to_400",
           "CREATE TRIGGER slow BEFORE UPDATE ON t FOR EACH ROW SET @nv_slept = SLEEP(0.01)"});
  {
    const GlobalSetting timeLimit("max_statement_time", "0.5");
    Form2& f = OpenForm2(db.Details());
    Choose(f, "t", "v");
    f.Combo1->setCurrentIndex(0);
    Click(f.PushButton1);
  }
  ASSERT_EQ(Reports(), 1);
  EXPECT_TRUE(boxes.boxes[0].text.contains("max_statement_time")) << boxes.boxes[0].text.toStdString();
  EXPECT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)"), QStringList{"0"});
}

// Keyed records go in groups also where the server refuses any table
// without a primary key, the run's own temporary tables included.
TEST_F(RunTest, GroupsGoWhereEveryTableNeedsAPrimaryKey) {
  TestDatabase db;
  // Keys far apart: Proper Case's pairs go into the run's own table; UPPER
  // CASE's values need none, as the server computes them.
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40)) ENGINE=InnoDB",
           "INSERT INTO t SELECT seq * 100, CONCAT('name ', seq) FROM seq_1_to_500"});
  QStringList groups[2];
  {
    const GlobalSetting primaryKeys("innodb_force_primary_key", "ON"), output("log_output", "'TABLE'"),
        log("general_log", "1");
    Form2& f = OpenForm2(db.Details());
    Choose(f, "t", "v");
    for (const int mode : {2, 0}) {
      const QString start = db.Values("SELECT NOW(6)").value(0);
      f.Combo1->setCurrentIndex(mode);
      Click(f.PushButton1);
      groups[mode / 2] = db.Values("SELECT COUNT(*) FROM mysql.general_log WHERE event_time >= '" + start +
                                   "' AND command_type <> 'Prepare' AND argument LIKE 'INSERT INTO nv_keys %'");
      if (mode == 2) {
        EXPECT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v LIKE 'Name %'"), QStringList{"500"});
      }
    }
  }
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)"), QStringList{"500"});
  EXPECT_EQ(groups[1], QStringList{"1"});
  EXPECT_EQ(groups[0], QStringList{"0"});
}

// A group the server takes back at every try (another writer keeps meeting
// one of its rows) goes record by record, and the run converts every row.
TEST_F(RunTest, AGroupTakenBackAtEveryTryGoesRecordByRecord) {
  TestDatabase db;
  // The tries are counted where no rollback takes them back; the first
  // twelve that reach row 250 are taken back as a deadlock would be.
  db.Exec({"CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(40)) ENGINE=InnoDB",
           "INSERT INTO t SELECT seq, CONCAT('name ', seq) FROM seq_1_to_500",
           "CREATE TABLE tries (n INT NOT NULL) ENGINE=MyISAM", "INSERT INTO tries VALUES (0)",
           "CREATE TRIGGER conflict BEFORE UPDATE ON t FOR EACH ROW IF NEW.id = 250 THEN "
           "UPDATE tries SET n = n + 1; IF (SELECT n FROM tries) <= 12 THEN "
           "SIGNAL SQLSTATE '40001' SET MYSQL_ERRNO = 1213, MESSAGE_TEXT = 'Deadlock found when trying to get lock'; "
           "END IF; END IF"});
  Form2& f = OpenForm2(db.Details());
  Choose(f, "t", "v");
  f.Combo1->setCurrentIndex(0);
  Click(f.PushButton1);
  EXPECT_TRUE(boxes.boxes.empty()) << boxes.boxes[0].text.toStdString();
  EXPECT_EQ(db.Values("SELECT COUNT(*) FROM t WHERE BINARY v = UPPER(v)"), QStringList{"500"});
  EXPECT_EQ(db.Values("SELECT n FROM tries"), QStringList{"13"});
}
