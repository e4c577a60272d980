#include "commandline/options.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace CommandLine {

QStringList NormalizedArguments(const QStringList& arguments) {
  QStringList out;
  for (const QString& a : arguments) {
    if (a == QLatin1String("-p") || a == QLatin1String("--password")) {
      out << QStringLiteral("--ask-password");
    } else if (a.startsWith(QLatin1String("-p")) && !a.startsWith(QLatin1String("--"))) {
      out << QStringLiteral("--password=") + a.mid(2);
    } else {
      out << a;
    }
  }
  return out;
}

namespace {

// A value as the client reads it: quotes around it go, with the escapes
// inside double or single quotes; a '#' after unquoted text starts a comment.
QString OptionValue(QString value) {
  value = value.trimmed();
  if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'')) {
    const QChar quote = value.front();
    QString out;
    for (qsizetype i = 1; i < value.size(); ++i) {
      const QChar c = value[i];
      if (c == quote) break;
      if (c == u'\\' && i + 1 < value.size()) {
        const QChar n = value[++i];
        out += n == u'n' ? QChar(u'\n') : n == u't' ? QChar(u'\t') : n == u's' ? QChar(u' ') : n;
        continue;
      }
      out += c;
    }
    return out;
  }
  const qsizetype comment = value.indexOf(QLatin1String(" #"));
  if (comment >= 0) value.truncate(comment);
  return value.trimmed();
}

}  // namespace

namespace {

void ReadOptionFile(const QString& path, QHash<QString, QString>& options, QString* error, int depth) {
  QFile file(path);
  if (!file.exists() || depth > 10) return;
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = path;
    return;
  }
  bool client = false;
  for (const QByteArray& raw : file.readAll().split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';')) continue;
    // !include FILE and !includedir DIR (its *.cnf files), as the client reads them.
    if (line.startsWith(QLatin1String("!includedir"))) {
      const QDir dir(line.mid(11).trimmed());
      for (const QString& name : dir.entryList({QStringLiteral("*.cnf")}, QDir::Files, QDir::Name))
        ReadOptionFile(dir.filePath(name), options, error, depth + 1);
      continue;
    }
    if (line.startsWith(QLatin1String("!include"))) {
      ReadOptionFile(line.mid(8).trimmed(), options, error, depth + 1);
      continue;
    }
    if (line.startsWith(u'[')) {
      client = kOptionGroups.contains(line.section(u']', 0, 0).mid(1).trimmed().toLower());
      continue;
    }
    if (!client) continue;
    const qsizetype equals = line.indexOf(u'=');
    QString name = (equals < 0 ? line : line.left(equals)).trimmed();
    name.replace(u'_', u'-');
    options.insert(name.toLower(), equals < 0 ? QString() : OptionValue(line.mid(equals + 1)));
  }
}

}  // namespace

QHash<QString, QString> ReadOptionFiles(const QStringList& files, QString* error) {
  QHash<QString, QString> options;
  for (const QString& path : files) ReadOptionFile(path, options, error, 0);
  return options;
}

QStringList DefaultOptionFiles() {
  return {QStringLiteral("/etc/my.cnf"), QStringLiteral("/etc/mysql/my.cnf"),
          QDir::homePath() + QStringLiteral("/.my.cnf")};
}

}  // namespace CommandLine
