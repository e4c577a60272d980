#include "shell/skin.h"

#include <QFile>
#include <QWidget>
#include <stdexcept>

namespace Main {

void SkinFramework::LoadSkin(const QString& path, const QString& /*ini*/) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw std::runtime_error(QStringLiteral("Skin file could not be read: %1").arg(file.errorString()).toStdString());
  }
  const QByteArray bytes = file.readAll();
  const QString text = QString::fromUtf8(bytes);
  if (bytes.contains('\0') || text.contains(QChar::ReplacementCharacter)) {
    throw std::runtime_error("Skin file is not a style sheet");
  }
  styleSheet_ = text;
}

void SkinFramework::ApplyWindow(QWidget& window) {
  if (!(options_ & 1)) return;
  window.setStyleSheet(styleSheet_);
}

}  // namespace Main
