#include "Vorellin/Uninstall.h"

#include <ctime>
#include <filesystem>
#include <iostream>

#include "Vorellin/AppUtils.h"
#include "Vorellin/Main.h"
#include "Vorellin/ViewSupport.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "auth/DAVAuth.h"
#include "auth/DAVUser.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/model/DAVTimestamp.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/System.h"
#include "platform/logging/Log.h"

namespace vorellin {

using platform::appkit::Object;

Uninstall::Uninstall() {
  registerAction("btnTurnOff:", [this](Object*) { btnTurnOff(); });
}

std::string Uninstall::timeZoneAbbreviation() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local.tm_zone ? local.tm_zone : "";
}

DAVValue::Map Uninstall::uninstallRecord() {
  std::shared_ptr<DAVUser> user = DAVAuth::auth()->currentUser();
  const std::string uid = user && user->uid() ? *user->uid() : "unknown";
  return {{"device", DAVValue(deviceEntry())},
          {"deviceTimezone", DAVValue(timeZoneAbbreviation())},
          {"time", DAVValue(DAVTimestamp::timestamp())},
          {"userId", DAVValue(uid)}};
}

void Uninstall::viewDidLoad() {
  secs = view()->find<platform::appkit::TextField>("secs");
  btnTurnOffOutlet = view()->find<platform::appkit::Button>("btnTurnOffOutlet");

  // Protection is already off in the settings, so this run takes the servers away.
  VRL_REQUEST_DNS("viewDidLoad()");

  if (btnTurnOffOutlet)
    btnTurnOffOutlet->setAttributedTitle(
        {"Turn off app now", platform::appkit::Color::black(), platform::appkit::TextAlignment::Center});

  std::weak_ptr<Uninstall> weak = std::static_pointer_cast<Uninstall>(shared_from_this());
  auto uninstallCollection = DAVVerorariv::verorariv()->collectionWithPath(std::string("uninstall"));
  auto reference = std::make_shared<std::shared_ptr<DAVDocumentReference>>();
  record = uninstallCollection->addDocumentWithData(uninstallRecord(), [weak, reference](platform::ErrorPtr error) {
    if (error) {
      std::cout << "Error adding document: " << error->description() << std::endl;
    } else {
      std::cout << "Document added with ID: " << (*reference ? (*reference)->documentID() : "") << std::endl;
    }
    auto self = weak.lock();
    if (!self) return;
    self->recordSettled_ = true;
    if (self->turnOffAsked_) self->runTurnOff();
  });
  *reference = record;

  countdown = platform::dispatch::Timer::scheduled(std::chrono::milliseconds(1000), true, [weak](platform::dispatch::Timer&) {
    if (auto self = weak.lock()) self->counter();
  });
}

void Uninstall::counter() {
  if (count <= 0) {
    if (countdown) countdown->invalidate();
    turnOff();
    return;
  }
  --count;
  if (secs) secs->setStringValue("Automatically turning off in " + std::to_string(count) + " secs\u2026");
}

void Uninstall::btnTurnOff() {
  // The countdown must not start a second turn-off while this one waits for the record.
  if (countdown) countdown->invalidate();
  turnOff();
}

void Uninstall::turnOff() {
  if (turnOffAsked_) return;
  turnOffAsked_ = true;
  // The record is the only trace of the uninstall, and a write not yet taken when the user signs out
  // stays behind with that user's other pending writes: give the cloud a few seconds first.
  if (recordSettled_ || !record) {
    runTurnOff();
    return;
  }
  std::weak_ptr<Uninstall> weak = std::static_pointer_cast<Uninstall>(shared_from_this());
  recordWait_ = platform::dispatch::Timer::scheduled(
      std::chrono::duration_cast<std::chrono::milliseconds>(kRecordWait), false, [weak](platform::dispatch::Timer&) {
        auto self = weak.lock();
        if (!self || self->turnedOff_) return;
        VRL_LOG_ERROR_AT(__FILE__, "btnTurnOff(_:)", __LINE__,
                         "The uninstall record was not taken by the cloud within " << kRecordWait.count()
                                                                                   << " seconds; turning off anyway");
        self->runTurnOff();
      });
}

void Uninstall::runTurnOff() {
  if (turnedOff_) return;
  turnedOff_ = true;
  if (recordWait_) recordWait_->invalidate();
  AppUtils::shellResult(kDefaultsDeleteCommand);

  platform::ErrorPtr error;
  if (!DAVAuth::auth()->signOut(&error)) {
    // The application goes away either way; a stale session must not keep it from leaving.
    VRL_LOG_ERROR_AT(__FILE__, "btnTurnOff(_:)", __LINE__,
                     "Sign-out failed, uninstalling anyway: " << (error ? error->description() : "no error given"));
  }

  std::make_shared<Main>()->Service("unload");

  std::error_code ec;
  if (std::filesystem::exists(platform::systemPath(FenwixHelper::launchDaemonPlistPath), ec)) {
    std::optional<std::string> line = FenwixHelper::proxyCommandLine(FenwixHelper::kServiceUninstall);
    if (!line || !FenwixHelper::runRootCommands({*line})) FenwixHelper::deleteConfigFile();
  }
  platform::appkit::Application::shared().terminate(this);
}

}  // namespace vorellin
