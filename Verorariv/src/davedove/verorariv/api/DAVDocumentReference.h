#ifndef DAVEDOVE_VERORARIV_API_DAVDOCUMENTREFERENCE_H_
#define DAVEDOVE_VERORARIV_API_DAVDOCUMENTREFERENCE_H_

#include <functional>
#include <memory>
#include <string>

#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/model/document_key.h"
#include "platform/foundation/Error.h"

class DAVCollectionReference;
class DAVDocumentSnapshot;
class DAVListenerRegistration;

// Receives a snapshot and no error, or no snapshot and the error.
using DAVDocumentSnapshotBlock =
    std::function<void(std::shared_ptr<DAVDocumentSnapshot> snapshot, platform::ErrorPtr error)>;

// One document of a database, which need not exist.
class DAVDocumentReference : public std::enable_shared_from_this<DAVDocumentReference> {
 public:
  DAVDocumentReference(davedove::verorariv::model::DocumentKey key,
                       std::shared_ptr<DAVVerorariv> verorariv);

  // The last segment of the path.
  std::string documentID() const;
  // The slash-separated path from the database's root.
  std::string path() const;
  std::shared_ptr<DAVCollectionReference> parent() const;

  // Reads the document once: from the server when online, else from the cache. The completion
  // runs once on the callback queue.
  void getDocumentWithCompletion(DAVDocumentSnapshotBlock completion) const;

  // Writes the fields: with `merge` only the given ones, keeping the others and creating the
  // document when it is missing; without, replacing the whole document. Nothing is reported back;
  // a write the server refuses is logged and the local view reverts.
  void setData(const DAVValue::Map& documentData, bool merge) const;
  // As setData, with the server's answer given to the completion.
  void setData(const DAVValue::Map& documentData, bool merge,
               DAVVerorarivErrorBlock completion) const;

  // Writes the named fields (dot-separated paths; values may be sentinels) when the document
  // exists; the write fails when it does not. Nothing is reported back, as for setData.
  void updateData(const DAVValue::Map& fields) const;
  void updateData(const DAVValue::Map& fields, DAVVerorarivErrorBlock completion) const;

  // Calls the listener with the current state and again after every change of the document
  // (changes of metadata alone are left out) until the registration is removed.
  std::shared_ptr<DAVListenerRegistration> addSnapshotListener(
      DAVDocumentSnapshotBlock listener) const;

  const davedove::verorariv::model::DocumentKey& key() const { return key_; }
  const std::shared_ptr<DAVVerorariv>& verorariv() const { return verorariv_; }

  friend bool operator==(const DAVDocumentReference& lhs, const DAVDocumentReference& rhs) {
    return lhs.verorariv_ == rhs.verorariv_ && lhs.key_ == rhs.key_;
  }

 private:
  davedove::verorariv::model::DocumentKey key_;
  std::shared_ptr<DAVVerorariv> verorariv_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVDOCUMENTREFERENCE_H_
