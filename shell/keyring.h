// The saved password. It lives in the desktop's secret store (the Secret
// Service: GNOME Keyring, KWallet) whenever one takes it, filed under the
// program's name and an account made of server, port and user. Where no
// store answers (no desktop session, no D-Bus, a locked keyring left
// locked), it stays in the settings file as `MyPassword`, as it always did.
// A `MyPassword` found in the file is used, and moves to the store the next
// time the password is saved.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace Main {

// The name the program's passwords are filed under in the secret store.
inline const QString kKeyringService = QStringLiteral("Norvale");
// No call to the secret store is waited for longer than this: a store that
// has not answered by then counts as absent.
constexpr int kKeyringTimeoutMs = 3000;

// The account a password is filed under: user@server:port, each part
// percent-encoded where it holds '@', ':' or '%', so that no two sets of
// details share an account.
QString PasswordAccount(const QString& server, const QString& port, const QString& user);

struct SavedPassword {
  QString text;
  bool inFile = false;  // read from the settings file; it still has to move
};

// Reads the saved password of an account: the settings file's `MyPassword`
// when the file holds one (a password the store has not taken yet), else
// the secret store's entry, else the empty text. `done` runs exactly once
// while `context` lives: before this returns when the answer comes within
// `patienceMs`, else from the event loop when it comes, at the latest after
// kKeyringTimeoutMs. Returns whether `done` has run.
bool ReadPassword(const QString& account, int patienceMs, QObject* context,
                  std::function<void(const SavedPassword&)> done);

// Where a save ended up.
enum class PasswordPlace { Keyring, File };

// Saves the password of an account. It goes to the secret store; once the
// store confirms the write, the settings file's `MyPassword` is removed
// (when it still holds this password). When the store fails or does not
// answer in time, the password goes to the settings file instead. `done`
// (optional) hears where it went.
void SavePassword(const QString& account, const QString& password,
                  std::function<void(PasswordPlace)> done = {});

// Waits until every save started so far has landed in the store or the file
// (each is bounded by kKeyringTimeoutMs). Called before the program ends.
void FinishPasswordSaves();

}  // namespace Main
