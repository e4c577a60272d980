// Which run an undo takes back, from a journal written here: the newest of
// its server and target, one named by its id, and why none is.
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "conversion/undoflow.h"

namespace {

using Conversion::NoUndo;

class UndoChoiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    store_ = std::make_unique<Journal::Store>(dir_.filePath("journal.sqlite"));
  }

  qint64 Begin(const Journal::Target& target, const QString& keyless = {}) {
    Journal::RunHeader h;
    h.target = target;
    h.mode = "UPPER CASE";
    h.time = QDateTime::currentDateTime();
    h.keyless = keyless;
    store_->BeginRun(h);
    return h.id;
  }

  Conversion::UndoChoice Choose(const Journal::Target& here, qint64 id = 0, bool emptyMatchesAny = true) {
    return Conversion::ChooseUndo(*store_, {here, id, emptyMatchesAny});
  }

  QTemporaryDir dir_;
  std::unique_ptr<Journal::Store> store_;
};

const Journal::Target kOne{"one.example", "3306", "shop", "", ""};
const Journal::Target kOneT{"one.example", "3306", "shop", "t", "name"};

TEST_F(UndoChoiceTest, TheNewestRunOfThisServerAndTargetOrOneByItsIdOnThisServerOnly) {
  const qint64 t = Begin({"one.example", "3306", "shop", "t", "name"});
  const qint64 u = Begin({"one.example", "3306", "shop", "u", "name"});
  const qint64 other = Begin({"two.example", "3306", "shop", "t", "name"});
  const qint64 otherDb = Begin({"one.example", "3306", "stock", "t", "name"});
  // The same server reached by another name, known by its identity.
  const qint64 alias = Begin({"10.0.0.1", "3306", "shop", "v", "name", "id-one"});

  EXPECT_EQ(Choose(kOne).run->id, u);
  EXPECT_EQ(Choose(kOneT).run->id, t);
  EXPECT_EQ(Choose(kOneT, 0, false).run->id, t);  // the window's own target
  EXPECT_EQ(Choose({"one.example", "3306", "shop", "", "", "id-one"}).run->id, alias);
  EXPECT_EQ(Choose({"one.example", "3306", "shop", "t", "nick"}).why, NoUndo::NoRun);
  EXPECT_EQ(Choose({"one.example", "3307", "shop", "t", "name"}).why, NoUndo::NoRun);

  store_->MarkUndone(u);
  EXPECT_EQ(Choose(kOne).run->id, t);
  EXPECT_EQ(Choose(kOne, t).why, NoUndo::None);
  EXPECT_EQ(Choose(kOne, u).why, NoUndo::AlreadyUndone);
  EXPECT_EQ(Choose(kOne, other).why, NoUndo::OtherServer);
  EXPECT_EQ(Choose(kOne, otherDb).why, NoUndo::OtherServer);
  EXPECT_EQ(Choose(kOne, alias).why, NoUndo::OtherServer);
  EXPECT_EQ(Choose({"one.example", "3306", "shop", "", "", "id-one"}, alias).why, NoUndo::None);
  EXPECT_EQ(Choose(kOne, 99).why, NoUndo::NoSuchId);
  EXPECT_FALSE(Choose(kOne, 99).run);
}

TEST_F(UndoChoiceTest, AKeylessRunAndOneThatMayNotBeTheNewestAreRefused) {
  const qint64 keyed = Begin(kOneT);
  const qint64 keyless = Begin(kOneT, "it has no primary key");
  EXPECT_EQ(Choose(kOneT).why, NoUndo::Keyless);
  EXPECT_EQ(Choose(kOneT).run->id, keyless);
  EXPECT_EQ(Choose(kOneT, keyless).why, NoUndo::Keyless);
  // A recovery lost runs numbered up to 5: the newest left may not be the newest.
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.filePath("journal.sqlite").toUtf8().constData(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "INSERT INTO facts (name, value) VALUES ('lost_through', 5)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  store_ = std::make_unique<Journal::Store>(dir_.filePath("journal.sqlite"));
  const Conversion::UndoChoice lost = Choose(kOneT, 0, false);
  EXPECT_EQ(lost.why, NoUndo::LostNewest);
  EXPECT_EQ(lost.lostThrough, 5);
  EXPECT_EQ(Choose(kOneT, keyed).why, NoUndo::None);  // named, it goes back
}

TEST(UndoOutcome, ReadInTheOrderItIsTold) {
  using Conversion::UndoOutcome;
  Journal::RunHeader run;
  run.lost = -1;
  EXPECT_EQ(Conversion::ReadUndo({5, 2, true, "trg"}, run), UndoOutcome::Interrupted);
  EXPECT_EQ(Conversion::ReadUndo({5, 2, false, "trg"}, run), UndoOutcome::LeftByTriggers);
  EXPECT_EQ(Conversion::ReadUndo({5, 2, false, ""}, run), UndoOutcome::Left);
  EXPECT_EQ(Conversion::ReadUndo({5, 0, false, "trg"}, run), UndoOutcome::LostEntries);
  run.lost = 0;
  EXPECT_EQ(Conversion::ReadUndo({5, 0, false, "trg"}, run), UndoOutcome::Restored);
}

}  // namespace
