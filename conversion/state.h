// What a run keeps between its steps: shared by the engine's files, no
// one else's.
#pragma once

#include <QHash>
#include <QString>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <vector>

#include "conversion/engine.h"
#include "database/ado.h"
#include "database/batch.h"
#include "database/columnbytes.h"
#include "database/rewrite.h"
#include "database/rowkey.h"
#include "database/rows.h"
#include "database/valuejoin.h"
#include "journal/recorder.h"
#include "conversion/way.h"
#include "conversion/position.h"
#include "conversion/waiting.h"

namespace Conversion {

// A field of a run of several: how it is read and written, the current
// record's value of it, and its counts.
struct FieldState {
  FieldMode asked;
  MySQL::RowIdentity identity;
  std::unique_ptr<Rewrite::ColumnBytes> bytes;
  bool readsBytes = false;
  int valueColumn = 0, storedColumn = -1;  // of the rows read (-1: its stored bytes are not read)
  Summary totals;  // counted on the run's thread, and at its end
  // What the server says it changed of this field: told from the group's
  // thread too.
  std::atomic<qint64> changed{0}, changedSince{0}, sameValue{0}, notMatching{0}, storedOtherwise{0};
};

struct Run::State {
  RunHold hold;
  Position position;
  std::unique_ptr<ADODB::Connection> connection;
  // The rows are read through a session of their own that takes one
  // statement a text: no condition can add one, and a keyed run reads its
  // next chunk there while a group is on its way on `connection`.
  std::unique_ptr<ADODB::Connection> reading;
  MySQL::ConnectionDetails details;
  std::unique_ptr<Rewrite::Rows> records;
  std::unique_ptr<Batch::Sender> sender;
  std::unique_ptr<Rewrite::ColumnBytes> bytes;
  std::unique_ptr<Journal::RunRecorder> journal;
  MySQL::RowIdentity identity;
  QString table, field;
  QString where;  // the user's condition on the rows, if any
  bool keyed = false;
  int storedColumn = 1;
  bool readsBytes = false;  // the field is read as its bytes alone (ColumnBytes::LearnBytes)

  // The current record.
  qint64 record = 0;
  bool isBytes = false, haveOld = false, haveNew = false;
  bool failed = false;  // reading or converting it failed
  bool oldNull = false;  // the value read was NULL
  QString oldText, newText, key, keyValues, statement;
  Case::CaseMode mode = Case::CaseMode::CaseUpper;  // as the record was converted
  QByteArray oldBytes, newBytes;
  int tag = 0;

  // Without a key a statement stands for every row holding its value, and
  // goes once for the first record of that value: its answer holds for all
  // of them.
  Rewrite::DistinctValues distinct;
  QHash<qsizetype, QString> refusals;  // the refused values, with the server's text
  // How many records go together, where the table lets them: by key, or
  // (where nothing finds a value's rows fast) all values as one join at the
  // end.
  std::unique_ptr<Way> way;
  std::unique_ptr<Waiting> waiting;
  Ending ending;

  // A run of several fields: each one (none for a run of one field), and the
  // current record's changes.
  std::vector<std::unique_ptr<FieldState>> fields;
  QStringList fieldNames;
  std::vector<Rewrite::Cell> cells;
  std::vector<Conversion::Read> read;  // the row's every field as read, where each one could be

  // What the server says the run changed, and the rows it was meant to
  // change and did not: told from the group's thread too.
  std::atomic<qint64> serverChanged{0}, changedSince{0}, sameValue{0}, notMatching{0}, storedOtherwise{0};
  std::atomic<qint64> serverComputed{0};  // of serverChanged, by the server's own function
  QString triggers;  // the table's UPDATE triggers, by name: a value may be stored otherwise than sent
};

// A connection for a run or an undo: statements in batches (unless
// `multiple` is false: one statement a text); quotes and backslashes read
// as Rewrite::ConditionFault reads them; with `settings`, the session
// refuses what does not fit and keeps TIMESTAMP keys in UTC.
std::unique_ptr<ADODB::Connection> OpenSession(const MySQL::ConnectionDetails& details, bool responsive,
                                               bool settings, bool multiple = true);

// Looks into a statement that changed fewer rows than it was sent to, once
// it has committed: a record sent alone (tag >= 0) or a group (tag -n - 1),
// whose note holds its records as Rewrite::RecordNote()s.
Batch::Shortfall FindShortfall(ADODB::Connection& connection, const MySQL::RowIdentity& identity, const QString& table,
                           const QString& field, int tag, const Batch::Note& note);

template <typename S>
const QString& NoteKey(const S& s, const QString& condition, const QString& values) {
  return s.keyed && !s.identity.keyValues.isEmpty() ? values : condition;
}

// A record's key as a condition: made from its values' literals where it
// was not kept.
template <typename S>
QString KeyOf(const S& s, const QString& condition, const QString& values) {
  return condition.isEmpty() ? Rewrite::KeyCondition(s.identity, values) : condition;
}

// Each field's mode text, in a run of several.
QStringList FieldModes(const std::vector<std::unique_ptr<FieldState>>& fields);

// Looks into a statement of a run of several fields once it has committed:
// each of its records (a row's field) that does not hold its new bytes.
// `changed`: the rows the server says it changed.
Batch::Shortfall FindCellShortfall(ADODB::Connection& connection, const MySQL::RowIdentity& identity,
                                   const QString& table, const QStringList& fields, int tag, const Batch::Note& note,
                                   qint64 changed);

inline ADODB::Error Closed() { return ADODB::Error(QStringLiteral("Operation is not allowed when the object is closed.")); }

}  // namespace Conversion
