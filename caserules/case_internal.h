// Pieces of the case rules that more than one source file of the module
// needs. Not for use outside caserules/.
#pragma once

#include <QString>

namespace Case::Internal {

// Largest value of the 16-bit signed counters the rules count with.
constexpr int kCounterMax = 32767;

// The characters after which Proper Case raises a letter.
bool IsWordSeparator(QChar c);

// The length of the character that starts at position i: 2 for a surrogate
// pair, else 1.
qsizetype CharacterLength(const QString& text, qsizetype i);

// Upper-cases the character that starts at position i (a unit or a pair).
void RaiseAt(QString& text, qsizetype i);
// Title-cases it: the same as upper case but for the letters whose title
// case differs (Georgian, the digraphs ǅ, ǈ, ǋ, ǲ).
void TitleAt(QString& text, qsizetype i);

// ', ’ and ʼ.
bool IsApostrophe(QChar c);
// -, ‐ and ‑.
bool IsHyphen(QChar c);

}  // namespace Case::Internal
