#ifndef DAVEDOVE_VERORARIV_API_DAVCOLLECTIONREFERENCE_H_
#define DAVEDOVE_VERORARIV_API_DAVCOLLECTIONREFERENCE_H_

#include <memory>
#include <optional>
#include <string>

#include "davedove/verorariv/api/DAVQuery.h"
#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/model/resource_path.h"

class DAVDocumentReference;

// A collection of a database; as a query, every document in it.
class DAVCollectionReference : public DAVQuery {
 public:
  // `path` must have an odd number of segments.
  DAVCollectionReference(davedove::verorariv::model::ResourcePath path,
                         std::shared_ptr<DAVVerorariv> verorariv);

  // The last segment of the path.
  std::string collectionID() const;
  // The slash-separated path from the database's root.
  std::string path() const;

  // The document at a path relative to this collection, which need not exist. Raises
  // DAVInvalidArgumentException for none, for "//", and when the result is not a document.
  std::shared_ptr<DAVDocumentReference> documentWithPath(
      const std::optional<std::string>& documentPath) const;
  // A document with a newly generated id.
  std::shared_ptr<DAVDocumentReference> documentWithAutoID() const;

  // Writes the fields as a full set to a document with a newly generated id, returns its
  // reference at once and calls the completion once (none on success, else the error).
  std::shared_ptr<DAVDocumentReference> addDocumentWithData(const DAVValue::Map& data,
                                                            DAVVerorarivErrorBlock completion = {});

 private:
  davedove::verorariv::model::ResourcePath path_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVCOLLECTIONREFERENCE_H_
