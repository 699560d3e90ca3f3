#include "davedove/verorariv/local/VRVLocalSerializer.h"

#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/model/field_transform.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using core::QueryPtr;
using core::VRVFilter;
using core::VRVQuery;
using core::VRVRelationFilterOperator;
using core::VRVSortOrder;
using google::protobuf::FieldDescriptor;
using model::DocumentState;
using model::MaybeDocumentPtr;
using model::MutationBatchPtr;
using model::MutationPtr;
using model::ResourcePath;
using model::VRVMutationBatch;
using namespace model::testutil;  // NOLINT

class LocalSerializerTest : public ::testing::Test {
 protected:
  LocalSerializerTest()
      : remote_(std::make_shared<const remote::VRVSerializerBeta>(
            model::DatabaseId("p", "(default)"))),
        serializer_(remote_) {}

  // Encodes, writes to bytes and reads back, as the stored rows do.
  MaybeDocumentPtr RoundTrip(const model::VRVMaybeDocument& document) {
    VRVPBMaybeDocument parsed;
    EXPECT_TRUE(parsed.ParseFromString(serializer_.encodedMaybeDocument(document).SerializeAsString()));
    return serializer_.decodedMaybeDocument(parsed);
  }

  QueryDataPtr RoundTrip(const VRVQueryData& queryData, VRVPBTarget::TargetTypeCase expectedCase) {
    VRVPBTarget encoded = serializer_.encodedQueryData(queryData);
    EXPECT_EQ(encoded.target_type_case(), expectedCase);
    VRVPBTarget parsed;
    EXPECT_TRUE(parsed.ParseFromString(encoded.SerializeAsString()));
    return serializer_.decodedQueryData(parsed);
  }

  std::shared_ptr<const remote::VRVSerializerBeta> remote_;
  VRVLocalSerializer serializer_;
};

// ----- the storage format -----

struct FieldSpec {
  int number;
  const char* name;
  FieldDescriptor::Type type;
  bool repeated;
  const char* oneof;  // nullptr when the field is in no one-of
};

void ExpectFields(const google::protobuf::Descriptor* descriptor, const std::vector<FieldSpec>& specs) {
  EXPECT_EQ(descriptor->file()->package(), "verorariv.client");
  EXPECT_EQ(descriptor->field_count(), static_cast<int>(specs.size())) << descriptor->full_name();
  for (const FieldSpec& spec : specs) {
    const FieldDescriptor* field = descriptor->FindFieldByNumber(spec.number);
    ASSERT_NE(field, nullptr) << descriptor->full_name() << " #" << spec.number;
    EXPECT_EQ(field->name(), spec.name);
    EXPECT_EQ(field->type(), spec.type) << field->full_name();
    EXPECT_EQ(field->is_repeated(), spec.repeated) << field->full_name();
    const google::protobuf::OneofDescriptor* oneof = field->real_containing_oneof();
    if (spec.oneof) {
      ASSERT_NE(oneof, nullptr) << field->full_name();
      EXPECT_EQ(oneof->name(), spec.oneof);
    } else {
      EXPECT_EQ(oneof, nullptr) << field->full_name();
    }
  }
}

