#include "commandline/options.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>

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

void HidePasswords(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* secret = nullptr;
    if (std::strncmp(argv[i], "--password=", 11) == 0) secret = argv[i] + 11;
    else if (argv[i][0] == '-' && argv[i][1] == 'p') secret = argv[i] + 2;
    if (!secret || !*secret) continue;
    // One x where it stood, and nothing of its length.
    *secret++ = 'x';
    std::memset(secret, 0, std::strlen(secret));
  }
}

namespace {

// The client's blanks: space, tab, and the line and page breaks.
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

QByteArray Trimmed(QByteArray text) {
  qsizetype from = 0, to = text.size();
  while (from < to && Blank(text[from])) ++from;
  while (to > from && Blank(text[to - 1])) --to;
  return text.mid(from, to - from);
}

// The line up to a '#' that stands outside quotes: a quote opens wherever
// it stands, and inside quotes a backslash escapes the next character.
QByteArray WithoutComment(const QByteArray& line) {
  char quote = 0;
  bool escaped = false;
  for (qsizetype i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if ((c == '\'' || c == '"') && !escaped) {
      if (!quote) quote = c;
      else if (quote == c) quote = 0;
    }
    if (!quote && c == '#') return line.left(i);
    escaped = quote && c == '\\' && !escaped;
  }
  return line;
}

// A value as the client reads it: blanks around it go, then one pair of
// the same quotes around it, then its escapes, \n \t \r \b \s \" \' and
// \\, quoted or not; any other backslash stays as it is.
QString OptionValue(const QByteArray& text) {
  QByteArray value = Trimmed(text);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.front() == value.back())
    value = value.mid(1, value.size() - 2);
  QByteArray out;
  out.reserve(value.size());
  for (qsizetype i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const char n = value[++i];
    switch (n) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'b': out += '\b'; break;
      case 's': out += ' '; break;
      case '"': case '\'': case '\\': out += n; break;
      default: out += '\\'; out += n; break;
    }
  }
  return QString::fromUtf8(out);
}

}  // namespace

namespace {

// One option file's lines: the groups asked for, later values overriding
// earlier ones; !include and !includedir only where `includes` allows.
void ReadOptionText(const QByteArray& text, const QStringList& groups, QHash<QString, QString>& options,
                    QString* error, int depth, bool includes, bool* groupFound);

void ReadOptionFile(const QString& path, const QStringList& groups, QHash<QString, QString>& options, QString* error,
                    int depth, bool* groupFound) {
  QFile file(path);
  if (!file.exists() || depth > 10) return;
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = path;
    return;
  }
  ReadOptionText(file.readAll(), groups, options, error, depth, true, groupFound);
}

void ReadOptionText(const QByteArray& text, const QStringList& groups, QHash<QString, QString>& options,
                    QString* error, int depth, bool includes, bool* groupFound) {
  bool wanted = false;
  for (const QByteArray& raw : text.split('\n')) {
    const QByteArray line = Trimmed(raw);
    if (line.isEmpty() || line.startsWith('#') || line.startsWith(';')) continue;
    // !include FILE and !includedir DIR (its *.cnf files, in the order of
    // their names' bytes), as the client reads them.
    if (line.startsWith('!')) {
      const QByteArray directive = Trimmed(line.mid(1));
      const auto argument = [&](const char* keyword) -> std::optional<QString> {
        const qsizetype length = qsizetype(std::strlen(keyword));
        if (!directive.startsWith(keyword) || directive.size() <= length || !Blank(directive[length])) return std::nullopt;
        return QString::fromUtf8(Trimmed(directive.mid(length)));
      };
      if (const std::optional<QString> dir = argument("includedir")) {
        if (!includes) continue;
        const QDir folder(*dir);
        QStringList names = folder.entryList({QStringLiteral("*.cnf")}, QDir::Files);
        std::sort(names.begin(), names.end(), [](const QString& x, const QString& y) { return x.toUtf8() < y.toUtf8(); });
        for (const QString& name : names)
          ReadOptionFile(folder.filePath(name), groups, options, error, depth + 1, groupFound);
      } else if (const std::optional<QString> file = argument("include")) {
        if (includes) ReadOptionFile(*file, groups, options, error, depth + 1, groupFound);
      }
      continue;
    }
    if (line.startsWith('[')) {
      const qsizetype end = line.indexOf(']');
      if (end < 0) continue;
      QByteArray group = line.mid(1, end - 1);
      while (!group.isEmpty() && Blank(group.back())) group.chop(1);
      const QString name = QString::fromUtf8(group).toLower();
      wanted = groups.contains(name);
      if (wanted && groupFound && name == groups.back()) *groupFound = true;
      continue;
    }
    if (!wanted) continue;
    const QByteArray option = WithoutComment(line);
    const qsizetype equals = option.indexOf('=');
    QString name = QString::fromUtf8(Trimmed(equals < 0 ? option : option.left(equals))).toLower();
    name.replace(u'_', u'-');
    // An option the client would take only where it knows it.
    if (name.startsWith(QLatin1String("loose-"))) name = name.mid(6);
    options.insert(name, equals < 0 ? QString() : OptionValue(option.mid(equals + 1)));
  }
}

