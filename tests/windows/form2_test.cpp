#include <QHeaderView>
#include <QTimer>

#include "tests/windows/fixture.h"

using Form2Test = WindowTest;

TEST_F(Form2Test, LayoutHeadersAndFirstRunMode) {
  TestDatabase db;
  db.Exec("CREATE TABLE t (v VARCHAR(10))");
  Form2& f = OpenForm2(db.Details());
  EXPECT_EQ(f.size(), QSize(512, 529));
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_EQ(f.windowTitle(), "Norvale");
  EXPECT_EQ(f.ListView1->geometry(), QRect(8, 8, 496, 169));
  EXPECT_EQ(f.ListView3->geometry(), QRect(256, 184, 248, 178));
  EXPECT_EQ(f.PushButton1->geometry(), QRect(8, 427, 496, 27));
  EXPECT_EQ(f.ProgressBar1->geometry(), QRect(8, 498, 496, 27));
  EXPECT_EQ(f.Frame1->title(), "Change All Fields To");
  EXPECT_EQ(f.ListView1->HeaderText(), "Table(s)");
  EXPECT_EQ(f.ListView2->HeaderText(), "Field(s)");
  EXPECT_EQ(f.ListView3->HeaderText(), "First 100 Entries (Preview)");
  EXPECT_EQ(f.ListView1->columnWidth(0), 353);
  EXPECT_EQ(f.ListView2->toolTip(), Form2::kListTip);
  EXPECT_EQ(f.ProgressBar1->text(), "Progress Bar");
  EXPECT_EQ(f.ProgressBar1->value(), 0);
  QStringList modes;
  for (int i = 0; i < f.Combo1->count(); ++i) modes << f.Combo1->itemText(i);
  EXPECT_EQ(modes, QStringList({"UPPER CASE", "lower case", "Proper Case", "Sentence case", "Name Case"}));
  EXPECT_EQ(f.Combo1->currentText(), "UPPER CASE");
  EXPECT_EQ(Main::GetSetting("Combo1", "absent"), "0");
}

TEST_F(Form2Test, StoredModesAndBadStoredValues) {
  TestDatabase db;
  db.Exec("CREATE TABLE t (v VARCHAR(10))");
  Main::SaveSetting("Combo1", "3");
  EXPECT_EQ(OpenForm2(db.Details()).Combo1->currentText(), "Sentence case");
  form1.reset();
  Main::SaveSetting("Combo1", "4");
  EXPECT_EQ(OpenForm2(db.Details()).Combo1->currentText(), "Name Case");
  EXPECT_TRUE(boxes.boxes.empty());

  for (const QString& bad : {QString("abc"), QString("7"), QString(""), QString("5.5"), QString("99999")}) {
    form1.reset();
    boxes.boxes.clear();
    Main::SaveSetting("Combo1", bad);
    Form2& f = OpenForm2(db.Details());
    ASSERT_EQ(boxes.boxes.size(), 1u) << bad.toStdString();
    EXPECT_TRUE(boxes.boxes[0].text.contains("in Norvale2021/08/31.Form2.Form_Load at line 124"))
        << boxes.boxes[0].text.toStdString();
    EXPECT_EQ(f.Combo1->currentIndex(), -1);
    EXPECT_EQ(f.ListView3->HeaderText(), "First 100 Entries (Preview)");
  }
  form1.reset();
  boxes.boxes.clear();
  Main::SaveSetting("Combo1", "-1");
  EXPECT_EQ(OpenForm2(db.Details()).Combo1->currentIndex(), -1);
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Form2Test, ChoosingAModeWritesItAndLeavesThePreview) {
  TestDatabase db;
  db.Exec({"CREATE TABLE t (v VARCHAR(10))", "INSERT INTO t VALUES ('mIxEd')"});
  Form2& f = OpenForm2(db.Details());
  f.Combo1->setCurrentIndex(2);
  EXPECT_EQ(Main::GetSetting("Combo1", ""), "2");
  EXPECT_EQ(Items(f.ListView3), QStringList({"mIxEd"}));
}