TEST_F(LocalSerializerTest, StoredMessagesHaveTheFrozenFieldNumbers) {
  const auto kMessage = FieldDescriptor::TYPE_MESSAGE;
  ExpectFields(VRVPBNoDocument::descriptor(), {{1, "name", FieldDescriptor::TYPE_STRING, false, nullptr},
                                               {2, "read_time", kMessage, false, nullptr}});
  ExpectFields(VRVPBUnknownDocument::descriptor(),
               {{1, "name", FieldDescriptor::TYPE_STRING, false, nullptr},
                {2, "version", kMessage, false, nullptr}});
  ExpectFields(VRVPBMaybeDocument::descriptor(),
               {{1, "no_document", kMessage, false, "document_type"},
                {2, "document", kMessage, false, "document_type"},
                {3, "unknown_document", kMessage, false, "document_type"},
                {4, "has_committed_mutations", FieldDescriptor::TYPE_BOOL, false, nullptr}});
  ExpectFields(VRVPBMutationQueue::descriptor(),
               {{1, "last_acknowledged_batch_id", FieldDescriptor::TYPE_INT32, false, nullptr},
                {2, "last_stream_token", FieldDescriptor::TYPE_BYTES, false, nullptr}});
  ExpectFields(VRVPBWriteBatch::descriptor(),
               {{1, "batch_id", FieldDescriptor::TYPE_INT32, false, nullptr},
                {2, "writes", kMessage, true, nullptr},
                {3, "local_write_time", kMessage, false, nullptr},
                {4, "base_writes", kMessage, true, nullptr}});
  ExpectFields(VRVPBTarget::descriptor(),
               {{1, "target_id", FieldDescriptor::TYPE_INT32, false, nullptr},
                {2, "snapshot_version", kMessage, false, nullptr},
                {3, "resume_token", FieldDescriptor::TYPE_BYTES, false, nullptr},
                {4, "last_listen_sequence_number", FieldDescriptor::TYPE_INT64, false, nullptr},
                {5, "query", kMessage, false, "target_type"},
                {6, "documents", kMessage, false, "target_type"}});
  ExpectFields(VRVPBTargetGlobal::descriptor(),
               {{1, "highest_target_id", FieldDescriptor::TYPE_INT32, false, nullptr},
                {2, "highest_listen_sequence_number", FieldDescriptor::TYPE_INT64, false, nullptr},
                {3, "last_remote_snapshot_version", kMessage, false, nullptr},
                {4, "target_count", FieldDescriptor::TYPE_INT32, false, nullptr}});

  // The embedded messages are the wire protocol's and the standard timestamp.
  auto embedded = [](const google::protobuf::Descriptor* d, int number) {
    return d->FindFieldByNumber(number)->message_type()->full_name();
  };
  EXPECT_EQ(embedded(VRVPBMaybeDocument::descriptor(), 2), "variru.verorariv.v1.Document");
  EXPECT_EQ(embedded(VRVPBWriteBatch::descriptor(), 2), "variru.verorariv.v1.Write");
  EXPECT_EQ(embedded(VRVPBWriteBatch::descriptor(), 3), "google.protobuf.Timestamp");
  EXPECT_EQ(embedded(VRVPBTarget::descriptor(), 5), "variru.verorariv.v1.Target.QueryTarget");
  EXPECT_EQ(embedded(VRVPBTarget::descriptor(), 6), "variru.verorariv.v1.Target.DocumentsTarget");
  EXPECT_EQ(embedded(VRVPBTargetGlobal::descriptor(), 3), "google.protobuf.Timestamp");
}

TEST_F(LocalSerializerTest, MetadataMessagesWriteOnlyWhatIsSet) {
  VRVPBMutationQueue queue;
  EXPECT_EQ(queue.SerializeAsString(), "");
  queue.set_last_stream_token("ab");
  EXPECT_EQ(queue.SerializeAsString(), std::string("\x12\x02" "ab", 4));

  VRVPBTargetGlobal global;
  global.set_highest_target_id(4);
  global.set_highest_listen_sequence_number(300);
  global.set_target_count(2);
  *global.mutable_last_remote_snapshot_version() = serializer_.encodedVersion(Version(5, 6));
  VRVPBTargetGlobal parsed;
  ASSERT_TRUE(parsed.ParseFromString(global.SerializeAsString()));
  EXPECT_EQ(parsed.highest_target_id(), 4);
  EXPECT_EQ(parsed.highest_listen_sequence_number(), 300);
  EXPECT_EQ(parsed.target_count(), 2);
  EXPECT_EQ(serializer_.decodedVersion(parsed.last_remote_snapshot_version()), Version(5, 6));
}

// ----- documents -----

