// What of the journal file's tables the store and the recovery of a damaged
// journal both know. Private to journal/: nothing outside it includes this
// file.
#pragma once

namespace Journal {

// The runs' columns later journals added, in the order a new journal adds
// them: a journal without one gets it when opened, and a recovery copies it
// where the damaged file has it, else its value for older runs.
struct AddedColumn {
  const char* name;
  const char* definition;
  const char* older;
};
inline constexpr AddedColumn kAddedColumns[] = {
    {"words", "TEXT NOT NULL DEFAULT ''", "''"},
    {"filter", "TEXT NOT NULL DEFAULT ''", "''"},
    {"server_id", "TEXT NOT NULL DEFAULT ''", "''"},  // the server's own identity
    {"key_names", "TEXT NOT NULL DEFAULT ''", "''"},
    {"changed", "INTEGER NOT NULL DEFAULT -1", "-1"},  // rows a run without a key changed; -1: not counted
    {"bytes", "INTEGER NOT NULL DEFAULT 0", "NULL"},   // counted from the entries when added
    // Why a run ended before its last row ('running' while it runs; '' once
    // it finished), the key of the last row it settled and the number of the
    // record after it.
    {"ended", "TEXT NOT NULL DEFAULT ''", "''"},
    {"position", "TEXT NOT NULL DEFAULT ''", "''"},
    {"next_record", "INTEGER NOT NULL DEFAULT 0", "0"},
    {"shape", "TEXT NOT NULL DEFAULT ''", "''"},  // the field's and key's declarations
    {"restored", "INTEGER NOT NULL DEFAULT 0", "0"},  // 1 once an undo has put back a row of it
    {"lost", "INTEGER NOT NULL DEFAULT 0", "0"},      // entries a recovery could not read (-1: some)
    // A run of several fields: their names and their modes, as JSON arrays.
    {"fields", "TEXT NOT NULL DEFAULT ''", "''"},
    {"modes", "TEXT NOT NULL DEFAULT ''", "''"},
    // How many entries the run wrote (those of packs one by one); -1 where
    // it began before they were counted.
    {"entries", "INTEGER NOT NULL DEFAULT 0", "-1"},
};
// The entries' column later journals added: which of the run's fields an
// entry changed.
inline constexpr AddedColumn kEntryField = {"field", "INTEGER NOT NULL DEFAULT 0", "0"};
// And whether a row is a pack of many entries (how many: see journal/pack.h)
// rather than one.
inline constexpr AddedColumn kEntryItems = {"items", "INTEGER NOT NULL DEFAULT 0", "0"};

}  // namespace Journal
