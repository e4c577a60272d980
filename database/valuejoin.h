// Rows found by their exact value where nothing finds values fast: a table
// without a key whose field leads no index. One statement per value would
// read the whole table once per value. Instead the (old, new) pairs go to a
// temporary table of the session's as the records are read, and one joined
// UPDATE at the end reads the table once, each row looking its value up
// among the pairs by its exact bytes.
#pragma once

#include <QCryptographicHash>
#include <QHash>
#include <QSet>
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
//
// Only the texts of the last two generations are kept, so that a table of
// many millions of different values costs no more than two generations of
// them (about 45 bytes a text). A text seen again after two generations
// gets a new number: its statement or pair goes once more, and changes
// nothing more.
class DistinctValues {
 public:
  static constexpr qsizetype kGeneration = qsizetype(1) << 19;
  explicit DistinctValues(qsizetype generation = DefaultGeneration()) : generation_(generation) {}
  // The texts of a generation for the runs that start from now on (tests
  // make it small, to reach the forgetting with a few rows).
  static qsizetype& DefaultGeneration() {
    static qsizetype texts = kGeneration;
    return texts;
  }

  // The text's number, counting from 0 in the order first seen, and
  // whether it was seen now for the first time (with `record`, the record
  // it was first seen at). Counts it once more.
  std::pair<qsizetype, bool> Insert(const QString& text, qint64 record = -1);
  // The numbers given so far.
  qsizetype Size() const { return current_.base + current_.Size(); }
  // How often the text of that number has been inserted, and the record
  // it was first seen at; -1 for a number forgotten.
  qint64 Count(qsizetype number) const;
  qint64 FirstRecord(qsizetype number) const;

 private:
  struct Generation {
    qsizetype base = 0;                                  // its first number
    QHash<quint64, quint32> numbers;                     // by the first half
    std::deque<quint64> second;                          // by number - base
    QHash<std::pair<quint64, quint64>, quint32> apart;   // first halves met
    // By number - base: most texts are held by few records.
    std::deque<quint16> counts;
    QHash<quint32, qint64> more;  // past what counts holds
    std::deque<qint64> first;     // the record each was first seen at
    qsizetype Size() const { return qsizetype(second.size()); }
    // The index of the text of that digest, or -1.
    qint64 Find(quint64 high, quint64 low) const;
    const Generation* Holding(qsizetype number) const {
      return number >= base && number < base + Size() ? this : nullptr;
    }
  };
  std::pair<qsizetype, bool> Seen(Generation& g, quint32 index);
  QCryptographicHash hash_{QCryptographicHash::Sha256};
  qsizetype generation_;
  Generation current_, previous_;
};

class ValueJoin {
 public:
  // Makes the session's pair table, or raises ADODB::Error when the login
  // may not make temporary tables. The table goes with the session. The
  // pairs hold the column's own bytes (ColumnBytes).
  // `arrays`: the server takes an array of parameters in one round trip
  // (PairTable::TakesArrays), and the pairs go as one.
  ValueJoin(ADODB::Connection& connection, Batch::Sender& sender, const QString& table, const QString& field,
            bool arrays = false);
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

  // Where the rows the run read stand, for counting those of a value
  // refused: a table and its column of the field's bytes or text (the
  // table itself by default).
  void SetCounting(const QString& table, const QString& column) {
    countTable_ = table;
    countColumn_ = column;
  }

  // Sends the pairs still held, then the join, as one transaction. A join
  // the server refuses is taken back whole and goes again in halves, each
  // a transaction of its own, until each refusal belongs to one value,
  // which is passed to `refused` with the server's text as soon as it is
  // known, with the record it was first seen at and the rows read that
  // hold it; a value refused under another number already is not passed
  // again. A join refused even where it can change no row fails as a
  // whole: Batch::FatalError, as the sender raises it too.
  using RefusedCall = std::function<void(qsizetype value, const QString& text, qint64 record, qint64 rows)>;
  void Finish(const RefusedCall& refused);

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
  // The rows read that hold these bytes.
  qint64 RowsHolding(const QByteArray& bytes);

  ADODB::Connection& connection_;
  Batch::Sender& sender_;
  QString table_, field_;
  QString countTable_, countColumn_;
  QSet<QByteArray> reported_;  // the digests of the values refused
  std::function<void(const std::vector<Batch::Note>&)> ahead_;
  // The pairs not yet sent: as an array of parameters where the server
  // takes one in one round trip (four cells a pair), else as text.
  bool arrays_ = false;
  std::vector<QByteArray> cells_;
  std::vector<qsizetype> widths_ = std::vector<qsizetype>(4, 0);
  qsizetype cellBytes_ = 0, textBytes_ = 0;
  QString insert_;
  // The insert of the pairs held, and whether it takes the cells.
  std::pair<QString, bool> TakeInsert();
  // One pair's row of the insert as text, the insert's head first.
  static void AppendPair(QString& insert, const QByteArray& value, const QByteArray& record,
                         const QByteArray& oldBytes, const QByteArray& newBytes);
  std::vector<Batch::Note> notes_;
  qsizetype values_ = 0;  // one more than the highest value number sent
  std::optional<QString> refusal_;
  std::thread job_;
  std::atomic<bool> jobDone_{true};
  std::exception_ptr jobFailure_;
};

}  // namespace Rewrite
