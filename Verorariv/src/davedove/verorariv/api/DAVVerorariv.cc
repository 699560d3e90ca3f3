#include "davedove/verorariv/api/DAVVerorariv.h"

#include <future>
#include <memory>
#include <utility>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVSnapshotListening.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/api/DAVWriteBatch.h"
#include "davedove/verorariv/api/VRVVerorarivComponent.h"
#include "davedove/verorariv/auth/credentials_provider.h"
#include "davedove/verorariv/core/VRVVerorarivClient.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/model/resource_path.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/executor_libdispatch.h"
#include "platform/foundation/Exception.h"
#include "sdk-core/DAVApp.h"

using davedove::verorariv::core::DatabaseInfo;
using davedove::verorariv::core::VRVVerorarivClient;
using davedove::verorariv::model::DatabaseId;
using davedove::verorariv::model::ResourcePath;
using davedove::verorariv::util::AsyncQueue;
using davedove::verorariv::util::ExecutorLibdispatch;
using davedove::verorariv::util::Status;

namespace {

constexpr char kWorkerQueueLabel[] = "com.variru.davedove.verorariv";
constexpr char kLibraryName[] = "dav-vrv";
constexpr char kLibraryVersion[] = "1.0.0";

// The segments of a path given by the application; "//" is refused before splitting.
ResourcePath ValidatedPath(const std::string& path) {
  if (path.find("//") != std::string::npos) {
    DAVThrowInvalidArgument("Invalid path (%@). Paths must not contain // in them.", {path});
  }
  return ResourcePath::FromString(path);
}

}  // namespace

std::shared_ptr<DAVVerorariv> DAVVerorariv::verorariv() {
  std::shared_ptr<DAVApp> app = DAVApp::isDefaultAppConfigured() ? DAVApp::defaultApp() : nullptr;
  if (!app) {
    platform::raise(kDAVAppNotConfiguredException,
                    "Failed to get VavazuzeZud instance. Please call VavazuzeZud.configure() "
                    "before using Verorariv");
  }
  return verorarivForApp(app);
}

std::shared_ptr<DAVVerorariv> DAVVerorariv::verorarivForApp(const std::shared_ptr<DAVApp>& app) {
  if (!app) {
    DAVThrowInvalidArgument(
        "DAVApp instance may not be nil. Use DAVApp.app() if you'd like to use the default "
        "DAVApp instance.");
  }
  load();
  std::shared_ptr<DAVComponentContainer> container = app->container();
  auto provider =
      DAVComponentType::instanceForProtocol<VRVVerorarivInstanceProvider>(container.get());
  if (!provider && container) {
    // The library was loaded after this app was configured: hand the app's container the
    // component now.
    std::map<std::string, DAVComponentCreationBlock> components = container->components();
    for (const DAVComponentPtr& component : VRVVerorarivComponent::componentsToRegister()) {
      components[component->protocol().name()] = component->creationBlock();
    }
    container->setComponents(std::move(components));
    provider = DAVComponentType::instanceForProtocol<VRVVerorarivInstanceProvider>(container.get());
  }
  if (!provider) {
    platform::raise(platform::kInternalInconsistencyException,
                    "Failed to get the Verorariv component of the app.");
  }
  return provider->verorarivForDatabase(DatabaseId::kDefault);
}

void DAVVerorariv::load() {
  DAVApp::registerInternalLibrary(DAVLibrary::ofClass<VRVVerorarivComponent>("VRVVerorarivComponent"),
                                  kLibraryName, kLibraryVersion);
}

DAVVerorariv::DAVVerorariv(DatabaseId databaseID, std::string persistenceKey,
                           std::shared_ptr<davedove::verorariv::auth::CredentialsProvider> credentialsProvider,
                           std::shared_ptr<DAVApp> app)
    : databaseID_(std::move(databaseID)),
      persistenceKey_(std::move(persistenceKey)),
      credentialsProvider_(std::move(credentialsProvider)),
      app_(app),
      workerQueue_(std::make_shared<AsyncQueue>(
          std::make_unique<ExecutorLibdispatch>(platform::dispatch::Queue::serial(kWorkerQueueLabel)))) {
  if (app) {
    std::shared_ptr<DAVOptions> options = app->options();
    settings_.setHost(options->verorarivHost());
    settings_.setSSLEnabled(options->isVerorarivSSLEnabled());
  }
}

