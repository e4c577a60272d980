#include "database/valuejoin.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <exception>

#include "database/mysql.h"
#include "database/rewrite.h"
#include "database/rowkey.h"

namespace Rewrite {

namespace {

// The statement bytes of the pairs sent together.
constexpr qsizetype kPairBytes = 256 * 1024;

}  // namespace

qint64 DistinctValues::Generation::Find(quint64 high, quint64 low) const {
  const auto found = numbers.constFind(high);
  if (found == numbers.constEnd()) return -1;
  if (second[*found] == low) return *found;
  const auto known = apart.constFind({high, low});
  return known != apart.constEnd() ? qint64(*known) : -1;
}

std::pair<qsizetype, bool> DistinctValues::Insert(const QString& text, qint64 record) {
  hash_.reset();
  hash_.addData(QByteArrayView(reinterpret_cast<const char*>(text.utf16()), text.size() * qsizetype(sizeof(char16_t))));
  const QByteArrayView sum = hash_.resultView();
  quint64 high, low;
  std::memcpy(&high, sum.data(), 8);
  std::memcpy(&low, sum.data() + 8, 8);
  for (Generation* g : {&current_, &previous_})
    if (const qint64 index = g->Find(high, low); index >= 0) return Seen(*g, quint32(index));
  if (current_.Size() >= generation_) {
    // The older generation is forgotten; the current one becomes it.
    const qsizetype base = Size();
    previous_ = std::move(current_);
    current_ = Generation();
    current_.base = base;
  }
  Generation& g = current_;
  const quint32 index = quint32(g.Size());
  if (!g.numbers.contains(high))
    g.numbers.insert(high, index);
  else
    g.apart.insert({high, low}, index);
  g.second.push_back(low);
  g.counts.push_back(1);
  g.first.push_back(record);
  return {g.base + qsizetype(index), true};
}

std::pair<qsizetype, bool> DistinctValues::Seen(Generation& g, quint32 index) {
  quint16& count = g.counts[index];
  if (count == 0xFFFF) ++g.more[index];
  else ++count;
  return {g.base + qsizetype(index), false};
}

qint64 DistinctValues::Count(qsizetype number) const {
  for (const Generation* g : {current_.Holding(number), previous_.Holding(number)})
    if (g) return g->counts[size_t(number - g->base)] + g->more.value(quint32(number - g->base));
  return -1;
}

qint64 DistinctValues::FirstRecord(qsizetype number) const {
  for (const Generation* g : {current_.Holding(number), previous_.Holding(number)})
    if (g) return g->first[size_t(number - g->base)];
  return -1;
}

ValueJoin::ValueJoin(ADODB::Connection& connection, Batch::Sender& sender, const QString& table, const QString& field,
                     bool arrays)
    : connection_(connection), sender_(sender), table_(table), field_(field), countTable_(table), countColumn_(field),
      arrays_(arrays) {
  connection_.ExecuteMany(
      QStringLiteral("DROP TEMPORARY TABLE IF EXISTS nv_pairs;CREATE TEMPORARY TABLE nv_pairs (nv_value INT UNSIGNED NOT "
                     "NULL PRIMARY KEY, nv_record BIGINT NOT NULL, old LONGBLOB NOT NULL, new LONGBLOB NOT NULL, "
                     "KEY (old(255)));"),
      [](int, ADODB::RecordSet*) {});
}

void ValueJoin::Add(qsizetype value, qint64 record, const QByteArray& oldBytes, const QByteArray& newBytes,
                    const Batch::Note& note) {
  if (arrays_) {
    // (A value of no bytes is not NULL: it goes as a buffer of its own.)
    const auto add = [&](const QByteArray& cell, int column) {
      cells_.push_back(cell.isNull() ? QByteArray("", 0) : cell);
      widths_[column] = std::max(widths_[column], cell.size());
      cellBytes_ += cell.size();
    };
    add(QByteArray::number(value), 0);
    add(QByteArray::number(record), 1);
    add(oldBytes, 2);
    add(newBytes, 3);
    // Held as long as the same pairs would be as text.
    textBytes_ += 2 * (oldBytes.size() + newBytes.size()) + 32;
  } else {
    AppendPair(insert_, QByteArray::number(value), QByteArray::number(record), oldBytes, newBytes);
    textBytes_ = insert_.size();
  }
  notes_.push_back(note);
  values_ = std::max(values_, value + 1);
  if (textBytes_ >= std::min(kPairBytes, sender_.ByteBound())) Send();
}

std::pair<QString, bool> ValueJoin::TakeInsert() {
  textBytes_ = 0;
  if (!arrays_) {
    QString insert = std::move(insert_) + u';';
    insert_.clear();
    return {insert, false};
  }
  const bool fits = ArrayFits(widths_, qsizetype(cells_.size() / 4), cellBytes_);
  std::fill(widths_.begin(), widths_.end(), 0);
  cellBytes_ = 0;
  if (fits) return {QStringLiteral("INSERT INTO nv_pairs (nv_value, nv_record, old, new) VALUES (?,?,?,?)"), true};
  QString insert;
  for (size_t i = 0; i < cells_.size(); i += 4) AppendPair(insert, cells_[i], cells_[i + 1], cells_[i + 2], cells_[i + 3]);
  cells_.clear();
  return {insert + u';', false};
}

void ValueJoin::AppendPair(QString& insert, const QByteArray& value, const QByteArray& record, const QByteArray& oldBytes,
                           const QByteArray& newBytes) {
  insert += insert.isEmpty() ? QStringLiteral("INSERT INTO nv_pairs (nv_value, nv_record, old, new) VALUES (")
                             : QStringLiteral(",(");
  insert += QString::fromLatin1(value) + u',' + QString::fromLatin1(record) + u',';
  MySQL::AppendByteLiteral(insert, oldBytes);
  insert += u',';
  MySQL::AppendByteLiteral(insert, newBytes);
  insert += u')';
}

ValueJoin::~ValueJoin() {
  if (job_.joinable()) job_.join();
}

void ValueJoin::Send(bool wait) {
  if (!insert_.isEmpty() || !cells_.empty()) {
    Wait();
    try {
      if (ahead_) ahead_(notes_);
    } catch (const ADODB::Error& e) {
      throw Batch::FatalError(e);
    } catch (const std::exception& e) {
      throw Batch::FatalError(ADODB::Error(QString::fromStdString(e.what())));
    }
    auto [insert, array] = TakeInsert();
    std::vector<QByteArray> cells;
    if (array) cells.swap(cells_);
    notes_.clear();
    jobDone_ = false;
    job_ = std::thread([this, insert = std::move(insert), cells = std::move(cells)] {
      try {
        if (cells.empty()) connection_.Execute(insert);
        else connection_.ExecuteArray(insert, {false, false, true, true}, cells);
      } catch (...) {
        jobFailure_ = std::current_exception();
      }
      jobDone_ = true;
      // Wakes a window's loop waiting below.
      if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
    });
  }
  if (wait) Wait();
}

void ValueJoin::Wait() {
  if (!job_.joinable()) return;
  // The window's events go on meanwhile.
  QCoreApplication* app = QCoreApplication::instance();
  if (app && QThread::currentThread() == app->thread())
    while (!jobDone_) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  job_.join();
  std::exception_ptr failure;
  std::swap(failure, jobFailure_);
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const ADODB::Error& e) {
    throw Batch::FatalError(e);
  } catch (const std::exception& e) {
    throw Batch::FatalError(ADODB::Error(QString::fromStdString(e.what())));
  }
}