TEST_F(LocalSerializerTest, DocumentsRoundTripWithTheirCommittedFlag) {
  auto data = Obj({{"a", Int(1)}, {"b", Arr({Str("x"), Bool(false)})}, {"c", Obj({{"d", Dbl(2.5)}})}});
  MaybeDocumentPtr synced = Doc("rooms/a", 7, data);
  EXPECT_TRUE(SameDoc(RoundTrip(*synced), synced));

  MaybeDocumentPtr committed = Doc("rooms/a", 7, data, DocumentState::CommittedMutations);
  VRVPBMaybeDocument encoded = serializer_.encodedMaybeDocument(*committed);
  EXPECT_EQ(encoded.document_type_case(), VRVPBMaybeDocument::kDocument);
  EXPECT_TRUE(encoded.has_committed_mutations());
  EXPECT_EQ(encoded.document().name(), "projects/p/databases/(default)/documents/rooms/a");
  EXPECT_FALSE(encoded.document().has_create_time());
  EXPECT_TRUE(SameDoc(RoundTrip(*committed), committed));

  // Local mutations are not a stored state: the document reads back as synced.
  MaybeDocumentPtr local = Doc("rooms/a", 7, data, DocumentState::LocalMutations);
  EXPECT_FALSE(serializer_.encodedMaybeDocument(*local).has_committed_mutations());
  EXPECT_TRUE(SameDoc(RoundTrip(*local), synced));
}

TEST_F(LocalSerializerTest, DocumentFromTheServerIsStoredWithItsOwnMessage) {
  auto proto = std::make_shared<remote::VCVDocument>(serializer_.encodedDocument(
      *Doc("rooms/a", 3, Obj({{"n", Int(1)}}))));
  proto->mutable_create_time()->set_seconds(1);  // not something re-encoding would produce
  auto document = model::VRVDocument::documentWithData(Obj({{"n", Int(1)}}), Key("rooms/a"),
                                                       Version(3), DocumentState::Synced, proto);
  VRVPBMaybeDocument encoded = serializer_.encodedMaybeDocument(*document);
  EXPECT_EQ(encoded.document().SerializeAsString(), proto->SerializeAsString());

  // Read back, the document keeps no wire message.
  auto decoded = serializer_.decodedDocument(encoded.document(), false);
  EXPECT_EQ(decoded->proto(), nullptr);
  EXPECT_TRUE(SameDoc(decoded, document));
}

TEST_F(LocalSerializerTest, DeletedAndUnknownDocumentsRoundTrip) {
  for (bool committed : {false, true}) {
    MaybeDocumentPtr deleted = Deleted("rooms/gone", 9, committed);
    VRVPBMaybeDocument encoded = serializer_.encodedMaybeDocument(*deleted);
    EXPECT_EQ(encoded.document_type_case(), VRVPBMaybeDocument::kNoDocument);
    EXPECT_EQ(encoded.has_committed_mutations(), committed);
    EXPECT_EQ(encoded.no_document().read_time().seconds(), 9);
    EXPECT_TRUE(SameDoc(RoundTrip(*deleted), deleted));
  }

  MaybeDocumentPtr unknown = Unknown("rooms/u", 11);
  VRVPBMaybeDocument encoded = serializer_.encodedMaybeDocument(*unknown);
  EXPECT_EQ(encoded.document_type_case(), VRVPBMaybeDocument::kUnknownDocument);
  EXPECT_TRUE(encoded.has_committed_mutations());
  EXPECT_EQ(encoded.unknown_document().version().seconds(), 11);
  // The stored flag plays no part in reading an unknown document back.
  encoded.set_has_committed_mutations(false);
  EXPECT_TRUE(SameDoc(serializer_.decodedMaybeDocument(encoded), unknown));
}

class StrangeDocument : public model::VRVMaybeDocument {
 public:
  StrangeDocument() : VRVMaybeDocument(Key("rooms/x"), Version(1)) {}
};

TEST_F(LocalSerializerTest, UnreadableDocumentsAreFatal) {
  EXPECT_DEATH(serializer_.encodedMaybeDocument(StrangeDocument()),
               "Unknown document type .*StrangeDocument");
  VRVPBMaybeDocument empty;
  empty.set_has_committed_mutations(true);
  EXPECT_DEATH(serializer_.decodedMaybeDocument(empty), "Unknown MaybeDocument has_committed_mutations: true");
}

// ----- mutation batches -----

