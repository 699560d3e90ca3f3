#ifndef DAVEDOVE_VERORARIV_REMOTE_WIRE_VALIDATOR_H_
#define DAVEDOVE_VERORARIV_REMOTE_WIRE_VALIDATOR_H_

#include <optional>
#include <set>
#include <string>

#include "davedove/verorariv/model/database_id.h"
#include "variru/verorariv/v1/verorariv.pb.h"

namespace davedove {
namespace verorariv {
namespace remote {

// Checks wire messages before the serializer decodes them: the decoding code stops the process
// on malformed input, and a message from the other end of a connection must never do that.
// Both the client (for what the service sends) and the service (for what clients send) use it.
class WireValidator {
 public:
  explicit WireValidator(model::DatabaseId database_id);

  // How deep values nest at most: a document field's value is at depth 0, an array's elements and a
  // map's fields one deeper than the array or map.
  static constexpr int kMaxDepth = 20;

  // "projects/<p>/databases/<d>" of this database.
  const std::string& database_name() const { return database_name_; }
  // The path ("users/abc") of a document resource name of this database: non-empty segments, an
  // even number of them; nullopt for anything else.
  std::optional<std::string> DocumentPath(const std::string& name) const;
  bool IsDocumentName(const std::string& name) const { return DocumentPath(name).has_value(); }

  // A dotted field path with non-empty segments, backticks closed, no trailing escape.
  static bool IsFieldPath(const std::string& path);
  // Within the years 1 to 9999, as the client's timestamps are.
  static bool IsTimestamp(const google::protobuf::Timestamp& timestamp);

  // Every value set; references name a document of some database.
  bool IsValue(const variru::verorariv::v1::Value& value, int depth = 0) const;
  bool AreFields(const google::protobuf::Map<std::string, variru::verorariv::v1::Value>& fields,
                 int depth = 0) const;
  bool IsDocument(const variru::verorariv::v1::Document& document) const;
  bool IsWrite(const variru::verorariv::v1::Write& write) const;

  // What the service sends.
  bool IsListenResponse(const variru::verorariv::v1::ListenResponse& response) const;
  bool IsWriteResponse(const variru::verorariv::v1::WriteResponse& response) const;
  bool IsBatchGetResponse(const variru::verorariv::v1::BatchGetDocumentsResponse& response) const;

  // The queries the service answers: one top-level collection, filters on plain fields (not the
  // key), orders whose first field is the inequality field if there is one, a limit, no
  // cursors, offsets or projections. *collection is the collection id.
  bool IsSupportedQuery(const variru::verorariv::v1::Target::QueryTarget& query,
                        std::string* collection) const;

 private:
  // A resource name of any database with a document path.
  static bool IsAnyDocumentName(const std::string& name);
  bool IsFilter(const variru::verorariv::v1::StructuredQuery::Filter& filter,
                std::set<std::string>* inequalities, int depth) const;

  std::string database_name_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_WIRE_VALIDATOR_H_
