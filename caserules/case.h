// The Case module: the five case rules, the case mode, and the routines that
// convert every item of a list in place.
#pragma once

#include <QHash>
#include <QString>
#include <optional>
#include <stdexcept>

namespace Case {

// Position of each mode in the mode list; the number is what the settings
// value "Combo1" stores.
enum class CaseMode { CaseUpper = 0, CaseLower = 1, CaseProper = 2, CaseSentence = 3, CaseName = 4 };

// Raised where a 16-bit counter would step past 32767.
class Overflow : public std::runtime_error {
 public:
  Overflow() : std::runtime_error("Overflow") {}
};

// Simple (one character to one character) case mapping of a whole text. The
// result always has the length of the input, counted in UTF-16 units.
QString UpperText(const QString& text);
QString LowerText(const QString& text);

QString ConvertCase(CaseMode mode, const QString& text);
QString ProperCase(const QString& text);
QString SentenceCase(const QString& text);
// Proper Case for people's names: Mc and the known Mac names, O' and the
// other elisions, particles inside a name (van, de, von, ...), each part of a
// hyphenated name, Roman numerals after the first word and initials written
// without spaces. Where none of these applies it is exactly ProperCase, with
// the same limit.
QString NameCase(const QString& text);

// The user's words, each written as it must appear (LLC, iPhone, PhD,
// McDonald's): one word a line, '#' starting a comment line.
class WordList {
 public:
  static WordList FromText(const QString& text);
  bool IsEmpty() const { return words_.isEmpty(); }
  qsizetype Size() const { return words_.size(); }
  // Writes every word of a converted text that is an entry, ignoring case,
  // as the entry spells it. A word is what Proper Case counts as one (set
  // apart by spaces, tabs and carriage returns), without the quotes,
  // brackets and punctuation around it; with `hyphenParts`, as in Name
  // Case, each hyphenated part is a word too. The length never changes.
  void Apply(QString& text, bool hyphenParts) const;

 private:
  bool Respell(QString& text, qsizetype begin, qsizetype end) const;
  QHash<QString, QString> words_;  // by the word lowered, with ' for its apostrophes
};

// Whether the text holds both capital (or title-case) and small letters.
bool IsMixedCase(const QString& text);

// What the user adds to the modes: a word list for Proper Case, Sentence
// case and Name Case, and values in mixed case kept as they are in Proper
// Case and Name Case. With neither, exactly the mode.
struct Rules {
  const WordList* words = nullptr;
  bool keepMixed = false;
};
QString ConvertCase(CaseMode mode, const QString& text, const Rules& rules);

// The mode a mode-list text names, by the search words "upper", "lower",
// "proper", "sentence", "name" tried in that order; none when it names no
// mode.
std::optional<CaseMode> CaseModeFromText(const QString& text);

// A list whose items have a text, addressed by position from 1.
class TextList {
 public:
  virtual ~TextList() = default;
  virtual int ItemCount() const = 0;
  virtual QString ItemText(int position) const = 0;
  virtual void SetItemText(int position, const QString& text) = 0;
};

void ConvertList(CaseMode mode, TextList& list, const Rules& rules = {});
void UpperCaseList(TextList& list);
void LowerCaseList(TextList& list);
void ProperCaseList(TextList& list, const Rules& rules = {});
void SentenceCaseList(TextList& list, const Rules& rules = {});
void NameCaseList(TextList& list, const Rules& rules = {});

}  // namespace Case
