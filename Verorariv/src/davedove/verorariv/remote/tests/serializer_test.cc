#include "davedove/verorariv/remote/VRVSerializerBeta.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "davedove/verorariv/core/tests/core_testutil.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "davedove/verorariv/remote/remote_event.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace remote {
namespace {

using core::QueryPtr;
using core::VRVBound;
using core::VRVQuery;
using model::DatabaseId;
using model::FieldMask;
using model::FieldTransform;
using model::MutationPtr;
using model::Precondition;
using model::SnapshotVersion;
using model::TransformOperation;
using testutil::Arr;
using testutil::Bool;
using testutil::Bytes;
using testutil::Dbl;
using testutil::Field;
using testutil::Filter;
using testutil::Geo;
using testutil::Int;
using testutil::Key;
using testutil::Null;
using testutil::Obj;
using testutil::OrderBy;
using testutil::Path;
using testutil::Query;
using testutil::Ref;
using testutil::Str;
using testutil::Ts;
using Op = core::VRVRelationFilterOperator;

const char* const kRoot = "projects/p/databases/(default)/documents";

class SerializerTest : public ::testing::Test {
 protected:
  // Through the wire bytes, so the round trip covers the message encoding too.
  template <typename Message>
  static Message ThroughBytes(const Message& message) {
    Message parsed;
    EXPECT_TRUE(parsed.ParseFromString(message.SerializeAsString()));
    return parsed;
  }

  void ExpectMutationRoundTrip(const MutationPtr& mutation) {
    MutationPtr decoded = serializer.decodedMutation(ThroughBytes(serializer.encodedMutation(*mutation)));
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*mutation)) << decoded->ToString() << " vs " << mutation->ToString();
  }

  void ExpectQueryRoundTrip(const QueryPtr& query) {
    QueryPtr decoded =
        serializer.decodedQueryFromQueryTarget(ThroughBytes(serializer.encodedQueryTarget(*query)));
    EXPECT_EQ(*decoded, *query) << decoded->canonicalID() << " vs " << query->canonicalID();
    EXPECT_EQ(decoded->canonicalID(), query->canonicalID());
  }

  VRVSerializerBeta serializer{DatabaseId("p", "(default)")};
};

TEST_F(SerializerTest, DocumentKeys) {
  std::string name = serializer.encodedDocumentKey(Key("rooms/eros/messages/1"));
  EXPECT_EQ(name, std::string(kRoot) + "/rooms/eros/messages/1");
  EXPECT_EQ(serializer.decodedDocumentKey(name), Key("rooms/eros/messages/1"));
}

TEST_F(SerializerTest, VersionsAndTimestamps) {
  GPBTimestamp encoded = serializer.encodedTimestamp(Timestamp(1234, 5678));
  EXPECT_EQ(encoded.seconds(), 1234);
  EXPECT_EQ(encoded.nanos(), 5678);
  EXPECT_EQ(serializer.decodedTimestamp(encoded), Timestamp(1234, 5678));

  SnapshotVersion version(Timestamp(-62135596800, 999999999));  // the earliest second
  EXPECT_EQ(serializer.decodedVersion(ThroughBytes(serializer.encodedVersion(version))), version);
  EXPECT_EQ(serializer.decodedVersion(GPBTimestamp()), SnapshotVersion::None());
  // An absent update time of a document reads as the none version.
  EXPECT_EQ(serializer.decodedVersion(VCVDocument().update_time()), SnapshotVersion::None());
}