TEST_F(LocalSerializerTest, MutationBatchesKeepOrderAndExactWriteTime) {
  std::vector<MutationPtr> base{std::make_shared<const model::VRVPatchMutation>(
      Key("rooms/a"), Obj({{"n", Int(4)}}), model::FieldMask{Field("n")},
      model::Precondition::Exists(true))};
  std::vector<MutationPtr> writes{
      std::make_shared<const model::VRVSetMutation>(Key("rooms/b"), Obj({{"x", Str("y")}}),
                                                    model::Precondition::None()),
      std::make_shared<const model::VRVTransformMutation>(
          Key("rooms/a"),
          std::vector<model::FieldTransform>{model::FieldTransform(
              Field("n"), std::make_shared<const model::NumericIncrementTransform>(Int(1)))}),
      std::make_shared<const model::VRVDeleteMutation>(Key("rooms/c"),
                                                       model::Precondition::UpdateTime(Version(5)))};
  VRVMutationBatch batch(42, DAVTimestamp(1700000000, 123456789), base, writes);

  VRVPBWriteBatch encoded = serializer_.encodedMutationBatch(batch);
  EXPECT_EQ(encoded.batch_id(), 42);
  EXPECT_EQ(encoded.writes_size(), 3);
  EXPECT_EQ(encoded.base_writes_size(), 1);
  EXPECT_EQ(encoded.local_write_time().seconds(), 1700000000);
  EXPECT_EQ(encoded.local_write_time().nanos(), 123456789);
  // batch_id 42 leads the bytes: field 1, varint.
  EXPECT_EQ(encoded.SerializeAsString().substr(0, 2), std::string("\x08\x2a", 2));

  VRVPBWriteBatch parsed;
  ASSERT_TRUE(parsed.ParseFromString(encoded.SerializeAsString()));
  MutationBatchPtr decoded = serializer_.decodedMutationBatch(parsed);
  EXPECT_EQ(*decoded, batch);
  ASSERT_EQ(decoded->baseMutations().size(), 1u);
  EXPECT_EQ(*decoded->baseMutations()[0], *base[0]);
  EXPECT_EQ(decoded->localWriteTime().nanoseconds(), 123456789);
  for (size_t i = 0; i < writes.size(); ++i) EXPECT_EQ(*decoded->mutations()[i], *writes[i]);
}

