#include "conversion/pairtable.h"

#include "database/batch.h"
#include "database/rewrite.h"

namespace Conversion {

bool PairTable::Make(ADODB::Connection& connection, const QString& table, const MySQL::RowIdentity& identity,
                     int fields) {
  try {
    connection.ExecuteMany(fields > 1 ? Rewrite::KeysTable(table, identity, fields) : Rewrite::KeysTable(table, identity),
                           [](int, ADODB::RecordSet*) {});
    return true;
  } catch (const ADODB::Error&) {
    return false;
  }
}

bool PairTable::Fill(ADODB::Connection& connection, const QString& insert) {
  try {
    if (pairsLeft_)
      connection.ExecuteMany(Rewrite::GroupsDone() + insert, [](int, ADODB::RecordSet*) {});
    else
      connection.Execute(insert);
    pairsLeft_ = true;
    return true;
  } catch (const ADODB::Error& e) {
    if (Batch::Classify(e) == Batch::ErrorKind::Fatal) throw Batch::FatalError(e);
    return false;
  }
}

}  // namespace Conversion
