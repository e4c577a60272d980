#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sqlite3.h>

#include "journal/store.h"

namespace {

mode_t Mode(const QString& path) {
  struct stat st {};
  EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
  return st.st_mode & 07777;
}

Journal::RunHeader Header(const QString& table) {
  Journal::RunHeader h;
  h.target = {"db.example", "3306", "shop", table, "name"};
  h.mode = "Proper Case";
  h.time = QDateTime::currentDateTime();
  h.keyColumns = "id";
  h.charset = "utf8mb4";
  return h;
}

}  // namespace

TEST(JournalStore, LivesInTheDataFolderReadableByItsOwnerOnly) {
  QTemporaryDir data;
  qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
  ::umask(022);
  const QString path = Journal::Store::DefaultPath();
  EXPECT_EQ(path, data.filePath("norvale/journal.sqlite"));
  {
    Journal::Store store;
    auto h = Header("t");
    store.BeginRun(h);
    store.Append(h.id, {{"`id` = 1", "a", "A", 1}});
  }
  EXPECT_EQ(Mode(data.filePath("norvale")), 0700u);
  EXPECT_EQ(Mode(path), 0600u);
  for (const QString& side : QDir(data.filePath("norvale")).entryList(QDir::Files))
    EXPECT_EQ(Mode(data.filePath("norvale/" + side)), 0600u) << side.toStdString();
}

TEST(JournalStore, KeepsBytesExactlyAndTheNewestRunsOfEachTarget) {
  QTemporaryDir data;
  const QString path = data.filePath("j/journal.sqlite");
  QByteArray huge(16 * 1024 * 1024, 'x');
  for (int i = 0; i < huge.size(); i += 4099) huge[i] = char(i % 256);
  const QByteArray nul("a\0b\xff", 4);
  Journal::Store store(path);
  qint64 first = 0;
  for (int i = 0; i < 25; ++i) {
    auto h = Header("t");
    store.BeginRun(h);
    if (i == 0) first = h.id;
    store.Append(h.id, {{"`id` = 1", nul, huge, 1}, {"`id` = 2", QByteArray(), "", 1}});
  }
  auto other = Header("u");
  store.BeginRun(other);
  std::vector<Journal::Entry> read;
  store.ForEach(first, [&](const Journal::Entry& e) { read.push_back(e); });
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].oldValue, nul);
  EXPECT_TRUE(read[0].newValue == huge);
  EXPECT_TRUE(read[1].oldValue.isEmpty() && read[1].newValue.isEmpty());

  store.Prune(Header("t").target);
  EXPECT_EQ(store.RunCount(Header("t").target), 20);
  EXPECT_EQ(store.RunCount(other.target), 1);
  read.clear();
  store.ForEach(first, [&](const Journal::Entry& e) { read.push_back(e); });
  EXPECT_TRUE(read.empty());  // a pruned run's entries go with it

  const auto last = store.LastRun(Header("t").target);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->rows, 2);
  EXPECT_EQ(last->mode, "Proper Case");
  store.MarkUndone(last->id);
  EXPECT_LT(store.LastRun(Header("t").target)->id, last->id);
}

TEST(JournalStore, AFolderThatCannotBeMadeOrAFileThatCannotBeOpenedIsAnError) {
  QTemporaryDir data;
  QFile blocker(data.filePath("norvale"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  EXPECT_THROW(Journal::Store(data.filePath("norvale/journal.sqlite")), Journal::Error);
  ASSERT_TRUE(QDir(data.path()).mkpath("other/journal.sqlite"));  // a folder in the file's place
  EXPECT_THROW(Journal::Store(data.filePath("other/journal.sqlite")), Journal::Error);
}

TEST(JournalStore, StaysUnderItsTotalSizeOldestRunsFirstNeverTheRunUnderWay) {
  QTemporaryDir data;
  const QString path = data.filePath("j/journal.sqlite");
  const QByteArray value(100 * 1024, 'v');
  std::vector<qint64> ids;
  {
    Journal::Store store(path);
    for (const char* table : {"a", "b", "c", "d"}) {
      auto h = Header(table);
      store.BeginRun(h);
      store.Append(h.id, {{"1", value, value, 1}});
      ids.push_back(h.id);
    }
    // Each run takes about 200 KB: under 450 KB the two oldest go.
    store.PruneTotal(450 * 1024, ids.back());
    QList<qint64> left;
    for (const auto& l : store.Runs({})) left << l.header.id;
    EXPECT_EQ(left, QList<qint64>({ids[3], ids[2]}));
    // The run under way stays even where it alone is over the bound.
    store.PruneTotal(1, ids[2]);
    ASSERT_EQ(store.Runs({}).size(), 1u);
    EXPECT_EQ(store.Runs({}).front().header.id, ids[2]);
    EXPECT_GE(store.Runs({}).front().bytes, 2 * value.size());
  }
  // A journal from before runs kept their size learns it when opened.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE runs DROP COLUMN bytes", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  Journal::Store reopened(path);
  EXPECT_GE(reopened.Runs({}).front().bytes, 2 * value.size());
}
