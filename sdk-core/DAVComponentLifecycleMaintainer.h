// Cached component instances that implement this hear of their app's deletion.
#pragma once

#include <memory>

class DAVApp;

class DAVComponentLifecycleMaintainer {
 public:
  virtual ~DAVComponentLifecycleMaintainer() = default;
  virtual void appWillBeDeleted(const std::shared_ptr<DAVApp>& app) = 0;
};
