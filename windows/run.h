// Pieces of the conversion run that the window's tests and benchmarks share.
#pragma once

#include <QString>

namespace Run {

// Escapes a value for a statement between apostrophes: backslash as \\,
// apostrophe as \', NUL as \0. Nothing else changes.
QString EscapeValue(const QString& text);

}  // namespace Run
