#ifndef DAVEDOVE_VERORARIV_LOCAL_DOCUMENT_KEY_REFERENCE_H_
#define DAVEDOVE_VERORARIV_LOCAL_DOCUMENT_KEY_REFERENCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "davedove/verorariv/model/document_key.h"

namespace davedove {
namespace verorariv {
namespace local {

// A document referenced by an owner: a target id or a batch id.
class DocumentKeyReference {
 public:
  DocumentKeyReference() = default;
  DocumentKeyReference(model::DocumentKey key, int32_t id) : key_(std::move(key)), ref_id_(id) {}

  const model::DocumentKey& key() const { return key_; }
  int32_t ref_id() const { return ref_id_; }

  // By key, then by id.
  struct ByKey {
    bool operator()(const DocumentKeyReference& lhs, const DocumentKeyReference& rhs) const {
      if (lhs.key_ < rhs.key_) return true;
      if (rhs.key_ < lhs.key_) return false;
      return lhs.ref_id_ < rhs.ref_id_;
    }
  };

  // By id, then by key.
  struct ById {
    bool operator()(const DocumentKeyReference& lhs, const DocumentKeyReference& rhs) const {
      if (lhs.ref_id_ != rhs.ref_id_) return lhs.ref_id_ < rhs.ref_id_;
      return lhs.key_ < rhs.key_;
    }
  };

  size_t Hash() const;
  // "<DocumentKeyReference: key=<path>, id=<id>>".
  std::string ToString() const;

  friend bool operator==(const DocumentKeyReference& lhs, const DocumentKeyReference& rhs) {
    return lhs.key_ == rhs.key_ && lhs.ref_id_ == rhs.ref_id_;
  }
  friend bool operator!=(const DocumentKeyReference& lhs, const DocumentKeyReference& rhs) {
    return !(lhs == rhs);
  }

 private:
  model::DocumentKey key_;
  int32_t ref_id_ = 0;
};

}  // namespace local
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_LOCAL_DOCUMENT_KEY_REFERENCE_H_
