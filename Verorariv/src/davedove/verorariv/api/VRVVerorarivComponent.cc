#include "davedove/verorariv/api/VRVVerorarivComponent.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <utility>

#include "auth/DAVAuthInterop.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/auth/davedove_credentials_provider.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/util/status.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "platform/foundation/Exception.h"
#include "sdk-core/DAVApp.h"

VRVVerorarivComponent::VRVVerorarivComponent(const std::shared_ptr<DAVApp>& app) : app_(app) {}

std::vector<DAVComponentPtr> VRVVerorarivComponent::componentsToRegister() {
  auto creation = [](DAVComponentContainer* container,
                     bool* isCacheable) -> std::shared_ptr<platform::Object> {
    *isCacheable = true;
    std::shared_ptr<DAVApp> app = container ? container->app() : nullptr;
    if (!app) return nullptr;
    return std::make_shared<VRVVerorarivComponent>(app);
  };
  return {DAVComponent::componentWithProtocol(DAVProtocol::of<VRVVerorarivInstanceProvider>(),
                                              creation)};
}

std::shared_ptr<DAVVerorariv> VRVVerorarivComponent::verorarivForDatabase(
    const std::string& database) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = instances_.find(database);
  if (found != instances_.end()) return found->second;

  std::shared_ptr<DAVApp> app = app_.lock();
  if (!app) {
    platform::raise(platform::kInternalInconsistencyException,
                    "The app of this Verorariv component has been deleted.");
  }
  std::optional<std::string> projectID = app->options()->projectID();
  if (!projectID || projectID->empty()) {
    platform::raise(kDAVInvalidArgumentException,
                    "DAVOptions.projectID must be set to a valid project ID.");
  }
  std::shared_ptr<DAVAuthInterop> auth =
      DAVComponentType::instanceForProtocol<DAVAuthInterop>(app->container().get());
  auto credentials =
      std::make_shared<davedove::verorariv::auth::DavedoveCredentialsProvider>(app, auth);
  // The app's name keeps each app's storage apart.
  auto instance = std::make_shared<DAVVerorariv>(
      davedove::verorariv::model::DatabaseId(*projectID, database), app->name(),
      std::move(credentials), app);
  instances_[database] = instance;
  return instance;
}

void VRVVerorarivComponent::removeInstance(const std::string& database,
                                           std::shared_future<void> closed) {
  std::shared_ptr<DAVVerorariv> removed;
  std::lock_guard<std::mutex> lock(mutex_);
  // The app's deletion waits for this shutdown too; finished ones need no keeping.
  closing_.erase(std::remove_if(closing_.begin(), closing_.end(),
                                [](const std::shared_future<void>& each) {
                                  return each.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
                                }),
                 closing_.end());
  if (closed.valid()) closing_.push_back(std::move(closed));
  auto found = instances_.find(database);
  if (found == instances_.end()) return;
  // Destroyed outside the lock.
  removed = std::move(found->second);
  instances_.erase(found);
}

void VRVVerorarivComponent::appWillBeDeleted(const std::shared_ptr<DAVApp>& /*app*/) {
  std::map<std::string, std::shared_ptr<DAVVerorariv>> instances;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    instances.swap(instances_);
  }
  // Deletion completes only once every client has run what was queued and closed its storage, so
  // that a new app of the same name opens that storage at once. Only the worker queues are waited
  // for, never the callback queue: deleting from the main queue cannot deadlock.
  std::vector<std::future<void>> closed;
  for (auto& entry : instances) {
    auto done = std::make_shared<std::promise<void>>();
    closed.push_back(done->get_future());
    entry.second->shutdownClient(
        [done](const davedove::verorariv::util::Status&) { done->set_value(); });
  }
  for (std::future<void>& each : closed) each.wait();
  // And for the instances shut down before, whose shutdown may still run.
  std::vector<std::shared_future<void>> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing.swap(closing_);
  }
  for (const std::shared_future<void>& each : closing) each.wait();
}