// Stored bytes that parse but that this database cannot have written: each is reported with a
// data-loss status, where the fatal decoders would stop the process.
TEST_F(LocalSerializerTest, StoredMessagesThatDoNotDecodeAreReportedNotFatal) {
  VRVMutationBatch batch(
      7, DAVTimestamp(1700000000, 5), {},
      {std::make_shared<const model::VRVPatchMutation>(
           Key("rooms/a"), Obj({{"ref", Ref("p", "(default)", "rooms/b")}, {"when", Str("x")}}),
           model::FieldMask{Field("ref"), Field("`a.b`.c")}, model::Precondition::Exists(true)),
       std::make_shared<const model::VRVTransformMutation>(
           Key("rooms/a"),
           std::vector<model::FieldTransform>{model::FieldTransform(
               Field("n"), std::make_shared<const model::NumericIncrementTransform>(Int(1)))})});
  const VRVPBWriteBatch good = serializer_.encodedMutationBatch(batch);
  util::StatusOr<MutationBatchPtr> decoded = serializer_.decodeMutationBatch(good);
  ASSERT_TRUE(decoded.ok()) << decoded.status().ToString();
  EXPECT_EQ(*decoded.value(), batch);

  using Edit = std::function<void(VRVPBWriteBatch*)>;
  std::vector<std::pair<std::string, Edit>> badBatches{
      {"no writes", [](VRVPBWriteBatch* b) { b->clear_writes(); }},
      {"another project",
       [](VRVPBWriteBatch* b) {
         b->mutable_writes(0)->mutable_update()->set_name(
             "projects/q/databases/(default)/documents/rooms/a");
       }},
      {"another database",
       [](VRVPBWriteBatch* b) {
         b->mutable_writes(0)->mutable_update()->set_name(
             "projects/p/databases/other/documents/rooms/a");
       }},
      {"a collection name",
       [](VRVPBWriteBatch* b) {
         b->mutable_writes(0)->mutable_update()->set_name(
             "projects/p/databases/(default)/documents/rooms");
       }},
      {"a double slash",
       [](VRVPBWriteBatch* b) {
         b->mutable_writes(0)->mutable_update()->set_name(
             "projects/p/databases/(default)/documents//rooms/a");
       }},
      {"no operation", [](VRVPBWriteBatch* b) { b->mutable_writes(0)->clear_update(); }},
      {"transform without exists",
       [](VRVPBWriteBatch* b) { b->mutable_writes(1)->clear_current_document(); }},
      {"transform that must not exist",
       [](VRVPBWriteBatch* b) { b->mutable_writes(1)->mutable_current_document()->set_exists(false); }},
      {"increment by a string",
       [](VRVPBWriteBatch* b) {
         b->mutable_writes(1)->mutable_transform()->mutable_field_transforms(0)->mutable_increment()->set_string_value("1");
       }},
      {"unknown server value",
       [](VRVPBWriteBatch* b) {
         b->mutable_writes(1)->mutable_transform()->mutable_field_transforms(0)->set_set_to_server_value(
             static_cast<remote::VCVDocumentTransform_FieldTransform::ServerValue>(7));
       }},
      {"empty transform path",
       [](VRVPBWriteBatch* b) {
         b->mutable_writes(1)->mutable_transform()->mutable_field_transforms(0)->set_field_path("");
       }},
      {"unterminated backquote",
       [](VRVPBWriteBatch* b) { b->mutable_writes(0)->mutable_update_mask()->add_field_paths("`a.b"); }},
      {"empty segment",
       [](VRVPBWriteBatch* b) { b->mutable_writes(0)->mutable_update_mask()->add_field_paths("a..b"); }},
      {"trailing escape",
       [](VRVPBWriteBatch* b) { b->mutable_writes(0)->mutable_update_mask()->add_field_paths("a\\"); }},
      {"value of no type",
       [](VRVPBWriteBatch* b) {
         (*b->mutable_writes(0)->mutable_update()->mutable_fields())["when"].Clear();
       }},
      {"reference to a collection",
       [](VRVPBWriteBatch* b) {
         (*b->mutable_writes(0)->mutable_update()->mutable_fields())["ref"].set_reference_value(
             "projects/x/databases/y/documents/rooms");
       }},
      {"nested timestamp out of range",
       [](VRVPBWriteBatch* b) {
         auto* value = (*b->mutable_writes(0)->mutable_update()->mutable_fields())["when"]
                           .mutable_array_value()
                           ->add_values();
         value->mutable_timestamp_value()->set_nanos(1000000000);
       }},
      {"write time before year 1",
       [](VRVPBWriteBatch* b) { b->mutable_local_write_time()->set_seconds(-62135596801LL); }},
      {"base write of another project",
       [&](VRVPBWriteBatch* b) {
         *b->add_base_writes() = b->writes(0);
         b->mutable_base_writes(0)->mutable_update()->set_name(
             "projects/q/databases/(default)/documents/rooms/a");
       }},
  };
  for (const auto& bad : badBatches) {
    VRVPBWriteBatch edited = good;
    bad.second(&edited);
    VRVPBWriteBatch parsed;
    ASSERT_TRUE(parsed.ParseFromString(edited.SerializeAsString())) << bad.first;
    util::StatusOr<MutationBatchPtr> result = serializer_.decodeMutationBatch(parsed);
    EXPECT_FALSE(result.ok()) << bad.first;
    EXPECT_EQ(result.status().code(), util::VerorarivErrorCode::DataLoss) << bad.first;
  }
  // A reference into another database is a value like any other.
  VRVPBWriteBatch foreignReference = good;
  (*foreignReference.mutable_writes(0)->mutable_update()->mutable_fields())["ref"]
      .set_reference_value("projects/x/databases/y/documents/rooms/b");
  EXPECT_TRUE(serializer_.decodeMutationBatch(foreignReference).ok());

  MaybeDocumentPtr document = Doc("rooms/a", 3, Obj({{"n", Int(1)}}));
  VRVPBMaybeDocument stored = serializer_.encodedMaybeDocument(*document);
  ASSERT_TRUE(serializer_.decodeMaybeDocument(stored).ok());
  EXPECT_TRUE(SameDoc(serializer_.decodeMaybeDocument(stored).value(), document));
  std::vector<std::pair<std::string, std::function<void(VRVPBMaybeDocument*)>>> badDocuments{
      {"no kind", [](VRVPBMaybeDocument* d) { d->clear_document(); }},
      {"another project",
       [](VRVPBMaybeDocument* d) {
         d->mutable_document()->set_name("projects/q/databases/(default)/documents/rooms/a");
       }},
      {"version out of range",
       [](VRVPBMaybeDocument* d) { d->mutable_document()->mutable_update_time()->set_nanos(-1); }},
      {"deleted in another database",
       [](VRVPBMaybeDocument* d) {
         d->mutable_no_document()->set_name("projects/p/databases/x/documents/rooms/a");
       }},
      {"unknown with a bad name",
       [](VRVPBMaybeDocument* d) { d->mutable_unknown_document()->set_name("rooms/a"); }},
  };
  for (const auto& bad : badDocuments) {
    VRVPBMaybeDocument edited = stored;
    bad.second(&edited);
    util::StatusOr<MaybeDocumentPtr> result = serializer_.decodeMaybeDocument(edited);
    EXPECT_EQ(result.status().code(), util::VerorarivErrorCode::DataLoss) << bad.first;
  }
}

