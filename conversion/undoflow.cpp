#include "conversion/undoflow.h"

namespace Conversion {
namespace {

// A run named by its id: only on the server and database it ran on.
UndoChoice ById(Journal::Store& store, const UndoWanted& wanted) {
  UndoChoice choice;
  for (const Journal::Store::Listed& l : store.Runs({}))
    if (l.header.id == wanted.id) choice.run = l.header;
  const Journal::Target& here = wanted.target;
  if (!choice.run)
    choice.why = NoUndo::NoSuchId;
  else if (!Journal::SameServer(choice.run->target, here.server, here.port, here.serverId) ||
           choice.run->target.database != here.database)
    choice.why = NoUndo::OtherServer;
  else if (choice.run->undone)
    choice.why = NoUndo::AlreadyUndone;
  return choice;
}

// The newest run of the target not undone. A recovery that lost the newest
// runs whole leaves it unknown: an older one is taken back only by its id.
UndoChoice Newest(Journal::Store& store, const UndoWanted& wanted) {
  UndoChoice choice;
  if (!wanted.emptyMatchesAny) {
    choice.run = store.LastRun(wanted.target);
  } else {
    for (const Journal::Store::Listed& l : store.Runs(wanted.target))
      if (!l.header.undone) {
        choice.run = l.header;
        break;
      }
  }
  if (!choice.run) {
    choice.why = NoUndo::NoRun;
  } else if (const qint64 lostThrough = store.LostThrough(); choice.run->id < lostThrough) {
    choice.why = NoUndo::LostNewest;
    choice.lostThrough = lostThrough;
  }
  return choice;
}

}  // namespace

UndoChoice ChooseUndo(Journal::Store& store, const UndoWanted& wanted) {
  UndoChoice choice = wanted.id > 0 ? ById(store, wanted) : Newest(store, wanted);
  if (choice.why == NoUndo::None && !choice.run->keyless.isEmpty()) choice.why = NoUndo::Keyless;
  return choice;
}

UndoOutcome ReadUndo(const UndoResult& result, const Journal::RunHeader& run) {
  if (result.interrupted) return UndoOutcome::Interrupted;
  if (result.left > 0 && !result.triggers.isEmpty()) return UndoOutcome::LeftByTriggers;
  if (result.left > 0) return UndoOutcome::Left;
  if (run.lost != 0) return UndoOutcome::LostEntries;
  return UndoOutcome::Restored;
}

}  // namespace Conversion
