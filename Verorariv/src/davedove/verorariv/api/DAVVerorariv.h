#ifndef DAVEDOVE_VERORARIV_API_DAVVERORARIV_H_
#define DAVEDOVE_VERORARIV_API_DAVVERORARIV_H_

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "davedove/verorariv/api/DAVVerorarivSettings.h"
#include "davedove/verorariv/model/database_id.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class DAVApp;
class DAVCollectionReference;
class DAVDocumentReference;
class DAVWriteBatch;

namespace davedove {
namespace verorariv {
namespace auth {
class CredentialsProvider;
}
namespace core {
class VRVVerorarivClient;
}
namespace util {
class AsyncQueue;
class Status;
}
}  // namespace verorariv
}  // namespace davedove

// Called once with none on success or the error.
using DAVVerorarivErrorBlock = std::function<void(platform::ErrorPtr error)>;

// One document database: of one app and one database id. Made by the component that the library
// registers with the SDK core, one per app and database. The client behind it starts at first
// use, with the settings it has then.
class DAVVerorariv : public platform::Object, public std::enable_shared_from_this<DAVVerorariv> {
 public:
  // The instance of the default app for the database "(default)", the same on every call. Raises
  // DAVAppNotConfiguredException when no default app is configured.
  static std::shared_ptr<DAVVerorariv> verorariv();
  // The instance of `app` for "(default)"; raises DAVInvalidArgumentException for no app.
  static std::shared_ptr<DAVVerorariv> verorarivForApp(const std::shared_ptr<DAVApp>& app);

  // Registers the library with the SDK core; call before configuring the SDK (again is harmless).
  static void load();

  // A collection by its slash-separated path (an odd number of segments). Raises
  // DAVInvalidArgumentException for none, for "//" and for a path that names a document.
  std::shared_ptr<DAVCollectionReference> collectionWithPath(
      const std::optional<std::string>& collectionPath);
  // A document by its slash-separated path (an even number of segments); raises like
  // collectionWithPath.
  std::shared_ptr<DAVDocumentReference> documentWithPath(
      const std::optional<std::string>& documentPath);

  // A new, empty batch of writes to this database.
  std::shared_ptr<DAVWriteBatch> batch();

  DAVVerorarivSettings settings() const;
  // Raises DAVIllegalStateException once the client has started.
  void setSettings(const DAVVerorarivSettings& settings);

  // Stops or restarts the network: while off, reads come from the cache and writes wait.
  void disableNetworkWithCompletion(DAVVerorarivErrorBlock completion);
  void enableNetworkWithCompletion(DAVVerorarivErrorBlock completion);

  // Stops the client and releases its storage; later use raises DAVIllegalStateException.
  void shutdownWithCompletion(DAVVerorarivErrorBlock completion);
  // The same shutdown; `done` runs on the worker queue once the client has released its storage
  // (on the caller's thread, at once, when the client never started), never on the callback queue.
  void shutdownClient(std::function<void(const davedove::verorariv::util::Status&)> done);

  std::shared_ptr<DAVApp> app() const { return app_.lock(); }
  const davedove::verorariv::model::DatabaseId& databaseID() const { return databaseID_; }
  const std::string& persistenceKey() const { return persistenceKey_; }

  std::string description() const override;

  // Made by the component; use verorariv() or verorarivForApp().
  DAVVerorariv(davedove::verorariv::model::DatabaseId databaseID, std::string persistenceKey,
               std::shared_ptr<davedove::verorariv::auth::CredentialsProvider> credentialsProvider,
               std::shared_ptr<DAVApp> app);
  ~DAVVerorariv() override;

  DAVVerorariv(const DAVVerorariv&) = delete;
  DAVVerorariv& operator=(const DAVVerorariv&) = delete;

  // The client, started on first call.
  std::shared_ptr<davedove::verorariv::core::VRVVerorarivClient> client();
  const std::shared_ptr<davedove::verorariv::util::AsyncQueue>& workerQueue() const {
    return workerQueue_;
  }

 private:
  const davedove::verorariv::model::DatabaseId databaseID_;
  const std::string persistenceKey_;
  const std::shared_ptr<davedove::verorariv::auth::CredentialsProvider> credentialsProvider_;
  // The app holds this instance in its container.
  const std::weak_ptr<DAVApp> app_;
  const std::shared_ptr<davedove::verorariv::util::AsyncQueue> workerQueue_;

  mutable std::mutex mutex_;
  DAVVerorarivSettings settings_;
  std::shared_ptr<davedove::verorariv::core::VRVVerorarivClient> client_;
  bool shutDown_ = false;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVVERORARIV_H_