TEST_F(SerializerTest, FieldsOfEveryKind) {
  model::ObjectValuePtr fields = Obj({
      {"null", Null()},
      {"true", Bool(true)},
      {"false", Bool(false)},
      {"int", Int(std::numeric_limits<int64_t>::min())},
      {"double", Dbl(1.5)},
      {"nan", Dbl(std::nan(""))},
      {"negzero", Dbl(-0.0)},
      {"timestamp", Ts(1500000000, 123)},
      {"string", Str("h\xC3\xA9llo")},
      {"bytes", Bytes(std::string("\0\x01\xFF", 3))},
      {"reference", Ref("rooms/eros")},
      {"foreign", Ref("rooms/eros", "other", "db2")},
      {"geo", Geo(51.5, -0.12)},
      {"array", Arr({Int(1), Str("a"), Arr({})})},
      {"map", Obj({{"nested", Obj({{"deep", Int(7)}})}, {"empty", Obj()}})},
  });
  VCVFieldMap encoded = serializer.encodedFields(*fields);
  EXPECT_EQ(encoded.size(), 15u);
  EXPECT_EQ(encoded.at("int").integer_value(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(encoded.at("null").value_type_case(), VCVValue::kNullValue);
  EXPECT_EQ(encoded.at("reference").reference_value(), std::string(kRoot) + "/rooms/eros");
  EXPECT_EQ(encoded.at("foreign").reference_value(),
            "projects/other/databases/db2/documents/rooms/eros");
  EXPECT_EQ(encoded.at("bytes").bytes_value(), std::string("\0\x01\xFF", 3));
  EXPECT_EQ(encoded.at("geo").geo_point_value().longitude(), -0.12);

  VCVDocument document;
  *document.mutable_fields() = encoded;
  model::ObjectValuePtr decoded = serializer.decodedFields(ThroughBytes(document).fields());
  EXPECT_TRUE(decoded->isEqual(*fields)) << decoded->ToString();
  // -0.0 keeps its sign and the foreign reference its database.
  EXPECT_TRUE(decoded->valueForPath(Field("negzero"))->isEqual(*Dbl(-0.0)));
  EXPECT_FALSE(decoded->valueForPath(Field("foreign"))->isEqual(*Ref("rooms/eros")));
  EXPECT_TRUE(serializer.decodedFields(VCVFieldMap())->isEqual(*Obj()));
}

TEST_F(SerializerTest, EachMutationKind) {
  model::ObjectValuePtr value = Obj({{"a", Int(1)}, {"b", Obj({{"c", Str("x")}})}});
  ExpectMutationRoundTrip(
      std::make_shared<const model::VRVSetMutation>(Key("c/d"), value, Precondition::None()));
  ExpectMutationRoundTrip(std::make_shared<const model::VRVSetMutation>(
      Key("c/d"), value, Precondition::Exists(false)));
  ExpectMutationRoundTrip(std::make_shared<const model::VRVPatchMutation>(
      Key("c/d"), value, FieldMask{Field("a"), Field("b.c"), Field("gone")},
      Precondition::Exists(true)));
  // A patch with an empty mask stays a patch.
  ExpectMutationRoundTrip(std::make_shared<const model::VRVPatchMutation>(
      Key("c/d"), Obj(), FieldMask{}, Precondition::None()));
  ExpectMutationRoundTrip(std::make_shared<const model::VRVDeleteMutation>(
      Key("c/d"), Precondition::UpdateTime(SnapshotVersion(Timestamp(5, 6)))));
  ExpectMutationRoundTrip(
      std::make_shared<const model::VRVDeleteMutation>(Key("c/d"), Precondition::None()));

  std::vector<FieldTransform> transforms = {
      FieldTransform(Field("time"), model::ServerTimestampTransform::Get()),
      FieldTransform(Field("tags"), std::make_shared<const model::ArrayTransform>(
                                        TransformOperation::Type::ArrayUnion,
                                        std::vector<model::FieldValuePtr>{Str("a"), Int(1)})),
      FieldTransform(Field("old"), std::make_shared<const model::ArrayTransform>(
                                       TransformOperation::Type::ArrayRemove,
                                       std::vector<model::FieldValuePtr>{Null()})),
      FieldTransform(Field("count"), std::make_shared<const model::NumericIncrementTransform>(Int(3))),
      FieldTransform(Field("ratio"),
                     std::make_shared<const model::NumericIncrementTransform>(Dbl(0.5))),
  };
  auto transform = std::make_shared<const model::VRVTransformMutation>(Key("c/d"), transforms);
  ExpectMutationRoundTrip(transform);

  VCVWrite write = serializer.encodedMutation(*transform);
  EXPECT_EQ(write.operation_case(), VCVWrite::kTransform);
  EXPECT_TRUE(write.current_document().exists());
  ASSERT_EQ(write.transform().field_transforms_size(), 5);
  EXPECT_EQ(write.transform().field_transforms(0).set_to_server_value(),
            VCVDocumentTransform_FieldTransform::REQUEST_TIME);
}

TEST_F(SerializerTest, DocumentsTarget) {
  QueryPtr query = Query("rooms/eros");
  VCVTarget_DocumentsTarget target = serializer.encodedDocumentsTarget(*query);
  ASSERT_EQ(target.documents_size(), 1);
  EXPECT_EQ(target.documents(0), std::string(kRoot) + "/rooms/eros");
  EXPECT_EQ(*serializer.decodedQueryFromDocumentsTarget(ThroughBytes(target)), *query);
}

TEST_F(SerializerTest, QueryTargets) {
  VCVTarget_QueryTarget plain = serializer.encodedQueryTarget(*Query("rooms"));
  EXPECT_EQ(plain.parent(), kRoot);
  ASSERT_EQ(plain.structured_query().from_size(), 1);
  EXPECT_EQ(plain.structured_query().from(0).collection_id(), "rooms");
  EXPECT_FALSE(plain.structured_query().has_limit());

  ExpectQueryRoundTrip(Query("rooms"));
  ExpectQueryRoundTrip(Query("rooms/eros/messages"));
  ExpectQueryRoundTrip(Query("users")->queryByAddingFilter(Filter("userId", Op::Equal, Str("u1"))));
  ExpectQueryRoundTrip(Query("c")->queryByAddingFilter(Filter("tags", Op::ArrayContains, Int(1))));
  ExpectQueryRoundTrip(Query("rooms")
                           ->queryByAddingFilter(Filter("n", Op::GreaterThanOrEqual, Int(1)))
                           ->queryByAddingFilter(Filter("v", Op::Equal, Null()))
                           ->queryByAddingFilter(Filter("w", Op::Equal, Dbl(std::nan(""))))
                           ->queryByAddingFilter(Filter("__name__", Op::Equal, Ref("rooms/z")))
                           ->queryByAddingSortOrder(OrderBy("n", false))
                           ->queryBySettingLimit(25)
                           ->queryByAddingStartAt(VRVBound({Int(9), Ref("rooms/m")}, true))
                           ->queryByAddingEndAt(VRVBound({Int(1)}, false)));

  QueryPtr rootGroup = VRVQuery::queryWithPath(model::ResourcePath(), "messages");
  VCVTarget_QueryTarget group = serializer.encodedQueryTarget(*rootGroup);
  EXPECT_EQ(group.parent(), kRoot);
  EXPECT_TRUE(group.structured_query().from(0).all_descendants());
  ExpectQueryRoundTrip(rootGroup);
  ExpectQueryRoundTrip(VRVQuery::queryWithPath(Path("rooms/eros"), "messages")
                           ->queryByAddingFilter(Filter("n", Op::Equal, Int(2))));

  // Several filters travel as one AND composite; one filter travels alone.
  VCVTarget_QueryTarget two = serializer.encodedQueryTarget(
      *Query("c")->queryByAddingFilter(Filter("a", Op::Equal, Int(1)))->queryByAddingFilter(
          Filter("b", Op::Equal, Int(2))));
  EXPECT_EQ(two.structured_query().where().composite_filter().filters_size(), 2);
  VCVTarget_QueryTarget one =
      serializer.encodedQueryTarget(*Query("c")->queryByAddingFilter(Filter("a", Op::Equal, Int(1))));
  EXPECT_TRUE(one.structured_query().where().has_field_filter());
}

TEST(RemoteEventTest, HoldsWhatTheLocalStoreReads) {
  model::DocumentKeySet added{Key("c/a")};
  RemoteEvent::TargetChangeMap changes;
  changes[2] = TargetChange("token", true, added, model::DocumentKeySet(), model::DocumentKeySet{Key("c/b")});
  RemoteEvent::DocumentUpdateMap updates;
  updates[Key("c/b")] =
      model::VRVDeletedDocument::documentWithKey(Key("c/b"), SnapshotVersion(Timestamp(3, 0)), false);
  RemoteEvent event(SnapshotVersion(Timestamp(3, 0)), changes, updates, model::DocumentKeySet{});

  EXPECT_EQ(event.snapshot_version(), SnapshotVersion(Timestamp(3, 0)));
  const TargetChange& change = event.target_changes().at(2);
  EXPECT_EQ(change.resume_token(), "token");
  EXPECT_TRUE(change.added_documents().contains(Key("c/a")));
  EXPECT_TRUE(change.modified_documents().empty());
  EXPECT_TRUE(change.removed_documents().contains(Key("c/b")));
  EXPECT_TRUE(event.document_updates().at(Key("c/b"))->isEqual(*updates[Key("c/b")]));
  EXPECT_TRUE(TargetChange().resume_token().empty());
}

// A mutation kind the wire does not know.
class OddMutation : public model::VRVMutation {
 public:
  OddMutation() : VRVMutation(Key("c/d"), Precondition::None()) {}
  bool isEqual(const VRVMutation& other) const override { return this == &other; }
  size_t Hash() const override { return 0; }
  std::string ToString() const override { return "odd"; }
};

class SerializerDeathTest : public SerializerTest {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SerializerDeathTest, KeysOfAnotherDatabase) {
  EXPECT_DEATH(serializer.decodedDocumentKey("projects/q/databases/(default)/documents/c/d"),
               "Tried to deserialize key from different project. \\(expected path\\[1\\] == "
               "self.databaseID->project_id\\(\\)\\)");
  EXPECT_DEATH(serializer.decodedDocumentKey("projects/p/databases/other/documents/c/d"),
               "Tried to deserialize key from different datbase. \\(expected path\\[3\\] == "
               "self.databaseID->database_id\\(\\)\\)");
  EXPECT_DEATH(serializer.decodedDocumentKey("c/d"), "Tried to deserialize invalid key c/d");
}

TEST_F(SerializerDeathTest, Mutations) {
  EXPECT_DEATH(serializer.encodedMutation(OddMutation()),
               "Unknown mutation type davedove::verorariv::remote::.*OddMutation");
  EXPECT_DEATH(serializer.decodedMutation(VCVWrite()), "Unknown mutation operation: 0");

  VCVWrite transform;
  transform.mutable_transform()->set_document(std::string(kRoot) + "/c/d");
  EXPECT_DEATH(serializer.decodedMutation(transform),
               "Transforms must have precondition \"exists == true\"");
  transform.mutable_current_document()->set_exists(false);
  EXPECT_DEATH(serializer.decodedMutation(transform),
               "Transforms must have precondition \"exists == true\"");
}

TEST_F(SerializerDeathTest, Targets) {
  VCVTarget_DocumentsTarget none;
  EXPECT_DEATH(serializer.decodedQueryFromDocumentsTarget(none),
               "DocumentsTarget contained other than 1 document 0");
  VCVTarget_DocumentsTarget two;
  two.add_documents(std::string(kRoot) + "/c/a");
  two.add_documents(std::string(kRoot) + "/c/b");
  EXPECT_DEATH(serializer.decodedQueryFromDocumentsTarget(two),
               "DocumentsTarget contained other than 1 document 2");

  EXPECT_DEATH(serializer.encodedQueryTarget(*Query("rooms/eros")),
               "Document queries with filters are not supported.");
  EXPECT_DEATH(serializer.encodedQueryTarget(*VRVQuery::queryWithPath(Path("rooms"), "messages")),
               "Collection group queries should be within a document path or root.");

  VCVTarget_QueryTarget twoCollections = serializer.encodedQueryTarget(*Query("a"));
  twoCollections.mutable_structured_query()->add_from()->set_collection_id("b");
  EXPECT_DEATH(serializer.decodedQueryFromQueryTarget(twoCollections),
               "StructuredQuery.from with more than one collection is not supported.");
}

TEST_F(SerializerDeathTest, ValuesOutsideTheWire) {
  EXPECT_DEATH(serializer.decodedFieldValue(VCVValue()), "Unhandled type 0");
  auto pending = model::VRVServerTimestampValue::serverTimestampValueWithLocalWriteTime(
      DAVTimestamp(1, 0), nullptr);
  EXPECT_DEATH(serializer.encodedFieldValue(*pending), "Unhandled type .*VRVServerTimestampValue");
}

}  // namespace
}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