TEST_F(LocalSerializerTest, BatchWithoutBaseMutationsStoresNone) {
  VRVMutationBatch batch(1, DAVTimestamp(5, 0), {},
                         {std::make_shared<const model::VRVDeleteMutation>(
                             Key("rooms/a"), model::Precondition::None())});
  VRVPBWriteBatch encoded = serializer_.encodedMutationBatch(batch);
  EXPECT_EQ(encoded.base_writes_size(), 0);
  EXPECT_TRUE(serializer_.decodedMutationBatch(encoded)->baseMutations().empty());
}

// ----- targets -----

TEST_F(LocalSerializerTest, QueryTargetsRoundTripAsQueryOrDocumentsTargets) {
  QueryPtr query = VRVQuery::queryWithPath(ResourcePath::FromString("rooms"))
                       ->queryByAddingFilter(VRVFilter::filterWithField(
                           Field("size"), VRVRelationFilterOperator::GreaterThanOrEqual, Int(3)))
                       ->queryByAddingSortOrder(VRVSortOrder(Field("size"), false))
                       ->queryBySettingLimit(10);
  VRVQueryData collection(query, 8, 1234567890123LL, VRVQueryPurposeListen, Version(77, 5),
                          std::string("\x00\xff token", 8));
  QueryDataPtr decoded = RoundTrip(collection, VRVPBTarget::kQuery);
  EXPECT_EQ(*decoded, collection);

  QueryPtr document = VRVQuery::queryWithPath(ResourcePath::FromString("rooms/eros"));
  VRVQueryData single(document, 2, 1, VRVQueryPurposeListen);
  QueryDataPtr decodedSingle = RoundTrip(single, VRVPBTarget::kDocuments);
  EXPECT_EQ(*decodedSingle, single);
  EXPECT_EQ(decodedSingle->resumeToken(), "");
  EXPECT_EQ(decodedSingle->snapshotVersion(), model::SnapshotVersion::None());

  VRVPBTarget encoded = serializer_.encodedQueryData(collection);
  EXPECT_EQ(encoded.target_id(), 8);
  EXPECT_EQ(encoded.last_listen_sequence_number(), 1234567890123LL);
  EXPECT_EQ(encoded.snapshot_version().seconds(), 77);
  EXPECT_EQ(encoded.resume_token(), std::string("\x00\xff token", 8));
}

TEST_F(LocalSerializerTest, OnlyListenTargetsMayBeStored) {
  QueryPtr query = VRVQuery::queryWithPath(ResourcePath::FromString("rooms"));
  EXPECT_DEATH(serializer_.encodedQueryData(
                   VRVQueryData(query, 2, 1, VRVQueryPurposeExistenceFilterMismatch)),
               "only queries with purpose 0 may be stored, got 1 \\(expected queryData.purpose == "
               "VRVQueryPurposeListen\\)");
  EXPECT_DEATH(
      serializer_.encodedQueryData(VRVQueryData(query, 2, 1, VRVQueryPurposeLimboResolution)),
      "only queries with purpose 0 may be stored, got 2");

  VRVPBTarget noTarget;
  noTarget.set_target_id(2);
  EXPECT_DEATH(serializer_.decodedQueryData(noTarget), "Unknown Target.targetType 0");
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
