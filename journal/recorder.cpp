#include "journal/recorder.h"

#include <algorithm>
#include <optional>

#include "database/mysql.h"
#include "database/rewrite.h"

namespace Journal {

std::unique_ptr<RunRecorder> RunRecorder::Start(const RowIdentity& identity, const Target& target,
                                                const QString& mode, const QString& path, const QString& words,
                                                const QString& where, const QStringList& fields,
                                                const QStringList& modes) {
  auto store = std::make_unique<Store>(path);
  RunHeader header;
  header.target = target;
  header.mode = mode;
  header.words = words;
  header.where = where;
  if (fields.size() > 1) {
    header.fields = fields;
    header.modes = modes;
  }
  header.time = QDateTime::currentDateTime();
  header.keyColumns = identity.columns.join(QStringLiteral(", "));
  // The values are the column's own bytes, in no other character set.
  header.charset = QString();
  header.keyless = identity.keyless;
  // Entries hold the key's values where the run reads them as literals.
  if (!identity.columns.isEmpty() && !identity.keyValues.isEmpty()) header.keyNames = identity.columns;
  header.shape = identity.shape;
  header.ended = QStringLiteral("running");
  store->BeginRun(header);
  return std::unique_ptr<RunRecorder>(new RunRecorder(std::move(store), std::move(header)));
}

std::unique_ptr<RunRecorder> RunRecorder::Continue(const RunHeader& run, const QString& path) {
  auto store = std::make_unique<Store>(path);
  RunHeader header = run;
  header.ended = QStringLiteral("running");
  store->SetProgress(header.id, header.ended, header.position, header.nextRecord);
  auto recorder = std::unique_ptr<RunRecorder>(new RunRecorder(std::move(store), std::move(header)));
  recorder->continued_ = true;
  return recorder;
}

void RunRecorder::SetProgress(const QString& ended, const QString& position, qint64 nextRecord) {
  std::lock_guard lock(mutex_);
  header_.ended = ended;
  header_.position = position;
  header_.nextRecord = nextRecord;
  try {
    std::lock_guard writing(storeMutex_);
    store_->SetProgress(header_.id, ended, position, nextRecord);
  } catch (const std::exception&) {
    // The entries are what undo needs; a run whose place was not kept
    // cannot be continued, and says so then.
  }
}

RunRecorder::RunRecorder(std::unique_ptr<Store> store, RunHeader header)
    : store_(std::move(store)), header_(std::move(header)) {}

void RunRecorder::Ahead(const std::vector<Batch::Note>& notes) {
  std::unique_lock lock(mutex_);
  trying_.clear();
  Append(lock, notes, true, true);
}

void RunRecorder::Write(const std::vector<Batch::Note>& notes) {
  std::unique_lock lock(mutex_);
  Append(lock, notes, false, false);
}

void RunRecorder::WriteBefore(const std::vector<Batch::Note>& notes) {
  std::unique_lock lock(mutex_);
  Append(lock, notes, true, false);
}

void RunRecorder::Withdraw(const std::vector<Batch::Note>& notes) {
  std::lock_guard lock(mutex_);
  for (const Batch::Note& note : notes) ChangedNothing(note.records);
}

void RunRecorder::Unchanged(const QList<Batch::RecordNote>& records) {
  std::lock_guard lock(mutex_);
  ChangedNothing(records);
}

void RunRecorder::Stored(const QList<Batch::RecordNote>& records) {
  std::lock_guard lock(mutex_);
  std::vector<Store::Revision> revisions;
  for (const Batch::RecordNote& r : records) {
    const auto found = open_.constFind(Batch::CellOf(r));
    if (found != open_.constEnd()) revisions.push_back({*found, 1, r.newBytes});
  }
  try {
    std::lock_guard writing(storeMutex_);
    store_->Revise(revisions);
  } catch (const std::exception&) {
    // Undo finds the rows holding something else, and leaves them.
  }
}

void RunRecorder::Again(const QList<Batch::RecordNote>& records) {
  std::lock_guard lock(mutex_);
  for (const Batch::RecordNote& r : records) again_.insert(Batch::CellOf(r));
}

void RunRecorder::ChangedNothing(const QList<Batch::RecordNote>& records) {
  std::vector<Store::Revision> revisions;
  for (const Batch::RecordNote& r : records) {
    const auto found = open_.constFind(Batch::CellOf(r));
    if (found == open_.constEnd()) continue;
    revisions.push_back({*found, 0, r.oldBytes});
    again_.remove(found.key());
    open_.erase(found);
    --rows_;
  }
  try {
    std::lock_guard writing(storeMutex_);
    store_->Revise(revisions);
  } catch (const std::exception&) {
    // Undo finds the rows as they were, and counts them as changed since.
  }
}

void RunRecorder::Append(std::unique_lock<std::mutex>& lock, const std::vector<Batch::Note>& notes, bool open,
                         bool trying) {
  // (The notes' own keys and values are written: they outlive the writing.)
  std::vector<EntryView> entries;
  std::vector<qint64> records;
  qsizetype count = 0;
  for (const Batch::Note& note : notes) count += note.records.size();
  entries.reserve(size_t(count));
  records.reserve(size_t(count));
  for (const Batch::Note& note : notes) {
    if (note.journaled) {
      if (trying)
        for (const Batch::RecordNote& r : note.records) trying_.push_back(Batch::CellOf(r));
      continue;
    }
    // A statement may stand for several records.
    for (const Batch::RecordNote& r : note.records) {
      const qint64 cell = Batch::CellOf(r);
      if (trying) trying_.push_back(cell);
      if (open_.contains(cell)) continue;  // written when its batch was first tried
      if (r.oldBytes == r.newBytes) continue;  // a record whose value does not change
      entries.push_back({&r.key, &r.oldBytes, &r.newBytes, 1, r.field});
      records.push_back(cell);
    }
  }
  if (entries.empty()) return;
  // The entries are written while the other members go on: a group's
  // entries are written while the group before it is answered.
  lock.unlock();
  std::vector<qint64> ids;
  try {
    std::lock_guard writing(storeMutex_);
    ids = store_->Append(header_.id, entries);
  } catch (...) {
    lock.lock();
    throw;
  }
  lock.lock();
  if (open) {
    open_.reserve(open_.size() + qsizetype(ids.size()));
    for (size_t i = 0; i < ids.size(); ++i) open_.insert(records[i], ids[i]);
  }
  rows_ += qint64(entries.size());
}

void RunRecorder::Committed() {
  std::lock_guard lock(mutex_);
  // The batch's records stand as the server answered them, but those of a
  // refused group, which go again alone.
  for (const qint64 cell : trying_)
    if (!again_.remove(cell)) open_.remove(cell);
  trying_.clear();
}

void RunRecorder::NotApplied(ADODB::Connection& connection, const Batch::Note& note, bool warned) {
  std::lock_guard lock(mutex_);
  if (!note.journaled && note.group) {
    // A group goes again record by record, each answered for itself.
    for (const Batch::RecordNote& r : note.records) again_.insert(Batch::CellOf(r));
    return;
  }
  // One record, or the fields of one row.
  for (const Batch::RecordNote& one : note.records) {
    const qint64 cell = Batch::CellOf(one);
    const auto found = open_.constFind(cell);
    if (found == open_.constEnd()) {
      // A value of a table without a key, written with many others ahead of
      // their one join: its entry stays, as such entries are never restored,
      // but the run is not counted as having changed it.
      if (one.key.isEmpty()) --rows_;
      continue;
    }
    const qint64 entry = *found;
    open_.erase(found);
    again_.remove(cell);
    const QByteArray& before = one.oldBytes;
    QByteArray now = before;  // refused: the row keeps its old value
    if (warned && !one.key.isEmpty()) {
      // The run's own header: the column's bytes, in no other character set.
      auto row = connection.Execute(QStringLiteral("SELECT CAST(%1 AS BINARY) FROM %2 WHERE %3;")
                                        .arg(MySQL::QuoteName(header_.Field(one.field)),
                                             MySQL::QuoteName(header_.target.table), KeyCondition(header_, one.key)));
      if (row && !row->Eof() && !row->Value(0).isNull()) now = row->Value(0).toByteArray();
    }
    const bool changed = now != before;
    std::lock_guard writing(storeMutex_);
    store_->Revise(entry, changed ? 1 : 0, changed ? now : one.newBytes);
    if (!changed) --rows_;
  }
}

void RunRecorder::Finish(qint64 changed) {
  std::lock_guard lock(mutex_);
  try {
    std::lock_guard writing(storeMutex_);
    if (changed >= 0 && header_.keyColumns.isEmpty()) store_->SetChanged(header_.id, changed);
    // A run that ended early stays, to be continued, even where it has
    // changed nothing yet: where it read its rows by key.
    if (rows_ == 0 && !continued_ && (header_.ended.isEmpty() || header_.keyNames.isEmpty()))
      store_->Drop(header_.id);
    store_->Prune(header_.target);
    if (limit_ > 0) store_->PruneTotal(limit_, header_.id);
  } catch (const std::exception&) {
    // Older runs stay a little longer; the next run prunes them.
  }
}

QString KeyCondition(const RunHeader& run, const QString& key) {
  if (run.keyNames.isEmpty()) return key;
  MySQL::RowIdentity identity;
  identity.columns = run.keyNames;
  identity.keyValues = QStringLiteral("?");  // the values are literals
  return Rewrite::KeyCondition(identity, key);
}

Restorer::Restorer(const RunHeader& run, Store& store) : run_(run), store_(store) {}

bool Restorer::NextPage(int size) {
  entries_ = store_.EntriesNewestFirst(run_.id, before_, size);
  if (entries_.empty()) return false;
  before_ = entries_.back().id;
  for (Entry& e : entries_) e.key = KeyCondition(run_, e.key);
  return true;
}

QString Restorer::Statement(size_t i) const {
  const Entry& e = entries_[i];
  const QString field = run_.Field(e.field);
  return QStringLiteral("UPDATE ") + MySQL::QuoteName(run_.target.table) + QStringLiteral(" SET ") +
         MySQL::QuoteName(field) + QStringLiteral(" = ") + ByteLiteral(e.oldValue, run_.charset) +
         QStringLiteral(" WHERE ") + e.key + QStringLiteral(" AND ") + ExactTest(field, e.newValue, run_.charset) + u';';
}

void Restorer::Before(ADODB::Connection& connection, const std::vector<Batch::Note>& notes) {
  pendingRestored_ = pendingChanged_ = 0;
  pendingChangedByField_.assign(size_t(run_.FieldCount()), 0);
  pendingSettled_.clear();
  // One locking read for the whole batch, so that a distant server costs a
  // round trip a batch, not one a row: each row found says which key found
  // it. A key journaled twice is looked up once.
  std::vector<size_t> which;
  QHash<QString, int> keyIndex;
  QStringList keys;
  QString cases;
  for (const Batch::Note& note : notes) {
    const size_t i = size_t(note.records.value(0).record);
    which.push_back(i);
    const QString& key = entries_[i].key;
    if (keyIndex.contains(key)) continue;
    keyIndex.insert(key, int(keys.size()));
    cases += QStringLiteral(" WHEN ") + key + QStringLiteral(" THEN ") + QString::number(keys.size());
    keys << u'(' + key + u')';
  }
  // Each row's fields, as the run's entries number them.
  const int fields = run_.FieldCount();
  std::vector<std::optional<QByteArray>> now(size_t(keys.size()) * size_t(fields));
  if (!keys.isEmpty()) {
    QString values;
    for (int f = 0; f < fields; ++f) {
      const QString field = MySQL::QuoteName(run_.Field(f));
      const QString value =
          run_.charset.isEmpty() ? field : QStringLiteral("CONVERT(%1 USING %2)").arg(field, run_.charset);
      values += QStringLiteral(", CAST(") + value + QStringLiteral(" AS BINARY)");
    }
    auto rows = connection.Execute(QStringLiteral("SELECT CASE") + cases + QStringLiteral(" END") + values +
                                   QStringLiteral(" FROM ") + MySQL::QuoteName(run_.target.table) +
                                   QStringLiteral(" WHERE ") + keys.join(QStringLiteral(" OR ")) +
                                   QStringLiteral(" FOR UPDATE;"));
    for (; rows && !rows->Eof(); rows->MoveNext()) {
      const qsizetype k = rows->Value(0).toLongLong();
      if (k < 0 || k >= keys.size()) continue;
      for (int f = 0; f < fields; ++f)
        if (!rows->Value(f + 1).isNull()) now[size_t(k) * size_t(fields) + size_t(f)] = rows->Value(f + 1).toByteArray();
    }
  }
  for (const size_t i : which) {
    // A row that has gone, or holds something else than either value, was
    // changed since; one that holds its old value already needs nothing.
    const Entry& e = entries_[i];
    const std::optional<QByteArray>& value = now[size_t(keyIndex.value(e.key)) * size_t(fields) + size_t(e.field)];
    if (value && *value == e.newValue) {
      ++pendingRestored_;
      pendingSettled_.push_back(e.id);
    } else if (!value || *value != e.oldValue) {
      ++pendingChanged_;  // stays in the journal: undoing again may find it
      if (size_t(e.field) < pendingChangedByField_.size()) ++pendingChangedByField_[size_t(e.field)];
    } else {
      pendingSettled_.push_back(e.id);  // as it was before the run already
    }
  }
}

void Restorer::NotApplied(ADODB::Connection&, const Batch::Note& note, bool) {
  const size_t i = size_t(note.records.value(0).record);
  if (i >= entries_.size()) return;
  const auto found = std::find(pendingSettled_.begin(), pendingSettled_.end(), entries_[i].id);
  if (found != pendingSettled_.end()) pendingSettled_.erase(found);
}

void Restorer::Committed() {
  restored_ += pendingRestored_;
  changed_ += pendingChanged_;
  changedByField_.resize(pendingChangedByField_.size(), 0);
  for (size_t f = 0; f < pendingChangedByField_.size(); ++f) changedByField_[f] += pendingChangedByField_[f];
  pendingChangedByField_.assign(pendingChangedByField_.size(), 0);
  pendingRestored_ = pendingChanged_ = 0;
  std::vector<qint64> settled;
  settled.swap(pendingSettled_);
  store_.Settle(settled);
}

}  // namespace Journal