QStringList Groups(const QString& loginPath) {
  QStringList groups = kOptionGroups;
  if (!loginPath.isEmpty()) groups << loginPath.toLower();
  return groups;
}

}  // namespace

QHash<QString, QString> ReadOptionFiles(const QStringList& files, QString* error, const QString& loginPath,
                                        bool* loginPathFound) {
  QHash<QString, QString> options;
  const QStringList groups = Groups(loginPath);
  for (const QString& path : files)
    ReadOptionFile(path, groups, options, error, 0, loginPath.isEmpty() ? nullptr : loginPathFound);
  return options;
}

QString LoginFilePath() {
  const QString named = qEnvironmentVariable("MYSQL_TEST_LOGIN_FILE");
  return named.isEmpty() ? QDir::homePath() + QStringLiteral("/.mylogin.cnf") : named;
}

std::optional<QByteArray> DecryptLoginFile(const QByteArray& file) {
  // 4 bytes unused, a 20-byte key, then each line on its own: its length
  // (4 bytes, little-endian) and the line, AES-128-ECB with PKCS padding
  // under the key folded into 16 bytes.
  constexpr qsizetype kKeyAt = 4, kKeyLength = 20, kLinesAt = kKeyAt + kKeyLength;
  if (file.size() < kLinesAt) return std::nullopt;
  unsigned char key[16] = {};
  for (qsizetype i = 0; i < kKeyLength; ++i) key[i % 16] ^= static_cast<unsigned char>(file[kKeyAt + i]);
  QByteArray text;
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  for (qsizetype at = kLinesAt; at < file.size();) {
    if (file.size() - at < 4) return std::nullopt;
    const qint32 length = qFromLittleEndian<qint32>(file.constData() + at);
    at += 4;
    if (length <= 0 || length % 16 != 0 || length > file.size() - at) return std::nullopt;
    QByteArray line(length + 16, Qt::Uninitialized);
    int out = 0, last = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(file.constData() + at);
    auto* into = reinterpret_cast<unsigned char*>(line.data());
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) != 1 ||
        EVP_DecryptUpdate(ctx.get(), into, &out, in, length) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), into + out, &last) != 1)
      return std::nullopt;
    line.truncate(out + last);
    text += line;
    if (!line.endsWith('\n')) text += '\n';
    at += length;
  }
  return text;
}

std::optional<QString> ReadLoginFile(const QString& path, const QString& loginPath, QHash<QString, QString>& options,
                                     bool* loginPathFound) {
  QFile file(path);
  if (!file.exists()) return std::nullopt;
  // The client passes over a login file others can read or write, saying so.
  struct stat info {};
  if (::stat(QFile::encodeName(path).constData(), &info) == 0 && (info.st_mode & (S_IXUSR | S_IRWXG | S_IRWXO)))
    return QStringLiteral("the login file %1 can be read or written by others than its owner; going on without it "
                          "(chmod 600 it)")
        .arg(path);
  if (!file.open(QIODevice::ReadOnly))
    return QStringLiteral("the login file %1 cannot be read; going on without it").arg(path);
  const std::optional<QByteArray> text = DecryptLoginFile(file.readAll());
  if (!text) return QStringLiteral("the login file %1 is not one mysql_config_editor writes; going on without it").arg(path);
  ReadOptionText(*text, Groups(loginPath), options, nullptr, 0, false, loginPath.isEmpty() ? nullptr : loginPathFound);
  return std::nullopt;
}

QStringList DefaultOptionFiles() {
  return {QStringLiteral("/etc/my.cnf"), QStringLiteral("/etc/mysql/my.cnf"),
          QDir::homePath() + QStringLiteral("/.my.cnf")};
}

