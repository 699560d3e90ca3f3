#include "platform/appkit/Responder.h"

namespace platform::appkit {

bool Responder::tryToPerform(const std::string& action, Object* sender) {
  auto it = actions_.find(action);
  if (it == actions_.end()) return false;
  Action method = it->second;  // the method may register or replace actions while it runs
  method(sender);
  return true;
}

bool Responder::respondsTo(const std::string& action) const { return actions_.count(action) > 0; }

void Responder::registerAction(const std::string& action, Action method) { actions_[action] = std::move(method); }

}  // namespace platform::appkit
