// Settings of one auth client.
#pragma once

class DAVAuthSettings {
 public:
  bool isAppVerificationDisabledForTesting() const { return appVerificationDisabledForTesting_; }
  void setAppVerificationDisabledForTesting(bool v) { appVerificationDisabledForTesting_ = v; }

 private:
  bool appVerificationDisabledForTesting_ = false;
};