std::optional<QString> ReadTlsOptions(const QList<std::pair<QString, QString>>& given, MySQL::TlsDemands& tls) {
  // An option's prefixes as the clients take them: loose- (no complaint
  // where unknown: here every ssl option is known or refused), skip- and
  // disable- (off), enable- (on).
  QHash<QString, QString> o;
  QStringList order;
  for (auto [name, value] : given) {
    name = name.toLower().replace(u'_', u'-');
    if (name.startsWith(QLatin1String("loose-"))) name = name.mid(6);
    if (name.startsWith(QLatin1String("skip-")) || name.startsWith(QLatin1String("disable-"))) {
      name = name.section(u'-', 1);
      value = QStringLiteral("0");
    } else if (name.startsWith(QLatin1String("enable-"))) {
      name = name.section(u'-', 1);
      value = QStringLiteral("1");
    }
    if (!name.startsWith(QLatin1String("ssl")) && !name.startsWith(QLatin1String("tls"))) continue;
    if (!o.contains(name)) order << name;
    o.insert(name, value.trimmed());
  }
  const auto on = [](const QString& value) {
    return value.isEmpty() || value == QLatin1String("1") || value.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0 ||
           value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
  };
  static const QStringList kKnown = {"ssl",     "ssl-mode", "ssl-ca",  "ssl-capath",  "ssl-cert",
                                     "ssl-key", "ssl-cipher", "ssl-crl", "ssl-crlpath", "ssl-verify-server-cert",
                                     "tls-version"};
  for (const QString& name : order)
    if (!kKnown.contains(name))
      return QStringLiteral("the option %1 bears on the connection's security, and Norvale cannot honour it").arg(name);
  tls = {};
  // Files it must read now, as the driver would later.
  const std::pair<const char*, QString*> files[] = {{"ssl-ca", &tls.ca},   {"ssl-capath", &tls.capath},
                                                    {"ssl-cert", &tls.cert}, {"ssl-key", &tls.key},
                                                    {"ssl-crl", &tls.crl},  {"ssl-crlpath", &tls.crlpath}};
  for (const auto& [name, field] : files) {
    const QString value = o.value(QLatin1String(name));
    if (value.isEmpty()) continue;
    const QFileInfo info(value);
    if (!info.exists() || !info.isReadable())
      return QStringLiteral("%1=%2 cannot be read, and the connection's security depends on it").arg(QLatin1String(name), value);
    *field = value;
  }
  tls.cipher = o.value(QStringLiteral("ssl-cipher"));
  tls.versions = o.value(QStringLiteral("tls-version"));
  if (o.contains(QStringLiteral("ssl-mode"))) {
    const QString mode = o.value(QStringLiteral("ssl-mode")).toUpper();
    if (mode == QLatin1String("DISABLED")) {
      tls.disabled = true;
    } else if (mode == QLatin1String("REQUIRED")) {
      tls.required = true;
    } else if (mode == QLatin1String("VERIFY_CA") || mode == QLatin1String("VERIFY_IDENTITY")) {
      // The driver checks the name with the certificate: VERIFY_CA is kept
      // at least as strictly as asked.
      tls.required = tls.verify = true;
    } else if (mode != QLatin1String("PREFERRED")) {
      return QStringLiteral("ssl-mode=%1 is no mode: DISABLED, PREFERRED, REQUIRED, VERIFY_CA or VERIFY_IDENTITY")
          .arg(o.value(QStringLiteral("ssl-mode")));
    }
  }
  if (o.contains(QStringLiteral("ssl"))) {
    if (on(o.value(QStringLiteral("ssl"))))
      tls.required = true;
    else
      tls.disabled = true;
  }
  if (o.contains(QStringLiteral("ssl-verify-server-cert")) && on(o.value(QStringLiteral("ssl-verify-server-cert"))))
    tls.required = tls.verify = true;
  // A certificate authority given is one to check the server against, as
  // MySQL's client does; a client certificate needs TLS.
  if (!tls.ca.isEmpty() || !tls.capath.isEmpty()) tls.required = tls.verify = true;
  if (!tls.cert.isEmpty() || !tls.key.isEmpty() || !tls.cipher.isEmpty() || !tls.versions.isEmpty()) tls.required = true;
  if (tls.disabled && tls.required)
    return QStringLiteral("the ssl options ask for no TLS and for TLS at once (ssl-mode=DISABLED or skip-ssl, with "
                          "another ssl option)");
  return std::nullopt;
}

}  // namespace CommandLine
