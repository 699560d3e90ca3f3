// The last view: clears the filtering DNS, leaves an uninstall record in the cloud, counts down and
// turns the application off (settings deleted, signed out, service unloaded, proxy removed, quit).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "davedove/verorariv/api/DAVValue.h"
#include "platform/appkit/View.h"
#include "platform/appkit/ViewController.h"
#include "platform/dispatch/RunLoop.h"

class DAVDocumentReference;

namespace vorellin {

class Uninstall : public platform::appkit::ViewController {
 public:
  Uninstall();
  std::string className() const override { return "Uninstall"; }

  void viewDidLoad() override;
  void btnTurnOff();
  void counter();

  // The record of this uninstall: the device, the time zone's abbreviation, the time and the user.
  static DAVValue::Map uninstallRecord();
  // The current zone's abbreviation now, or "" when it has none.
  static std::string timeZoneAbbreviation();

  // How long the turn-off waits for the cloud to take the record before it signs out.
  static constexpr std::chrono::seconds kRecordWait{5};
  static constexpr const char* kDefaultsDeleteCommand = "defaults delete mac.com.trennelwick.vorellin";

  int64_t count = 20;
  std::shared_ptr<platform::dispatch::Timer> countdown;
  std::shared_ptr<platform::appkit::TextField> secs;
  std::shared_ptr<platform::appkit::Button> btnTurnOffOutlet;
  std::shared_ptr<DAVDocumentReference> record;

 private:
  void turnOff();
  void runTurnOff();
  bool turnOffAsked_ = false;
  bool recordSettled_ = false;
  bool turnedOff_ = false;
  std::shared_ptr<platform::dispatch::Timer> recordWait_;
};

}  // namespace vorellin
