// Objects that take part in target/action messaging. An action is named by its selector text
// ("btnVRL:"); a control or menu item sends it to its target, or, without one, along the responder
// chain (the key window's content view controller, its window controller, the application, and the
// application's delegate).
#pragma once

#include <functional>
#include <map>
#include <string>

namespace platform::appkit {

class Object {
 public:
  virtual ~Object() = default;
  // The platform's class name ("NSWindow", "NSPanel", ...); subclasses of the application keep the
  // name of the platform class they stand for unless they say otherwise.
  virtual std::string className() const { return "NSObject"; }
};

class Responder : public Object {
 public:
  using Action = std::function<void(Object* sender)>;

  // Runs the action when this responder implements it; false when it does not.
  virtual bool tryToPerform(const std::string& action, Object* sender);
  bool respondsTo(const std::string& action) const;

 protected:
  // Subclasses register their action methods once, typically in their constructor.
  void registerAction(const std::string& action, Action method);

 private:
  std::map<std::string, Action> actions_;
};

}  // namespace platform::appkit
