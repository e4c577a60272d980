// How many real people's names Name Case and Proper Case give back exactly as
// their owners write them, from the name in capitals and in lower case.
//
//   bench_names [FILE...] [--misses]
//
// bench/names.txt holds names collected from package maintainers, AUTHORS and
// THANKS files; bench/names-world.txt adds people from outside the
// English-speaking world, in their own scripts. One name a line, in UTF-8,
// spelt as its owner spells it. Names no rule could restore are counted
// apart. --misses prints every name Name Case does not restore.
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <cstdio>

#include "caserules/case.h"

namespace {

// Whether a name has what the name rules are there for: a particle, a Mc or
// Mac prefix or an elision. Kept apart from the rules' own facts on purpose:
// names without any of these must not come out worse than Proper Case makes
// them.
bool HasNamePattern(const QString& name) {
  static const QRegularExpression pattern(
      QStringLiteral("(^|\\s)(van|von|vom|zu|zum|zur|de|der|den|du|da|di|del|della|la|le|los|las|dos|das|do|ten|ter|"
                     "bin|binti|ibn|al|y|i|e)(?=\\s)|(^|[\\s-])ma?c\\w|['\u2019\u02BC]"),
      QRegularExpression::CaseInsensitiveOption);
  return pattern.match(name).hasMatch();
}

// Whether no case rule could give the name back from capitals, whatever it
// knew: a letter that capitals lose (ı, ß written as SS), a part of two or
// more letters written wholly in capitals (AIDA, DJ) that is no Roman
// numeral, a word that starts small and is no particle (bell hooks), or a
// capital inside a part that does not follow Mc, Mac, an apostrophe or a
// quote (DeShawn, LaToya, DiCaprio).
bool NoRuleRestores(const QString& name) {
  if (Case::LowerText(Case::UpperText(name)) != Case::LowerText(name)) return true;
  static const QRegularExpression numeral(QStringLiteral("^[IVX]+\\.?$"));
  static const QRegularExpression particle(
      QStringLiteral("^(van|von|vom|zu|zum|zur|de|der|den|du|da|di|del|della|la|le|los|las|dos|das|do|ten|ter|bin|"
                     "binti|ibn|al|y|i|e|het|'t|d'.*|l'.*|dell'.*)$"));
  for (const QString& word : name.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
    if (word.front().isLower() && !particle.match(word).hasMatch()) return true;
    for (QString part : word.split(QRegularExpression(QStringLiteral("[-\u2010\u2011]")), Qt::SkipEmptyParts)) {
      part.remove(QRegularExpression(QStringLiteral("[\"'()\u2018\u2019\u201C\u201D.,]")));
      int capitals = 0, letters = 0;
      for (const QChar c : part) {
        letters += c.isLetter();
        capitals += c.isUpper();
      }
      if (letters >= 2 && capitals == letters && !numeral.match(part).hasMatch()) return true;
    }
    static const QRegularExpression inner(QStringLiteral("(?<!^)(?<!^Mc)(?<!^Mac)(?<!['\u2019\u02BC\"(.-])\\p{Lu}"));
    for (const QString& part : word.split(QRegularExpression(QStringLiteral("[-\u2010\u2011]")), Qt::SkipEmptyParts))
      if (inner.match(part).hasMatch()) return true;
  }
  return false;
}

struct Tally {
  int fromUpper = 0, fromLower = 0;
};

double Percent(int part, int whole) { return whole ? 100.0 * part / whole : 0.0; }

double NsPerName(const QStringList& names, QString (*rule)(const QString&)) {
  QElapsedTimer timer;
  timer.start();
  qsizetype length = 0;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    for (const QString& name : names) length += rule(name).size();
  }
  const double ns = double(timer.nsecsElapsed()) / (double(kRounds) * names.size());
  return length > 0 ? ns : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList paths;
  bool printMisses = false;
  for (int i = 1; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    if (arg == QStringLiteral("--misses")) {
      printMisses = true;
    } else {
      paths << arg;
    }
  }
  if (paths.isEmpty()) paths = {QStringLiteral(NORVALE_NAMES_FILE), QStringLiteral(NORVALE_WORLD_NAMES_FILE)};
  QStringList names;
  for (const QString& path : paths) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
      std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
      return 1;
    }
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
      if (!line.trimmed().isEmpty()) names << line;
    }
  }
  names.removeDuplicates();
  if (names.isEmpty()) return 1;
  const QString path = paths.join(QStringLiteral(", "));

  Tally name, proper, nameRestorable, properRestorable;
  int withPattern = 0, regressions = 0, unrestorable = 0;
  QStringList regressed, misses;
  for (const QString& owner : names) {
    const QString upper = Case::UpperText(owner), lower = Case::LowerText(owner);
    const bool nameUp = Case::NameCase(upper) == owner, nameLow = Case::NameCase(lower) == owner;
    const bool properUp = Case::ProperCase(upper) == owner, properLow = Case::ProperCase(lower) == owner;
    name.fromUpper += nameUp;
    name.fromLower += nameLow;
    proper.fromUpper += properUp;
    proper.fromLower += properLow;
    if (NoRuleRestores(owner)) {
      ++unrestorable;
    } else {
      nameRestorable.fromUpper += nameUp;
      nameRestorable.fromLower += nameLow;
      properRestorable.fromUpper += properUp;
      properRestorable.fromLower += properLow;
    }
    if ((!nameUp || !nameLow) && (printMisses || !NoRuleRestores(owner))) misses << owner + QStringLiteral("  ->  ") + Case::NameCase(lower);
    if (HasNamePattern(owner)) {
      ++withPattern;
    } else if ((properUp && !nameUp) || (properLow && !nameLow)) {
      ++regressions;
      regressed << owner + QStringLiteral("  ->  ") + Case::NameCase(lower);
    }
  }

  const int n = int(names.size());
  std::printf("%d names (%d with a particle, prefix or elision) from %s\n\n", n, withPattern, qPrintable(path));
  std::printf("%-12s %22s %22s\n", "restored", "from capitals", "from lower case");
  std::printf("%-12s %12d %8.2f %% %12d %8.2f %%\n", "Name Case", name.fromUpper, Percent(name.fromUpper, n),
              name.fromLower, Percent(name.fromLower, n));
  std::printf("%-12s %12d %8.2f %% %12d %8.2f %%\n", "Proper Case", proper.fromUpper, Percent(proper.fromUpper, n),
              proper.fromLower, Percent(proper.fromLower, n));
  const int r = n - unrestorable;
  std::printf("\nof the %d names some rule could restore (%d could not: a letter capitals lose, a part written in "
              "capitals, a word that starts small, a capital inside a part):\n",
              r, unrestorable);
  std::printf("%-12s %12d %8.2f %% %12d %8.2f %%\n", "Name Case", nameRestorable.fromUpper,
              Percent(nameRestorable.fromUpper, r), nameRestorable.fromLower, Percent(nameRestorable.fromLower, r));
  std::printf("%-12s %12d %8.2f %% %12d %8.2f %%\n", "Proper Case", properRestorable.fromUpper,
              Percent(properRestorable.fromUpper, r), properRestorable.fromLower, Percent(properRestorable.fromLower, r));
  std::printf("\nnames without a particle, prefix or elision that Name Case gets wrong and Proper Case right: %d\n",
              regressions);
  for (const QString& line : regressed) std::printf("  %s\n", qPrintable(line));
  if (printMisses || misses.size() <= 200) {
    std::printf("\nnames Name Case does not restore%s (%d):\n", printMisses ? "" : " that some rule could",
                int(misses.size()));
    for (const QString& line : misses) std::printf("  %s\n", qPrintable(line));
  }
  std::printf("\ntime per name: Name Case %.0f ns, Proper Case %.0f ns\n", NsPerName(names, Case::NameCase),
              NsPerName(names, Case::ProperCase));
  return 0;
}