TEST_F(Form2Test, PreviewHoldsAtMost101ValuesInServerOrder) {
  TestDatabase db;
  db.Exec({"CREATE TABLE a250 (id INT PRIMARY KEY, v VARCHAR(20))",
           "INSERT INTO a250 SELECT seq, CONCAT('v', seq) FROM seq_1_to_250",
           "CREATE TABLE b100 (v VARCHAR(20))", "INSERT INTO b100 SELECT CONCAT('w', seq) FROM seq_1_to_100",
           "CREATE TABLE c0 (v VARCHAR(20))",
           "CREATE TABLE d_null (v VARCHAR(20))", "INSERT INTO d_null VALUES ('x'), (NULL), ('z')"});
  Form2& f = OpenForm2(db.Details());
  ASSERT_EQ(Items(f.ListView1), QStringList({"a250", "b100", "c0", "d_null"}));
  QStringList expected;
  for (int i = 1; i <= 101; ++i) expected << QStringLiteral("v%1").arg(i);
  f.ListView2->setCurrentItem(f.ListView2->topLevelItem(1));
  ClickItem(f.ListView2, 2);
  EXPECT_EQ(Items(f.ListView3), expected);

  ClickItem(f.ListView1, 2);
  EXPECT_EQ(Items(f.ListView3).size(), 100);
  ClickItem(f.ListView1, 3);
  EXPECT_EQ(Items(f.ListView2), QStringList({"v"}));
  EXPECT_TRUE(Items(f.ListView3).isEmpty());
  ClickItem(f.ListView1, 4);
  EXPECT_EQ(Items(f.ListView3), QStringList({"x", "", "z"}));
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
}

TEST_F(Form2Test, ChoosingATableListsColumnsInTableOrder) {
  TestDatabase db;
  db.Exec({"CREATE TABLE first (a INT)", "INSERT INTO first VALUES (1)",
           "CREATE TABLE second (zeta VARCHAR(5), alpha VARCHAR(5), mid INT)",
           "INSERT INTO second VALUES ('z1', 'a1', 7)"});
  Form2& f = OpenForm2(db.Details());
  EXPECT_EQ(Items(f.ListView2), QStringList({"a"}));
  EXPECT_EQ(Items(f.ListView3), QStringList({"1"}));
  ClickItem(f.ListView1, 2);
  EXPECT_EQ(Items(f.ListView2), QStringList({"zeta", "alpha", "mid"}));
  EXPECT_EQ(f.ListView2->SelectedText(), "zeta");
  EXPECT_EQ(Items(f.ListView3), QStringList({"z1"}));
  ClickItem(f.ListView2, 3);
  EXPECT_EQ(Items(f.ListView3), QStringList({"7"}));
}

