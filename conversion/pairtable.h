// The session's pair table: a group's (key, old bytes, new bytes) rows go in,
// and one UPDATE joined to it changes the rows that still hold their exact
// old bytes. A run's groups and an undo's go the same way.
#pragma once

#include <QString>

#include "database/ado.h"
#include "database/rewrite.h"
#include "database/rowkey.h"

namespace Conversion {

// The pairs of one group, as statement bytes and records at most (and the
// bytes well under what the server takes in one statement). A group is one
// statement, which a cluster takes back whole when another node writes one
// of its rows: larger groups are faster alone and never get through a busy
// cluster, so a run halves its groups each time one is taken back, and
// paces them to the time they take.
constexpr qsizetype kJoinBytes = 512 * 1024;
constexpr size_t kJoinRecords = 1000;
constexpr size_t kPacedRecords = 50;  // the fewest a paced or halved group holds

class PairTable {
 public:
  // What the session's pair table is keyed by: None where it could not be
  // made.
  enum class Kind { None, Numbered, Keyed };
  // Makes the session's pair table for `table`'s key: keyed by that key
  // where it can be (a key of long text cannot), else by the pairs'
  // numbers; None where this login may not make temporary tables: the
  // rows then go one by one. A run of several fields keeps each one's
  // values (`fields`).
  static Kind Make(ADODB::Connection& connection, const QString& table, const MySQL::RowIdentity& identity,
                   int fields = 1);
  // Fills it with a group's pairs (Rewrite::GroupInsert), once the group
  // before it is emptied out. False where the server refused the pairs: the
  // group's records go one by one. Raises Batch::FatalError where nothing
  // later can succeed.
  // A group's insert: its array of parameters where it is made, else its
  // text (`arrays`: TakesArrays).
  struct Insert {
    QString text;
    Rewrite::GroupArray array;
  };
  static Insert Pairs(bool arrays, int group, const MySQL::RowIdentity& identity,
                      const std::vector<Rewrite::Pair>& pairs, int fields = 1);
  bool Fill(ADODB::Connection& connection, const Insert& insert);
  // Whether the server takes an array of parameters in one round trip
  // (MariaDB's bulk execution): elsewhere the driver sends it row by row,
  // and a group's insert goes as text.
  static bool TakesArrays(const ADODB::Connection& connection);

 private:
  bool pairsLeft_ = false;  // the table holds the last group's pairs
};

}  // namespace Conversion
