// Pieces of the conversion run's statements.
#pragma once

#include <QString>

namespace Run {

// Escapes a value for a statement: backslash as \\, apostrophe as \', NUL
// as \0. Nothing else changes.
QString EscapeValue(const QString& text);

// The query that reads the field.
QString FieldQuery(const QString& table, const QString& field);

// The number of characters (code points) of a text, as the server counts them.
qsizetype CharacterCount(const QString& text);

// The statement that rewrites, in the rows whose whole value is the old text,
// that text to the new text. oldText and newText are escaped already;
// oldCharacters is the character count of the old text before escaping.
QString UpdateStatement(const QString& table, const QString& field, const QString& fieldAgain,
                        const QString& oldText, const QString& newText, qsizetype oldCharacters);

// Makes the run's session read backslash escapes as escapes, whatever the
// server's sql_mode says.
QString SessionModeStatement(const QString& currentMode);

}  // namespace Run