DAVVerorariv::~DAVVerorariv() {
  std::shared_ptr<VRVVerorarivClient> client;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    client = std::move(client_);
  }
  // The same shutdown as an explicit one: what was queued still runs.
  if (client) client->shutdownWithCompletion(nullptr);
}

std::string DAVVerorariv::description() const {
  return absl::StrCat("<DAVVerorariv: ", databaseID_.project_id(), "/", databaseID_.database_id(),
                      ">");
}

std::shared_ptr<VRVVerorarivClient> DAVVerorariv::client() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shutDown_) DAVThrowIllegalState("The client has already been shutdown.");
  if (!client_) {
    DatabaseInfo info(databaseID_, persistenceKey_, settings_.host(), settings_.isSSLEnabled());
    client_ = VRVVerorarivClient::clientWithDatabaseInfo(info, settings_, credentialsProvider_,
                                                         workerQueue_);
  }
  return client_;
}

DAVVerorarivSettings DAVVerorariv::settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void DAVVerorariv::setSettings(const DAVVerorarivSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (client_) {
    DAVThrowIllegalState(
        "Verorariv instance has already been started and its settings can no longer be changed. "
        "You can only set settings before calling any other methods on a Verorariv instance.");
  }
  settings_ = settings;
}

std::shared_ptr<DAVCollectionReference> DAVVerorariv::collectionWithPath(
    const std::optional<std::string>& collectionPath) {
  if (!collectionPath) DAVThrowInvalidArgument("Collection path cannot be nil.");
  ResourcePath path = ValidatedPath(*collectionPath);
  if (path.size() % 2 != 1) {
    DAVThrowInvalidArgument(
        "Invalid collection reference. Collection references must have an odd number of "
        "segments, but %@ has %lu",
        {*collectionPath, absl::StrCat(path.size())});
  }
  return std::make_shared<DAVCollectionReference>(std::move(path), shared_from_this());
}

std::shared_ptr<DAVDocumentReference> DAVVerorariv::documentWithPath(
    const std::optional<std::string>& documentPath) {
  if (!documentPath) DAVThrowInvalidArgument("Document path cannot be nil.");
  ResourcePath path = ValidatedPath(*documentPath);
  if (path.empty() || path.size() % 2 != 0) {
    DAVThrowInvalidArgument(
        "Invalid document reference. Document references must have an even number of segments, "
        "but %@ has %lu",
        {*documentPath, absl::StrCat(path.size())});
  }
  return std::make_shared<DAVDocumentReference>(
      davedove::verorariv::model::DocumentKey(std::move(path)), shared_from_this());
}

std::shared_ptr<DAVWriteBatch> DAVVerorariv::batch() {
  return std::make_shared<DAVWriteBatch>(shared_from_this());
}

void DAVVerorariv::disableNetworkWithCompletion(DAVVerorarivErrorBlock completion) {
  client()->disableNetworkWithCompletion(
      DAVWriteCompletion(shared_from_this(), std::move(completion), "disabling the network"));
}

void DAVVerorariv::enableNetworkWithCompletion(DAVVerorarivErrorBlock completion) {
  client()->enableNetworkWithCompletion(
      DAVWriteCompletion(shared_from_this(), std::move(completion), "enabling the network"));
}

void DAVVerorariv::shutdownWithCompletion(DAVVerorarivErrorBlock completion) {
  shutdownClient(DAVWriteCompletion(shared_from_this(), std::move(completion), "shutting down"));
}

void DAVVerorariv::shutdownClient(std::function<void(const Status&)> done) {
  std::shared_ptr<VRVVerorarivClient> client;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutDown_ = true;
    client = client_;
  }
  // Ready once the client has released its storage.
  auto closing = client ? std::make_shared<std::promise<void>>() : nullptr;
  // The app's component forgets this instance: the next request makes a new one, and the
  // instance no longer keeps its app alive through the component.
  if (std::shared_ptr<DAVApp> app = app_.lock()) {
    std::shared_ptr<DAVComponentContainer> container = app->container();
    if (auto provider =
            DAVComponentType::instanceForProtocol<VRVVerorarivInstanceProvider>(container.get())) {
      provider->removeInstance(databaseID_.database_id(),
                               closing ? closing->get_future().share() : std::shared_future<void>());
    }
  }
  if (client) {
    client->shutdownWithCompletion([closing, done = std::move(done)](const Status& status) {
      closing->set_value();
      done(status);
    });
  } else {
    done(Status::OK());
  }
}
