// Message boxes go through this interface, so that tests can answer them.
#pragma once

#include <QString>

class QWidget;

namespace lookup {

enum class BoxIcon { none, information, warning, error };
enum class BoxAnswer { ok };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // A modal box with an OK button over `parent`; returns once it was answered.
  virtual BoxAnswer show(QWidget* parent, const QString& text, const QString& caption,
                         BoxIcon icon) = 0;
};

// The real boxes: QMessageBox.
class QtMessageBoxes final : public MessageBoxes {
 public:
  BoxAnswer show(QWidget* parent, const QString& text, const QString& caption,
                 BoxIcon icon) override;
};

}  // namespace lookup
