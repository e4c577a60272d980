// Rows found by their exact value where nothing finds values fast: a table
// without a key whose field leads no index. One statement per value would
// read the whole table once per value. Instead the (old, new) pairs go to a
// temporary table of the session's as the records are read, and one joined
// UPDATE at the end reads the table once, each row looking its value up
// among the pairs by its exact bytes.
#pragma once

#include <QCryptographicHash>
#include <QHash>
#include <QString>
#include <QStringList>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "database/ado.h"
#include "database/batch.h"

namespace Rewrite {

// The distinct texts of a run, each by the first 128 bits of its SHA-256:
// a small fraction of the texts' own memory, and a digest no two texts
// share by chance or by design. The first half finds a number, the second
// confirms it; texts whose first halves meet are kept whole-digest apart.
class DistinctValues {
 public:
  // The text's number, counting from 0 in the order first seen, and
  // whether it was seen now for the first time. Counts it once more.
  std::pair<qsizetype, bool> Insert(const QString& text);
  qsizetype Size() const { return qsizetype(second_.size()); }
  // How often the text of that number has been inserted.
  qint64 Count(qsizetype number) const { return counts_[size_t(number)] + more_.value(quint32(number)); }

 private:
  QCryptographicHash hash_{QCryptographicHash::Sha256};
  QHash<quint64, quint32> numbers_;                   // by the first half
  std::deque<quint64> second_;                        // by number
  QHash<std::pair<quint64, quint64>, quint32> apart_;  // first halves met
  // By number: most texts are held by few records.
  std::deque<quint16> counts_;
  QHash<quint32, qint64> more_;  // past what counts_ holds
  std::pair<qsizetype, bool> Seen(quint32 number);
};

class ValueJoin {
 public:
  // Makes the session's pair table, or raises ADODB::Error when the login
  // may not make temporary tables. The table goes with the session. The
  // pairs hold the column's own bytes (ColumnBytes).
  ValueJoin(ADODB::Connection& connection, Batch::Sender& sender, const QString& table, const QString& field);
  ~ValueJoin();
  ValueJoin(const ValueJoin&) = delete;
  ValueJoin& operator=(const ValueJoin&) = delete;

  // Called with the notes of the pairs about to go to the server, before
  // they go: nothing is changed until the join, but the notes are let go.
  void SetAhead(std::function<void(const std::vector<Batch::Note>& notes)> ahead) { ahead_ = std::move(ahead); }

  // The pair of value number `value` (numbered from 0, each once), first
  // seen at `record`, with the note the sender's hook is to see for it.
  // Raises Batch::FatalError when the pairs cannot be kept: nothing has
  // been changed then.
  void Add(qsizetype value, qint64 record, const QByteArray& oldBytes, const QByteArray& newBytes,
           const Batch::Note& note);

  // Sends the pairs held so far, their notes first. They go on a thread of
  // their own while the next records are read and converted; the pairs
  // before them are in first. With `wait`, they are in on return.
  void Send(bool wait = false);

  // Sends the pairs still held, then the join, as one transaction. A join
  // the server refuses is taken back whole and goes again in halves, each
  // a transaction of its own, until each refusal belongs to one value,
  // which is passed to `refused` with the server's text as soon as it is
  // known. A join refused even where it can change no row fails as a
  // whole: Batch::FatalError, as the sender raises it too.
  void Finish(const std::function<void(qsizetype value, const QString& text)>& refused);

  // The tag of the join statements, for the sender's callback, which
  // passes each refusal's text to Refused.
  static constexpr int kTag = -1;
  void Refused(const QString& text) { refusal_ = text; }

 private:
  QString Statement(qsizetype first, qsizetype last) const;
  // The note of the one value of a range, from the pair table, as
  // journaled already.
  Batch::Note NoteOf(qsizetype value);
  // Until the pairs on their way are in; their failure as Batch::FatalError.
  void Wait();

  ADODB::Connection& connection_;
  Batch::Sender& sender_;
  QString table_, field_;
  std::function<void(const std::vector<Batch::Note>&)> ahead_;
  QString insert_;
  std::vector<Batch::Note> notes_;
  qsizetype values_ = 0;  // one more than the highest value number sent
  std::optional<QString> refusal_;
  std::thread job_;
  std::atomic<bool> jobDone_{true};
  std::exception_ptr jobFailure_;
};

}  // namespace Rewrite
