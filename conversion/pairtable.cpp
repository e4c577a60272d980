#include "conversion/pairtable.h"

#include "database/batch.h"
#include "database/rewrite.h"

namespace Conversion {

PairTable::Kind PairTable::Make(ADODB::Connection& connection, const QString& table,
                               const MySQL::RowIdentity& identity, int fields) {
  for (const bool keyed : {true, false}) {
    try {
      connection.ExecuteMany(fields > 1 ? Rewrite::KeysTable(table, identity, fields, keyed)
                                        : Rewrite::KeysTable(table, identity, keyed),
                             [](int, ADODB::RecordSet*) {});
      return keyed ? Kind::Keyed : Kind::Numbered;
    } catch (const ADODB::Error&) {
    }
  }
  return Kind::None;
}

PairTable::Insert PairTable::Pairs(bool arrays, int group, const MySQL::RowIdentity& identity,
                                   const std::vector<Rewrite::Pair>& pairs, int fields) {
  Insert insert;
  if (arrays) insert.array = Rewrite::MakeGroupArray(group, identity, pairs, fields);
  if (insert.array.Empty()) insert.text = Rewrite::GroupInsert(group, identity, pairs, fields);
  return insert;
}

bool PairTable::Fill(ADODB::Connection& connection, const Insert& insert) {
  const Rewrite::GroupArray& array = insert.array;
  try {
    // (A failed insert may leave some of its pairs behind too.)
    const bool left = pairsLeft_;
    pairsLeft_ = true;
    if (!array.Empty()) {
      if (left) connection.Execute(Rewrite::GroupsDone());
      connection.ExecuteArray(array.statement, array.binary, array.cells);
    } else if (left) {
      connection.ExecuteMany(Rewrite::GroupsDone() + insert.text, [](int, ADODB::RecordSet*) {});
    } else {
      connection.Execute(insert.text);
    }
    return true;
  } catch (const ADODB::Error& e) {
    if (Batch::Classify(e) == Batch::ErrorKind::Fatal) throw Batch::FatalError(e);
    return false;
  }
}

bool PairTable::TakesArrays(const ADODB::Connection& connection) {
  return connection.ServerVersion().contains(QLatin1String("MariaDB"), Qt::CaseInsensitive);
}

}  // namespace Conversion
