#ifndef DAVEDOVE_VERORARIV_API_VRVVERORARIVCOMPONENT_H_
#define DAVEDOVE_VERORARIV_API_VRVVERORARIVCOMPONENT_H_

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "sdk-core/DAVComponent.h"
#include "sdk-core/DAVComponentLifecycleMaintainer.h"

class DAVApp;
class DAVVerorariv;

// What the app's container hands out for the document database: the instances of one app, one
// per database id.
class VRVVerorarivInstanceProvider {
 public:
  static constexpr const char kDAVProtocolName[] = "VRVVerorarivInstanceProvider";
  virtual ~VRVVerorarivInstanceProvider() = default;
  virtual std::shared_ptr<DAVVerorariv> verorarivForDatabase(const std::string& database) = 0;
  // Forgets a shut-down instance, so the next request makes a new one; `closed` becomes ready once
  // its client has released its storage (none when it never had a client).
  virtual void removeInstance(const std::string& database, std::shared_future<void> closed) = 0;
};

// The component registered with the SDK core: one per app; makes and keeps that app's database
// instances. The persistence key of each is the app's name.
class VRVVerorarivComponent : public platform::Object,
                              public VRVVerorarivInstanceProvider,
                              public DAVComponentLifecycleMaintainer {
 public:
  explicit VRVVerorarivComponent(const std::shared_ptr<DAVApp>& app);

  static std::vector<DAVComponentPtr> componentsToRegister();

  std::shared_ptr<DAVVerorariv> verorarivForDatabase(const std::string& database) override;
  void removeInstance(const std::string& database, std::shared_future<void> closed) override;
  // Shuts every instance down; returns once each, and each shut down before, has released its
  // storage.
  void appWillBeDeleted(const std::shared_ptr<DAVApp>& app) override;

 private:
  std::weak_ptr<DAVApp> app_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<DAVVerorariv>> instances_;
  // The shutdowns of removed instances that had not finished when last looked at.
  std::vector<std::shared_future<void>> closing_;
};

#endif  // DAVEDOVE_VERORARIV_API_VRVVERORARIVCOMPONENT_H_
