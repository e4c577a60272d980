#include "shell/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace Main {
namespace {


const QString kSection = QStringLiteral("Norvale/");

}  // namespace

QString GetSetting(const QString& name, const QString& defaultValue) {
  QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvorik"));
  const QVariant value = store.value(kSection + name);
  if (!value.isValid()) return defaultValue;
  // A value that the store parsed as a list (a corrupted file) reads back as
  // the text it was written from.
  if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(u',');
  return value.toString();
}

void SaveSetting(const QString& name, const QString& value) {
  QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvorik"));
  // Create the file owner-only before the first write: rewrites keep the
  // permissions of the file they replace.
  QFile file(store.fileName());
  if (!file.exists() && file.open(QIODevice::WriteOnly)) {
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    file.close();
  }
  store.setValue(kSection + name, value);
  store.sync();
  QFile::setPermissions(store.fileName(), QFile::ReadOwner | QFile::WriteOwner);
}

bool HasSetting(const QString& name) {
  QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvorik"));
  return store.contains(kSection + name);
}

void RemoveSetting(const QString& name) {
  QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvorik"));
  if (!store.contains(kSection + name)) return;
  store.remove(kSection + name);
  store.sync();
  QFile::setPermissions(store.fileName(), QFile::ReadOwner | QFile::WriteOwner);
}

QString SettingsFilePath() {
  QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Halvorik"));
  return store.fileName();
}

QString WordsFilePath() { return QFileInfo(SettingsFilePath()).dir().filePath(QStringLiteral("words.txt")); }

}  // namespace Main
