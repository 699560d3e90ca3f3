#ifndef DAVEDOVE_VERORARIV_MODEL_VRVDOCUMENTKEY_H_
#define DAVEDOVE_VERORARIV_MODEL_VRVDOCUMENTKEY_H_

#include <cstddef>
#include <memory>
#include <string>

#include "davedove/verorariv/model/document_key.h"

namespace davedove {
namespace verorariv {
namespace model {

// Immutable object holding a DocumentKey, so that keys can live in object collections. Copies
// share the key's path.
class VRVDocumentKey {
 public:
  // Holds the empty key.
  VRVDocumentKey() = default;
  explicit VRVDocumentKey(const DocumentKey& key) : key_(key) {}

  static std::shared_ptr<const VRVDocumentKey> keyWithDocumentKey(const DocumentKey& key) {
    return std::make_shared<const VRVDocumentKey>(key);
  }

  const DocumentKey& key() const { return key_; }

  // The key's object hash (string hash of its canonical string).
  size_t Hash() const { return key_.Hash(); }
  // "<VRVDocumentKey: <canonical string>>".
  std::string ToString() const;

  friend bool operator==(const VRVDocumentKey& lhs, const VRVDocumentKey& rhs) {
    return lhs.key_.path() == rhs.key_.path();
  }
  friend bool operator!=(const VRVDocumentKey& lhs, const VRVDocumentKey& rhs) {
    return !(lhs == rhs);
  }

 private:
  DocumentKey key_;
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_VRVDOCUMENTKEY_H_
