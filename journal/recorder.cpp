#include "journal/recorder.h"

#include <QSet>
#include <algorithm>
#include <optional>

#include "database/mysql.h"

namespace Journal {

namespace {

// The statements' escaped texts back to the values they stand for.
QString Unescape(const QString& escaped) {
  QString text;
  text.reserve(escaped.size());
  for (qsizetype i = 0; i < escaped.size(); ++i) {
    QChar c = escaped.at(i);
    if (c == u'\\' && i + 1 < escaped.size()) {
      c = escaped.at(++i);
      if (c == u'0') c = QChar(0);
    }
    text += c;
  }
  return text;
}

}  // namespace

std::unique_ptr<RunRecorder> RunRecorder::Start(ADODB::Connection& connection, const Target& target,
                                                const QString& mode, const QString& path) {
  RowIdentity identity = ReadRowIdentity(connection, target.table, target.field);
  // The batch's rows are read by a list of hundreds of values. Past a few
  // hundred the server guesses how many rows each value holds from its
  // statistics, which lag behind a table that was just filled or is being
  // changed, and may then read the whole table for every batch; looked up
  // value by value, the index is used.
  try {
    connection.Execute(QStringLiteral("SET SESSION eq_range_index_dive_limit=0;"));
  } catch (const ADODB::Error&) {
    // A server without the setting chooses as it always has.
  }
  auto store = std::make_unique<Store>(path);
  RunHeader header;
  header.target = target;
  header.mode = mode;
  header.time = QDateTime::currentDateTime();
  header.keyColumns = identity.columns.join(QStringLiteral(", "));
  header.charset = identity.charset;
  header.keyless = identity.keyless;
  store->BeginRun(header);
  return std::unique_ptr<RunRecorder>(new RunRecorder(std::move(store), std::move(header), std::move(identity)));
}

RunRecorder::RunRecorder(std::unique_ptr<Store> store, RunHeader header, RowIdentity identity)
    : store_(std::move(store)), header_(std::move(header)), identity_(std::move(identity)) {}

QString RunRecorder::Read(const QStringList& literals, bool lock) const {
  const QString field = MySQL::QuoteName(header_.target.field);
  const QString columns = identity_.columns.isEmpty()
                              ? field
                              : identity_.keyExpression + QStringLiteral(", CAST(") + field + QStringLiteral(" AS BINARY)");
  return QStringLiteral("SELECT ") + columns + QStringLiteral(" FROM ") + MySQL::QuoteName(header_.target.table) +
         QStringLiteral(" WHERE ") + field + QStringLiteral(" IN (") + literals.join(u',') + u')' +
         (lock ? QStringLiteral(" FOR UPDATE;") : QStringLiteral(";"));
}

void RunRecorder::Before(ADODB::Connection& connection, const std::vector<QStringList>& notes) {
  olds_.clear();
  pairs_.clear();
  before_.clear();
  counts_.clear();
  QSet<QString> seen;
  for (const QStringList& note : notes) {
    if (note.size() != 2 || note[0] == note[1]) continue;  // a statement that changes nothing
    if (!seen.contains(note[0])) {
      seen.insert(note[0]);
      olds_ << u'\'' + note[0] + u'\'';
      pairs_.push_back({Unescape(note[0]), Unescape(note[1])});
    }
  }
  if (olds_.isEmpty()) return;
  auto rows = connection.Execute(Read(olds_, true));
  while (rows && !rows->Eof()) {
    if (identity_.columns.isEmpty()) {
      ++counts_[MySQL::ValueText(rows->Value(0))];
    } else if (!rows->Value(1).isNull()) {
      before_.insert(rows->Value(0).toString(), rows->Value(1).toByteArray());
    }
    rows->MoveNext();
  }
}

void RunRecorder::BeforeCommit(ADODB::Connection& connection) {
  if (olds_.isEmpty()) return;
  std::vector<Entry> entries;
  if (identity_.columns.isEmpty()) {
    // Without a key only the pairs and how many rows each changed.
    QHash<QString, qint64> after;
    auto rows = connection.Execute(Read(olds_, false));
    for (; rows && !rows->Eof(); rows->MoveNext()) ++after[MySQL::ValueText(rows->Value(0))];
    for (const auto& [oldText, newText] : pairs_) {
      const qint64 changed = counts_.value(oldText) - after.value(oldText);
      if (changed > 0) entries.push_back({QString(), oldText.toUtf8(), newText.toUtf8(), changed});
    }
  } else {
    // The rows read before, again, by their keys: a new text the column
    // cannot hold must not fail the read, and its statement was refused.
    if (before_.isEmpty()) return;
    QStringList keys;
    keys.reserve(before_.size());
    for (auto it = before_.constBegin(); it != before_.constEnd(); ++it) keys << u'(' + it.key() + u')';
    auto rows = connection.Execute(QStringLiteral("SELECT ") + identity_.keyExpression + QStringLiteral(", CAST(") +
                                   MySQL::QuoteName(header_.target.field) + QStringLiteral(" AS BINARY) FROM ") +
                                   MySQL::QuoteName(header_.target.table) + QStringLiteral(" WHERE ") +
                                   keys.join(QStringLiteral(" OR ")) + u';');
    for (; rows && !rows->Eof(); rows->MoveNext()) {
      const auto found = before_.constFind(rows->Value(0).toString());
      if (found == before_.constEnd() || rows->Value(1).isNull()) continue;
      const QByteArray now = rows->Value(1).toByteArray();
      if (now != *found) entries.push_back({found.key(), *found, now, 1});
    }
  }
  store_->Append(header_.id, entries);
  for (const Entry& e : entries) rows_ += e.rows;
}

void RunRecorder::Finish() {
  try {
    if (rows_ == 0) store_->Drop(header_.id);
    store_->Prune(header_.target);
  } catch (const std::exception&) {
    // Older runs stay a little longer; the next run prunes them.
  }
}

Restorer::Restorer(const RunHeader& run, std::vector<Entry> entries) : run_(run), entries_(std::move(entries)) {}

QString Restorer::Statement(size_t i) const {
  const Entry& e = entries_[i];
  const QString field = MySQL::QuoteName(run_.target.field);
  return QStringLiteral("UPDATE ") + MySQL::QuoteName(run_.target.table) + QStringLiteral(" SET ") + field +
         QStringLiteral(" = ") + ByteLiteral(e.oldValue, run_.charset) + QStringLiteral(" WHERE ") + e.key +
         QStringLiteral(" AND ") + ExactTest(run_.target.field, e.newValue) + u';';
}

void Restorer::Before(ADODB::Connection& connection, const std::vector<QStringList>& notes) {
  pendingRestored_ = pendingChanged_ = 0;
  // One locking read for the whole batch, so that a distant server costs a
  // round trip a batch, not one a row: each row found says which key found
  // it. A key journaled twice is looked up once.
  std::vector<size_t> which;
  QHash<QString, int> keyIndex;
  QStringList keys;
  QString cases;
  for (const QStringList& note : notes) {
    const size_t i = note.value(0).toULongLong();
    which.push_back(i);
    const QString& key = entries_[i].key;
    if (keyIndex.contains(key)) continue;
    keyIndex.insert(key, int(keys.size()));
    cases += QStringLiteral(" WHEN ") + key + QStringLiteral(" THEN ") + QString::number(keys.size());
    keys << u'(' + key + u')';
  }
  std::vector<std::optional<QByteArray>> now(size_t(keys.size()));
  if (!keys.isEmpty()) {
    auto rows = connection.Execute(QStringLiteral("SELECT CASE") + cases + QStringLiteral(" END, CAST(") +
                                   MySQL::QuoteName(run_.target.field) + QStringLiteral(" AS BINARY) FROM ") +
                                   MySQL::QuoteName(run_.target.table) + QStringLiteral(" WHERE ") +
                                   keys.join(QStringLiteral(" OR ")) + QStringLiteral(" FOR UPDATE;"));
    for (; rows && !rows->Eof(); rows->MoveNext()) {
      const qsizetype k = rows->Value(0).toLongLong();
      if (k < 0 || k >= keys.size() || rows->Value(1).isNull()) continue;
      now[size_t(k)] = rows->Value(1).toByteArray();
    }
  }
  for (const size_t i : which) {
    // A row that has gone, or holds something else than either value, was
    // changed since; one that holds its old value already needs nothing.
    const Entry& e = entries_[i];
    const std::optional<QByteArray>& value = now[size_t(keyIndex.value(e.key))];
    if (value && *value == e.newValue) ++pendingRestored_;
    else if (!value || *value != e.oldValue) ++pendingChanged_;
  }
}

void Restorer::Committed() {
  restored_ += pendingRestored_;
  changed_ += pendingChanged_;
  pendingRestored_ = pendingChanged_ = 0;
}

std::vector<Entry> EntriesNewestFirst(Store& store, qint64 run) {
  std::vector<Entry> entries;
  store.ForEach(run, [&](const Entry& e) { entries.push_back(e); });
  std::reverse(entries.begin(), entries.end());
  return entries;
}

}  // namespace Journal