QString ValueJoin::Statement(qsizetype first, qsizetype last) const {
  const QString column = MySQL::QuoteName(table_) + u'.' + MySQL::QuoteName(field_);
  // The table is read once, in its own order, each row looking its own
  // bytes up among the old values: nothing of the row is converted to be
  // compared. A row found gets the new bytes, with no collation in between.
  // (No alias for the pairs: it could be the table's own name.)
  return QStringLiteral("UPDATE ") + MySQL::QuoteName(table_) + QStringLiteral(" STRAIGHT_JOIN nv_pairs ON nv_pairs.old = CAST(") +
         column + QStringLiteral(" AS BINARY) AND nv_pairs.nv_value BETWEEN ") + QString::number(first) +
         QStringLiteral(" AND ") + QString::number(last) + QStringLiteral(" SET ") + column +
         QStringLiteral(" = nv_pairs.new;");
}

Batch::Note ValueJoin::NoteOf(qsizetype value) {
  auto row = connection_.Execute(
      QStringLiteral("SELECT nv_record, old, new FROM nv_pairs WHERE nv_value = %1;").arg(value));
  if (!row || row->Eof()) return {};
  return Journaled(RecordNote(row->Value(0).toLongLong(), QString(), row->Value(1).toByteArray(),
                              row->Value(2).toByteArray()));
}

qint64 ValueJoin::RowsHolding(const QByteArray& bytes) {
  auto row = connection_.Execute(QStringLiteral("SELECT COUNT(*) FROM ") + MySQL::QuoteName(countTable_) +
                                 QStringLiteral(" WHERE CAST(") + MySQL::QuoteName(countColumn_) +
                                 QStringLiteral(" AS BINARY) = ") + MySQL::ByteLiteral(bytes, {}) + u';');
  return row && !row->Eof() ? row->Value(0).toLongLong() : 0;
}

void ValueJoin::Finish(const RefusedCall& refused) {
  Send(true);
  // Ranges of values still to join, the next on top: a refused range goes
  // again as its two halves, the lower first.
  std::vector<std::pair<qsizetype, qsizetype>> ranges;
  if (values_ > 0) ranges.push_back({0, values_ - 1});
  while (!ranges.empty()) {
    const auto [first, last] = ranges.back();
    ranges.pop_back();
    Batch::Note note;
    if (first == last) {
      try {
        note = NoteOf(first);
      } catch (const ADODB::Error& e) {
        throw Batch::FatalError(e);
      }
    }
    refusal_.reset();
    sender_.Add(Statement(first, last), kTag, note);
    sender_.Flush();
    if (!refusal_) continue;
    if (first == last) {
      // A value seen again after its number was forgotten has two pairs,
      // refused alike: it is told of once.
      qint64 record = -1, rows = 0;
      if (!note.isEmpty()) {
        const Batch::RecordNote& one = note.records.front();
        const QByteArray digest = QCryptographicHash::hash(one.oldBytes, QCryptographicHash::Sha256);
        if (reported_.contains(digest)) continue;
        reported_.insert(digest);
        record = one.record;
        try {
          rows = RowsHolding(one.oldBytes);
        } catch (const ADODB::Error& e) {
          throw Batch::FatalError(e);
        }
      }
      refused(first, *refusal_, record, rows);
      continue;
    }
    if (first == 0 && last == values_ - 1) {
      // Refused as a whole: first make sure the statement itself can run
      // (it cannot where the server takes no UPDATE without a key, say), or
      // each value would be sent alone for the same answer.
      const QString whole = *refusal_;
      refusal_.reset();
      sender_.Add(Statement(1, 0), kTag);
      sender_.Flush();
      if (refusal_) throw Batch::FatalError(ADODB::Error(whole));
    }
    const qsizetype middle = first + (last - first) / 2;
    ranges.push_back({middle + 1, last});
    ranges.push_back({first, middle});
  }
}

}  // namespace Rewrite
