// Name Case: Proper Case with what people's names usually look like on top.
//
// The text is lowered as a whole, as Proper Case does, and then raised at the
// start of every word; what Name Case adds is where else it raises and which
// words inside a name it leaves lowered. Everything it knows about names is
// in kNameFacts below.
#include <QHash>
#include <QRegularExpression>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "caserules/case.h"
#include "caserules/case_internal.h"

namespace Case {
namespace {

using Internal::IsApostrophe;
using Internal::IsHyphen;
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
  // Lower case before a hyphen in a later word: the Arabic article and its
  // forms (Bashar al-Assad, Salah ad-Din, Zia-ul-Haq).
  HyphenedArticle,
  // A Korean or Chinese family name: the hyphenated given name beside it
  // writes its second syllable small (Kim Dae-jung, Ban Ki-moon, Chiang
  // Kai-shek, Kang-min Liu).
  AsianFamily,
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
    // Given names built on De, La, Le, Ke and Za with an apostrophe write the
    // rest with a capital too (De'Andre, La'Tonya, Le'Veon, Za'Darius), and
    // so do the West African names after N' and M' (N'Golo, N'Diaye, M'Bow).
    // Not Da', Ja', Ma', Mu', Sa', Sha' or Ta': Arabic names write the
    // letter after their ayn small (Da'ud, Ja'far, Ma'mun, Mu'awiya, Sa'id,
    // Sha'ban), and so does Samoan (Ta'ala).
    {u"de'", Kind::Prefix},
    {u"la'", Kind::Prefix},
    {u"ke'", Kind::Prefix},
    {u"n'", Kind::Prefix},
    {u"m'", Kind::Prefix},
    {u"le'", Kind::Prefix},
    {u"za'", Kind::Prefix},
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
    {u"macrae", Kind::MacName},       {u"mactavish", Kind::MacName},    {u"macdiarmid", Kind::MacName},
    {u"maccaig", Kind::MacName},      {u"maccoll", Kind::MacName},      {u"macgraw", Kind::MacName},
    {u"macmurray", Kind::MacName},    {u"macinnis", Kind::MacName},     {u"macgill", Kind::MacName},
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
    // "Al" alone is a house's name and keeps its capital (Al Saud, Al
    // Thani); joined by a hyphen it is the article, small inside a name.
    {u"al", Kind::HyphenedArticle},   {u"el", Kind::HyphenedArticle},   {u"ul", Kind::HyphenedArticle},
    {u"ud", Kind::HyphenedArticle},   {u"ad", Kind::HyphenedArticle},   {u"ash", Kind::HyphenedArticle},
    {u"ar", Kind::HyphenedArticle},   {u"az", Kind::HyphenedArticle},
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
    // Degrees, honours and professions written after a name. Not MA, BA,
    // MS or MBA: Ma is a common Chinese family name, Mba an Igbo one, and Ms
    // a title. Not Md either,
    // which stands for Mohammad first in Bangladeshi names (Md Rahman); after
    // the first word, MD is the physician.
    {u"md", Kind::PostNominal, u"MD"},     {u"phd", Kind::PostNominal, u"PhD"},
    {u"dds", Kind::PostNominal, u"DDS"},
    {u"dmd", Kind::PostNominal, u"DMD"},   {u"dvm", Kind::PostNominal, u"DVM"},
    {u"cpa", Kind::PostNominal, u"CPA"},   {u"rn", Kind::PostNominal, u"RN"},
    {u"jd", Kind::PostNominal, u"JD"},     {u"llm", Kind::PostNominal, u"LLM"},
    {u"msc", Kind::PostNominal, u"MSc"},   {u"bsc", Kind::PostNominal, u"BSc"},
    {u"mbe", Kind::PostNominal, u"MBE"},   {u"obe", Kind::PostNominal, u"OBE"},
    {u"cbe", Kind::PostNominal, u"CBE"},   {u"kbe", Kind::PostNominal, u"KBE"},
    {u"frs", Kind::PostNominal, u"FRS"},   {u"qc", Kind::PostNominal, u"QC"},
    {u"kc", Kind::PostNominal, u"KC"},     {u"esq", Kind::PostNominal, u"Esq"},
    {u"jr", Kind::PostNominal, u"Jr"},     {u"sr", Kind::PostNominal, u"Sr"},
    // The commonest Korean and Chinese family names as they are romanized.
    // Only a given name of two syllables as those romanizations spell them
    // follows the rule, so Jean-Luc Lee and Mary-Kate Park keep their
    // capitals.
    {u"kim", Kind::AsianFamily},   {u"lee", Kind::AsianFamily},   {u"yi", Kind::AsianFamily},
    {u"park", Kind::AsianFamily},  {u"pak", Kind::AsianFamily},   {u"choi", Kind::AsianFamily},
    {u"choe", Kind::AsianFamily},  {u"jung", Kind::AsianFamily},  {u"jeong", Kind::AsianFamily},
    {u"chung", Kind::AsianFamily}, {u"kang", Kind::AsianFamily},  {u"cho", Kind::AsianFamily},
    {u"yoon", Kind::AsianFamily},  {u"yun", Kind::AsianFamily},   {u"youn", Kind::AsianFamily},
    {u"jang", Kind::AsianFamily},  {u"chang", Kind::AsianFamily}, {u"lim", Kind::AsianFamily},
    {u"han", Kind::AsianFamily},   {u"oh", Kind::AsianFamily},    {u"seo", Kind::AsianFamily},
    {u"suh", Kind::AsianFamily},   {u"shin", Kind::AsianFamily},  {u"kwon", Kind::AsianFamily},
    {u"hwang", Kind::AsianFamily}, {u"ahn", Kind::AsianFamily},   {u"song", Kind::AsianFamily},
    {u"yoo", Kind::AsianFamily},   {u"ryu", Kind::AsianFamily},   {u"hong", Kind::AsianFamily},
    {u"jeon", Kind::AsianFamily},  {u"chun", Kind::AsianFamily},  {u"jun", Kind::AsianFamily},
    {u"ko", Kind::AsianFamily},    {u"moon", Kind::AsianFamily},  {u"yang", Kind::AsianFamily},
    {u"son", Kind::AsianFamily},   {u"bae", Kind::AsianFamily},   {u"baek", Kind::AsianFamily},
    {u"nam", Kind::AsianFamily},   {u"roh", Kind::AsianFamily},   {u"noh", Kind::AsianFamily},
    {u"kwak", Kind::AsianFamily},  {u"cha", Kind::AsianFamily},   {u"min", Kind::AsianFamily},
    {u"ban", Kind::AsianFamily},   {u"bong", Kind::AsianFamily},  {u"chen", Kind::AsianFamily},
    {u"lin", Kind::AsianFamily},   {u"wang", Kind::AsianFamily},  {u"li", Kind::AsianFamily},
    {u"zhang", Kind::AsianFamily}, {u"liu", Kind::AsianFamily},   {u"huang", Kind::AsianFamily},
    {u"wu", Kind::AsianFamily},    {u"tsai", Kind::AsianFamily},  {u"chiang", Kind::AsianFamily},
    {u"ma", Kind::AsianFamily},    {u"sun", Kind::AsianFamily},   {u"tung", Kind::AsianFamily},
    {u"wong", Kind::AsianFamily},  {u"leung", Kind::AsianFamily}, {u"lai", Kind::AsianFamily},
    {u"kao", Kind::AsianFamily},   {u"fan", Kind::AsianFamily},
    {u"cheung", Kind::AsianFamily}, {u"chan", Kind::AsianFamily}, {u"lau", Kind::AsianFamily},
    {u"hsu", Kind::AsianFamily},   {u"hsieh", Kind::AsianFamily}, {u"kuo", Kind::AsianFamily},
    {u"tseng", Kind::AsianFamily}, {u"chou", Kind::AsianFamily},  {u"yeh", Kind::AsianFamily},
};

// The kinds each word of kNameFacts has, one bit a kind.
// (Looked up for every word of every name: hashed by a hash of its own,
// far cheaper than QString's for words this short.)
struct WordHash {
  size_t operator()(std::u16string_view word) const {
    size_t h = 14695981039346656037ull;
    for (const char16_t c : word) h = (h ^ c) * 1099511628211ull;
    return h;
  }
};

bool IsFact(const QString& word, Kind kind) {
  static const std::unordered_map<std::u16string_view, unsigned, WordHash> kinds = [] {
    std::unordered_map<std::u16string_view, unsigned, WordHash> byWord;
    for (const NameFact& fact : kNameFacts) byWord[std::u16string_view(fact.word)] |= 1u << int(fact.kind);
    return byWord;
  }();
  const auto found = kinds.find(std::u16string_view(reinterpret_cast<const char16_t*>(word.utf16()), size_t(word.size())));
  return found != kinds.end() && (found->second & (1u << int(kind)));
}

// Hyphens and the full stop of initials start a new part of a word, whose
// first character is raised like a word's: Jean-Luc, J.R.R., St.John.
bool IsPartBreak(QChar c) { return IsHyphen(c) || c == u'.'; }

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
  static const std::vector<QStringView> prefixes = [] {
    std::vector<QStringView> words;
    for (const NameFact& fact : kNameFacts)
      if (fact.kind == Kind::Prefix) words.emplace_back(fact.word);
    return words;
  }();
  for (const QStringView word : prefixes) {
    if (key.size() > word.size() && key.startsWith(word)) {
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

// One syllable as Korean and Chinese romanizations spell it: up to three
// consonants, one to three vowels, and n, ng, k, l, m, p, t or h after them.
// Neither writes "ea" or "au", which Jean and Paul do.
bool IsSyllable(QStringView part) {
  static const QRegularExpression syllable(
      QStringLiteral("^[bcdfghjklmnpqrstwxyz]{0,3}(?!\\w*(ea|au))[aeiouy]{1,3}(ng|n|k|l|m|p|t|h)?$"));
  return syllable.match(part.toString()).hasMatch();
}

// `smallAfterHyphen`: the parts after the first stay small (a Korean or
// Chinese given name); `inside`: a later word, where the Arabic article
// before a hyphen stays small.
void CaseNameWord(QString& result, Span word, bool smallAfterHyphen = false, bool inside = false) {
  qsizetype partBegin = word.begin;
  bool first = true;
  for (qsizetype i = word.begin; i <= word.end; ++i) {
    if (i == word.end || IsPartBreak(result.at(i))) {
      const bool article = inside && i < word.end && IsHyphen(result.at(i)) &&
                           IsFact(Key(result, partBegin, i), Kind::HyphenedArticle);
      if (!article && (first || !smallAfterHyphen)) CaseNamePart(result, {partBegin, i});
      first = false;
      partBegin = i + 1;
    }
  }
}

// A hyphenated given name of two romanized syllables beside a Korean or
// Chinese family name.
bool AsianGivenName(const QString& result, const std::vector<Span>& words, size_t w) {
  const Span word = words[w];
  const QStringView text = QStringView(result).mid(word.begin, word.end - word.begin);
  qsizetype hyphen = -1;
  for (qsizetype i = 0; i < text.size(); ++i)
    if (IsHyphen(text.at(i))) {
      if (hyphen >= 0) return false;
      hyphen = i;
    }
  // A doubled syllable keeps both capitals: Yo-Yo Ma.
  if (hyphen <= 0 || !IsSyllable(text.left(hyphen)) || !IsSyllable(text.mid(hyphen + 1)) ||
      text.left(hyphen) == text.mid(hyphen + 1))
    return false;
  const auto family = [&](size_t n) {
    // (The word before has been cased already.)
    return n < words.size() && IsFact(LowerText(Key(result, words[n].begin, words[n].end)), Kind::AsianFamily);
  };
  return family(w + 1) || (w > 0 && family(w - 1));
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
    if (AsianGivenName(result, words, w)) {
      CaseNameWord(result, words[w], true);
      particleBefore = false;
      continue;
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
      CaseNameWord(result, words[w], false, w > 0);
    }
  }
  return result;
}

}  // namespace Case
