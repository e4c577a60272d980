// The per-user settings store: application "Halvorik", section "Norvale".
#pragma once

#include <QString>

namespace Main {

// The stored text, or the default when the value does not exist. A value
// stored empty reads as empty.
QString GetSetting(const QString& name, const QString& defaultValue);
// Stores the text and writes the store to disk at once, readable by its
// owner only (it holds the password).
void SaveSetting(const QString& name, const QString& value);
// Whether the store holds the value at all (it may be empty).
bool HasSetting(const QString& name);
// Removes the value and writes the store to disk at once.
void RemoveSetting(const QString& name);
// The file that holds the store.
QString SettingsFilePath();
// The user's word list, beside the settings file.
QString WordsFilePath();

}  // namespace Main
