// The undo of a run as the window and the command line both walk it: which
// run of the journal is taken back, or why none is; and, once Undo has
// answered, what became of it. The faces word both in their own way.
#pragma once

#include <QString>
#include <optional>

#include "conversion/engine.h"
#include "journal/store.h"

namespace Conversion {

// Which run to take back.
struct UndoWanted {
  // The connection's server, port and database, the server's own identity
  // (ServerIdentity), and the run's table and field.
  Journal::Target target;
  // A run named by its id, on that server and database; 0 for the newest
  // run of the target that has not been undone.
  qint64 id = 0;
  // Where the target's table and field (and any other part) left empty
  // match every run, as the command line's `undo` alone does; else only
  // runs of the target itself, as the window asks for its field's.
  bool emptyMatchesAny = false;
};

// Why no run is taken back.
enum class NoUndo {
  None,           // the run is there to undo
  NoRun,          // no run of the target is left to undo
  NoSuchId,       // the journal holds no run of that id
  OtherServer,    // the run named was made on another server or database
  AlreadyUndone,  // the run named has been undone
  LostNewest,     // a recovery lost the newest runs: the one found may not be the newest
  Keyless,        // the run's rows cannot be told apart: no undo is exact
};

struct UndoChoice {
  NoUndo why = NoUndo::None;
  // The run, where one was found (for NoRun and NoSuchId, none).
  std::optional<Journal::RunHeader> run;
  // For LostNewest: the highest run number the damaged journal gave out.
  qint64 lostThrough = 0;
};

// The run to take back, or why none is. Raises what the journal raises.
UndoChoice ChooseUndo(Journal::Store& store, const UndoWanted& wanted);

// What an undo that returned left behind, in the order it is told.
enum class UndoOutcome {
  Restored,         // every row is back
  Interrupted,      // ended early: the rest is still in the journal
  LeftByTriggers,   // rows left, and the table has UPDATE triggers that may have rewritten them
  Left,             // rows changed since were left: the run stays in the journal
  LostEntries,      // every row it could is back, but a recovery lost some of its entries
};
UndoOutcome ReadUndo(const UndoResult& result, const Journal::RunHeader& run);

}  // namespace Conversion
