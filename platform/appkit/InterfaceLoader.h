// Internal: builds a view tree from a Qt Designer interface file (absolute geometry, no layouts).
// Widget classes map to views: QWidget to a view, QFrame and QGroupBox to boxes, QPushButton,
// QCheckBox and QRadioButton to buttons, QLineEdit to text fields (secure with the password echo
// mode), QLabel to a label text field, or to an image view when it has a pixmap. Dynamic properties:
// "action" (the control's action), "image" (a named image for a button or image view), "hidden".
#pragma once

#include <memory>
#include <string>

namespace platform::appkit {

class View;

class InterfaceLoader {
 public:
  // nullptr with *error set when the file cannot be read or parsed.
  static std::shared_ptr<View> load(const std::string& path, std::string* error);
};

}  // namespace platform::appkit