TEST_F(Form2Test, ClicksOnEmptyListsDoNothing) {
  TestDatabase db;
  Form2& f = OpenForm2(db.Details());  // no tables at all
  EXPECT_EQ(f.ListView1->Count(), 0);
  QTest::mouseClick(f.ListView1->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
  QTest::mouseClick(f.ListView2->viewport(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(f.ListView2->Count(), 0);
}

TEST_F(Form2Test, BackAndNextListEachTableOnceAndKeepTheMode) {
  TestDatabase db;
  db.Exec({"CREATE TABLE one (v INT)", "CREATE TABLE two (w INT)"});
  Form2& f = OpenForm2(db.Details());
  f.Combo1->setCurrentIndex(1);
  ClickItem(f.ListView1, 2);
  EXPECT_EQ(Items(f.ListView2), QStringList({"w"}));
  Click(f.PushButton5);
  EXPECT_FALSE(f.isVisible());
  EXPECT_TRUE(form1->isVisible());
  Click(form1->PushButton3);
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(Items(f.ListView1), QStringList({"one", "two"}));
  EXPECT_EQ(f.ListView1->SelectedText(), "one");
  EXPECT_EQ(Items(f.ListView2), QStringList({"v"}));
  EXPECT_EQ(f.Combo1->currentText(), "lower case");
}

TEST_F(Form2Test, InputWhileLoadingIsIgnored) {
  TestDatabase db;
  db.Exec({"CREATE TABLE one (v VARCHAR(10))", "INSERT INTO one SELECT CONCAT('one', seq) FROM seq_1_to_50",
           "CREATE TABLE two (w VARCHAR(10))", "INSERT INTO two VALUES ('two')"});
  Form2& f = OpenForm2(db.Details());
  // While the preview of "one" yields, a click on "two" arrives.
  bool clicked = false;
  int pointerWhileBusy = -1;
  QTimer::singleShot(0, &f, [&] {
    pointerWhileBusy = f.Pointer().Get();
    ClickItem(f.ListView1, 2);
    f.Combo1->setFocus();
    QTest::keyClick(f.Combo1, Qt::Key_Down);
    clicked = true;
  });
  f.ListView2_Click();
  EXPECT_TRUE(clicked);
  EXPECT_EQ(pointerWhileBusy, PointerState::Busy);
  EXPECT_EQ(f.ListView1->SelectedText(), "one");
  EXPECT_EQ(Items(f.ListView3).first(), "one1");
  EXPECT_EQ(f.Combo1->currentText(), "UPPER CASE");
}

TEST_F(Form2Test, DroppedTableShowsOneErrorAndTheProgramGoesOn) {
  TestDatabase db;
  db.Exec({"CREATE TABLE keep (v INT)", "CREATE TABLE gone (v INT)"});
  Form2& f = OpenForm2(db.Details());
  ASSERT_EQ(Items(f.ListView1), QStringList({"gone", "keep"}));
  ClickItem(f.ListView1, 2);
  db.Exec("DROP TABLE gone");
  ClickItem(f.ListView1, 1);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].title, "Application Error");
  EXPECT_TRUE(boxes.boxes[0].text.contains("gone")) << boxes.boxes[0].text.toStdString();
  EXPECT_TRUE(boxes.boxes[0].text.contains("Form2.ListView1_Click"));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  EXPECT_FALSE(f.Busy());
  ClickItem(f.ListView1, 2);
  EXPECT_EQ(Items(f.ListView2), QStringList({"v"}));
}

TEST_F(Form2Test, NamesWithGraveAccentsAndBinaryValues) {
  TestDatabase db;
  db.Exec({"CREATE TABLE `we``ird` (`co``l` VARCHAR(10), data BLOB)",
           "INSERT INTO `we``ird` VALUES ('it''s', 0x00FF10), ('x', REPEAT(0xAB, 100))"});
  Form2& f = OpenForm2(db.Details());
  EXPECT_EQ(Items(f.ListView1), QStringList({"we`ird"}));
  EXPECT_EQ(Items(f.ListView2), QStringList({"co`l", "data"}));
  EXPECT_EQ(Items(f.ListView3), QStringList({"it's", "x"}));
  ClickItem(f.ListView2, 2);
  const QStringList shown = Items(f.ListView3);
  ASSERT_EQ(shown.size(), 2);
  EXPECT_EQ(shown[0], "0x00FF10");
  EXPECT_EQ(shown[1], "0x" + QString(64, 'A').replace("AA", "AB") + QChar(0x2026));
  EXPECT_TRUE(boxes.boxes.empty());
}

// Numbers show as the server writes them: a FLOAT at single precision, a
// BIT in decimal, not as a control character.
TEST_F(Form2Test, PreviewShowsFloatsAndBitsAsNumbers) {
  TestDatabase db;
  db.Exec({"CREATE TABLE n (f FLOAT, d DOUBLE, b BIT(1), w BIT(12))",
           "INSERT INTO n VALUES (0.1, 0.1, b'1', b'101010101010'), (3.14159, 3.14159, b'0', 0), "
           "(NULL, NULL, NULL, NULL)"});
  Form2& f = OpenForm2(db.Details());
  EXPECT_EQ(Items(f.ListView3), QStringList({"0.1", "3.14159", ""}));
  const QStringList expected[] = {{"0.1", "3.14159", ""}, {"1", "0", ""}, {"2730", "0", ""}};
  for (int field = 2; field <= 4; ++field) {
    ClickItem(f.ListView2, field);
    EXPECT_EQ(Items(f.ListView3), expected[field - 2]) << field;
  }
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(Form2Test, PointerOverListsAndButtons) {
  QFile::copy(NORVALE_SOURCE_DIR "/resources/HAND-M.CUR", folder.filePath("HAND-M.CUR"));
  TestDatabase db;
  db.Exec("CREATE TABLE t (v INT)");
  Form2& f = OpenForm2(db.Details());
  QTest::mouseMove(f.PushButton1, QPoint(10, 10));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Hand);
  QTest::mouseMove(f.ListView3->viewport(), QPoint(10, 10));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
  QTest::mouseMove(f.PushButton5, QPoint(10, 10));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Hand);
  QTest::mouseMove(f.Frame1, QPoint(3, 3));
  EXPECT_EQ(f.Pointer().Get(), PointerState::Default);
}
