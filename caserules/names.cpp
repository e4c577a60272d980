// Name Case: Proper Case with what people's names usually look like on top.
//
// The text is lowered as a whole, as Proper Case does, and then raised at the
// start of every word; what Name Case adds is where else it raises and which
// words inside a name it leaves lowered. Everything it knows about names is
// in kNameFacts below.
#include <QHash>
#include <vector>

#include "caserules/case.h"
#include "caserules/case_internal.h"

namespace Case {
namespace {

using Internal::IsApostrophe;
using Internal::IsWordSeparator;
using Internal::TitleAt;

enum class Kind {
  // The start of a name part after which the next character is raised too:
  // McDonald, O'Neil.
  Prefix,
  // A whole name part that is Mac plus a raised letter: MacLeod.
  MacName,
  // Lower case inside a name, before another word: Ludwig van Beethoven.
  Particle,
  // Lower case right after a lowered particle: van der Waals, de la Cruz.
  Article,
  // Lower case between two full words (not initials): Garcia i Quiles.
  Conjunction,
  // Upper case whole after the first word: Henry VIII.
  Numeral,
  // Written as spelt after the first word, with or without its full stop
  // or a comma: John Smith, PhD.
  PostNominal,
};

struct NameFact {
  const char16_t* word;  // in lower case, with ' as the apostrophe
  Kind kind;
  const char16_t* spelling = nullptr;  // a PostNominal's
};

// Where a spelling differs between countries, the one most people write wins.
constexpr NameFact kNameFacts[] = {
    // Mc is always a prefix: no name goes on after a lower-case "Mc".
    {u"mc", Kind::Prefix},
    // The elided article or preposition is written with a capital, and so is
    // the name after it. O' is Irish and always capital. A lower-case d' is
    // the French nobiliary form (Giscard d'Estaing), far rarer than the
    // Italian family names D'Angelo, D'Amico, D'Alessandro, which keep their
    // capital inside a full name too; the same goes for L'Heureux and the
    // Italian Dell'Acqua, Dall'Ara, Sant'Angelo.
    {u"o'", Kind::Prefix},
    {u"d'", Kind::Prefix},
    {u"l'", Kind::Prefix},
    {u"dell'", Kind::Prefix},
    {u"dall'", Kind::Prefix},
    {u"nell'", Kind::Prefix},
    {u"sant'", Kind::Prefix},
    // Given names built on De, Da, La, Sha, Ke and Ta with an apostrophe
    // write the rest with a capital too (De'Andre, Da'Quan, La'Tonya,
    // Sha'Carri), and so do the West African names after N' (N'Golo,
    // N'Diaye). Not Ja', Ma', Mu' or Sa': Arabic names write the letter
    // after their ayn small (Ja'far, Ma'mun, Mu'awiya, Sa'id).
    {u"de'", Kind::Prefix},
    {u"da'", Kind::Prefix},
    {u"la'", Kind::Prefix},
    {u"sha'", Kind::Prefix},
    {u"ke'", Kind::Prefix},
    {u"ta'", Kind::Prefix},
    {u"n'", Kind::Prefix},
    // Mac is a prefix only in these Scottish and Irish names; elsewhere "Mac"
    // is just the start of the word (Mackall, Maciel, Macedo, Machado, Mack,
    // Macey, Mace), and Macaulay, Mackie and Mackintosh are mostly written so.
    {u"macadam", Kind::MacName},      {u"macalister", Kind::MacName},   {u"macallister", Kind::MacName},
    {u"macandrew", Kind::MacName},    {u"macarthur", Kind::MacName},    {u"macaskill", Kind::MacName},
    {u"macbain", Kind::MacName},      {u"macbride", Kind::MacName},     {u"maccallum", Kind::MacName},
    {u"maccarthy", Kind::MacName},    {u"maccormick", Kind::MacName},   {u"macdermott", Kind::MacName},
    {u"macdonald", Kind::MacName},    {u"macdonell", Kind::MacName},    {u"macdougall", Kind::MacName},
    {u"macdowell", Kind::MacName},    {u"macduff", Kind::MacName},      {u"maceachern", Kind::MacName},
    {u"macewan", Kind::MacName},      {u"macewen", Kind::MacName},      {u"macfarlane", Kind::MacName},
    {u"macfadyen", Kind::MacName},    {u"macgillivray", Kind::MacName}, {u"macgowan", Kind::MacName},
    {u"macgregor", Kind::MacName},    {u"macinnes", Kind::MacName},     {u"macintyre", Kind::MacName},
    {u"maciver", Kind::MacName},      {u"mackay", Kind::MacName},       {u"mackenzie", Kind::MacName},
    {u"mackillop", Kind::MacName},    {u"mackinlay", Kind::MacName},    {u"mackinnon", Kind::MacName},
    {u"maclachlan", Kind::MacName},   {u"maclaine", Kind::MacName},     {u"maclaren", Kind::MacName},
    {u"maclean", Kind::MacName},      {u"maclellan", Kind::MacName},    {u"maclennan", Kind::MacName},
    {u"macleod", Kind::MacName},      {u"macmahon", Kind::MacName},     {u"macmanus", Kind::MacName},
    {u"macmillan", Kind::MacName},    {u"macnab", Kind::MacName},       {u"macnamara", Kind::MacName},
    {u"macnaughton", Kind::MacName},  {u"macneil", Kind::MacName},      {u"macneill", Kind::MacName},
    {u"macnicol", Kind::MacName},     {u"macphail", Kind::MacName},     {u"macphee", Kind::MacName},
    {u"macpherson", Kind::MacName},   {u"macquarrie", Kind::MacName},   {u"macqueen", Kind::MacName},
    {u"macrae", Kind::MacName},       {u"mactavish", Kind::MacName},
    // Particles. Dutch "van" is lower case after a given name, and Dutch,
    // Afrikaans and German speakers (van, von) outnumber the Flemish and
    // American "Van". "de", "da", "do", "dos", "das" and "del" are lower case
    // in Spanish, Portuguese, French and Dutch names, which far outnumber the
    // Italian and Flemish "De", "Del". Italian names keep their capital
    // (Di Maio, Della Valle, Lo Russo), and "Di" is hardly ever a particle
    // anywhere else, so di, della, dalla and lo are no particles. Nor is
    // "le": French family names write "Le Guin", "Le Goff", and "Le" is a
    // common Vietnamese family name.
    {u"van", Kind::Particle},
    {u"von", Kind::Particle},
    {u"vom", Kind::Particle},
    {u"zu", Kind::Particle},
    {u"zum", Kind::Particle},
    {u"zur", Kind::Particle},
    {u"ten", Kind::Particle},
    {u"ter", Kind::Particle},
    {u"de", Kind::Particle},
    {u"du", Kind::Particle},
    {u"da", Kind::Particle},
    {u"do", Kind::Particle},
    {u"dos", Kind::Particle},
    {u"das", Kind::Particle},
    {u"del", Kind::Particle},
    {u"bin", Kind::Particle},
    {u"binti", Kind::Particle},
    {u"bint", Kind::Particle},
    {u"ibn", Kind::Particle},
    {u"al", Kind::Particle},
    {u"der", Kind::Article},
    {u"den", Kind::Article},
    {u"het", Kind::Article},
    {u"la", Kind::Article},
    {u"las", Kind::Article},
    {u"los", Kind::Article},
    // Spanish "y", Catalan "i". Portuguese "e" is left out: "E" is a common
    // initial written without a dot (James E Keenan).
    {u"y", Kind::Conjunction},
    {u"i", Kind::Conjunction},
    // Roman numerals I to XX. XI is missing: as a word after a given name it
    // is far more often the Chinese family name Xi than a regnal number. VI
    // stays, since Vi is rare as a later word of a name.
    {u"i", Kind::Numeral},     {u"ii", Kind::Numeral},    {u"iii", Kind::Numeral},  {u"iv", Kind::Numeral},
    {u"v", Kind::Numeral},     {u"vi", Kind::Numeral},    {u"vii", Kind::Numeral},  {u"viii", Kind::Numeral},
    {u"ix", Kind::Numeral},    {u"x", Kind::Numeral},     {u"xii", Kind::Numeral},  {u"xiii", Kind::Numeral},
    {u"xiv", Kind::Numeral},   {u"xv", Kind::Numeral},    {u"xvi", Kind::Numeral},  {u"xvii", Kind::Numeral},
    {u"xviii", Kind::Numeral}, {u"xix", Kind::Numeral},   {u"xx", Kind::Numeral},
    // Degrees, honours and professions written after a name. Not MA, BA or
    // MS: Ma is a common Chinese family name, and Ms a title. Not Md either,
    // which stands for Mohammad first in Bangladeshi names (Md Rahman); after
    // the first word, MD is the physician.
    {u"md", Kind::PostNominal, u"MD"},     {u"phd", Kind::PostNominal, u"PhD"},
    {u"mba", Kind::PostNominal, u"MBA"},   {u"dds", Kind::PostNominal, u"DDS"},
    {u"dmd", Kind::PostNominal, u"DMD"},   {u"dvm", Kind::PostNominal, u"DVM"},
    {u"cpa", Kind::PostNominal, u"CPA"},   {u"rn", Kind::PostNominal, u"RN"},
    {u"jd", Kind::PostNominal, u"JD"},     {u"llm", Kind::PostNominal, u"LLM"},
    {u"msc", Kind::PostNominal, u"MSc"},   {u"bsc", Kind::PostNominal, u"BSc"},
    {u"mbe", Kind::PostNominal, u"MBE"},   {u"obe", Kind::PostNominal, u"OBE"},
    {u"cbe", Kind::PostNominal, u"CBE"},   {u"kbe", Kind::PostNominal, u"KBE"},
    {u"frs", Kind::PostNominal, u"FRS"},   {u"qc", Kind::PostNominal, u"QC"},
    {u"kc", Kind::PostNominal, u"KC"},     {u"esq", Kind::PostNominal, u"Esq"},
    {u"jr", Kind::PostNominal, u"Jr"},     {u"sr", Kind::PostNominal, u"Sr"},
};

// The kinds each word of kNameFacts has, one bit a kind.
bool IsFact(const QString& word, Kind kind) {
  static const QHash<QString, unsigned> kinds = [] {
    QHash<QString, unsigned> byWord;
    for (const NameFact& fact : kNameFacts) byWord[QString::fromUtf16(fact.word)] |= 1u << int(fact.kind);
    return byWord;
  }();
  return kinds.value(word) & (1u << int(kind));
}

// Hyphens and the full stop of initials start a new part of a word, whose
// first character is raised like a word's: Jean-Luc, J.R.R., St.John.
bool IsPartBreak(QChar c) {
  return c == u'-' || c == u'\x2010' || c == u'\x2011' || c == u'.';
}

// A lowered piece of the text as the facts spell it: every apostrophe as '.
QString Key(const QString& lowered, qsizetype begin, qsizetype end) {
  QString key = lowered.mid(begin, end - begin);
  for (QChar& c : key) {
    if (IsApostrophe(c)) c = u'\'';
  }
  return key;
}

struct Span {
  qsizetype begin, end;
};

// A nickname in quotes or brackets: "Rusty", (Rusty), 'Rusty'. A single
// quote only opens one that it also closes: 't Hooft keeps its small t.
qsizetype QuotedStart(const QString& text, Span part) {
  const auto opens = [](QChar c) {
    return c == u'"' || c == u'(' || c == u'\x201C' || c == u'\x00AB' || c == u'\x201E';
  };
  qsizetype i = part.begin;
  while (i < part.end && opens(text.at(i))) ++i;
  if (i == part.begin && part.end - part.begin > 2 && (text.at(i) == u'\'' || text.at(i) == u'\x2018') &&
      (text.at(part.end - 1) == u'\'' || text.at(part.end - 1) == u'\x2019'))
    ++i;
  return i;
}

// Raises the first character of a name part and the one after a prefix: to
// its title case, which in Georgian, and for the digraphs, is not its upper
// case.
void CaseNamePart(QString& result, Span part) {
  part.begin = QuotedStart(result, part);
  if (part.begin == part.end) return;
  const QString key = Key(result, part.begin, part.end);
  TitleAt(result, part.begin);
  if (IsFact(key, Kind::MacName)) {
    TitleAt(result, part.begin + 3);
    return;
  }
  for (const NameFact& fact : kNameFacts) {
    const QStringView word(fact.word);
    if (fact.kind == Kind::Prefix && key.size() > word.size() && key.startsWith(word)) {
      TitleAt(result, part.begin + word.size());
      return;
    }
  }
}

// The spelling of a post-nominal, without the full stop or comma after it.
const char16_t* PostNominal(const QString& key) {
  static const QHash<QString, const char16_t*> spellings = [] {
    QHash<QString, const char16_t*> byWord;
    for (const NameFact& fact : kNameFacts)
      if (fact.kind == Kind::PostNominal) byWord.insert(QString::fromUtf16(fact.word), fact.spelling);
    return byWord;
  }();
  qsizetype length = key.size();
  while (length > 0 && (key.at(length - 1) == u'.' || key.at(length - 1) == u',')) --length;
  if (length < 2 || length > 3) return nullptr;
  return spellings.value(key.left(length), nullptr);
}

void CaseNameWord(QString& result, Span word) {
  qsizetype partBegin = word.begin;
  for (qsizetype i = word.begin; i <= word.end; ++i) {
    if (i == word.end || IsPartBreak(result.at(i))) {
      CaseNamePart(result, {partBegin, i});
      partBegin = i + 1;
    }
  }
}

// An initial such as "J." or "J" is no full word.
bool IsFullWord(const QString& text, Span word) {
  return word.end - word.begin >= 2 && !text.mid(word.begin, word.end - word.begin).contains(u'.');
}

}  // namespace

QString NameCase(const QString& text) {
  // The same limit as Proper Case: this is Proper Case with more to it.
  if (text.size() >= Internal::kCounterMax) throw Overflow();
  QString result = LowerText(text);
  std::vector<Span> words;
  for (qsizetype i = 0; i < result.size(); ++i) {
    if (IsWordSeparator(result.at(i))) continue;
    const qsizetype begin = i;
    while (i < result.size() && !IsWordSeparator(result.at(i))) ++i;
    words.push_back({begin, i});
  }
  // The first word is never a particle (a family name on its own keeps its
  // capital: Van Gogh, De Vries), nor is the last (Anh Do, Amit Das). But
  // the articles after a family name's leading particle are small, as they
  // are after a given name: Van der Berg, De la Cruz.
  bool particleBefore = false;
  for (size_t w = 0; w < words.size(); ++w) {
    const QString key = Key(result, words[w].begin, words[w].end);
    if (w > 0) {
      if (const char16_t* spelling = PostNominal(key)) {
        const QString written = QString::fromUtf16(spelling);
        result.replace(words[w].begin, written.size(), written);
        particleBefore = false;
        continue;
      }
    }
    if (w == 0 && words.size() > 2 && IsFact(key, Kind::Particle)) {
      CaseNameWord(result, words[w]);
      particleBefore = true;
      continue;
    }
    const bool inside = w > 0 && w + 1 < words.size();
    const bool particle =
        inside && (IsFact(key, Kind::Particle) || (particleBefore && IsFact(key, Kind::Article)) ||
                   (IsFact(key, Kind::Conjunction) && IsFullWord(result, words[w - 1]) &&
                    IsFullWord(result, words[w + 1])));
    particleBefore = particle;
    if (particle) continue;
    if (w > 0 && IsFact(key, Kind::Numeral)) {
      const Span word = words[w];
      result.replace(word.begin, word.end - word.begin, UpperText(result.mid(word.begin, word.end - word.begin)));
    } else {
      CaseNameWord(result, words[w]);
    }
  }
  return result;
}

}  // namespace Case
