// What a journal file holds, read with SQLite itself rather than through
// Journal::Store.
#pragma once

#include <QString>
#include <vector>

#include "journal/store.h"

// Every entry of a run, in the order they were appended, those settled (no
// rows left to undo) too; each with its id. Fails the test where the file
// cannot be read.
std::vector<Journal::Entry> JournalEntries(const QString& path, qint64 run);
