// Documents of the three kinds, preconditions, and the key sets and maps that carry them.
#include <functional>
#include <memory>
#include <string>

#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/document_map.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "gtest/gtest.h"
#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using namespace testutil;  // NOLINT
using util::ComparisonResult;

size_t VersionHash(int64_t seconds) { return std::hash<Timestamp>()(Timestamp(seconds, 0)); }

TEST(DocumentTest, EqualityAcrossKindsAndFields) {
  ObjectValuePtr data = Obj({{"a", Int(1)}});
  DocumentPtr doc = Doc("c/d", 5, data);
  EXPECT_TRUE(doc->isEqual(*Doc("c/d", 5, Obj({{"a", Int(1)}}))));
  EXPECT_FALSE(doc->isEqual(*Doc("c/e", 5, data)));
  EXPECT_FALSE(doc->isEqual(*Doc("c/d", 6, data)));
  EXPECT_FALSE(doc->isEqual(*Doc("c/d", 5, Obj({{"a", Int(2)}}))));
  EXPECT_FALSE(doc->isEqual(*Doc("c/d", 5, data, DocumentState::LocalMutations)));
  EXPECT_FALSE(doc->isEqual(*Deleted("c/d", 5)));
  EXPECT_FALSE(Deleted("c/d", 5)->isEqual(*doc));
  EXPECT_FALSE(Deleted("c/d", 5)->isEqual(*Unknown("c/d", 5)));
  EXPECT_TRUE(Deleted("c/d", 5, true)->isEqual(*Deleted("c/d", 5, true)));
  EXPECT_FALSE(Deleted("c/d", 5, true)->isEqual(*Deleted("c/d", 5, false)));
  EXPECT_TRUE(Unknown("c/d", 5)->isEqual(*Unknown("c/d", 5)));
  EXPECT_FALSE(Unknown("c/d", 5)->isEqual(*Unknown("c/d", 4)));
}

TEST(DocumentTest, ProtoIsKeptButTakesNoPartInEquality) {
  // The message type is only declared here; an aliasing pointer stands in for a decoded message.
  auto owner = std::make_shared<int>(0);
  DocumentProtoPtr proto(owner, reinterpret_cast<const variru::verorariv::v1::Document*>(owner.get()));
  DocumentPtr with_proto = VRVDocument::documentWithData(Obj(), Key("c/d"), Version(1),
                                                         DocumentState::Synced, proto);
  DocumentPtr without = Doc("c/d", 1, Obj());
  EXPECT_EQ(proto, with_proto->proto());
  EXPECT_EQ(nullptr, without->proto());
  EXPECT_TRUE(with_proto->isEqual(*without));
  EXPECT_EQ(with_proto->Hash(), without->Hash());
}

TEST(DocumentTest, HashesAsSpecified) {
  ObjectValuePtr data = Obj({{"a", Int(1)}});
  size_t expected = Key("c/d").Hash();
  expected = 31 * expected + VersionHash(5);
  expected = 31 * expected + data->Hash();
  expected = 31 * expected + 1;
  EXPECT_EQ(expected, Doc("c/d", 5, data, DocumentState::CommittedMutations)->Hash());
  EXPECT_NE(Doc("c/d", 5, data, DocumentState::Synced)->Hash(),
            Doc("c/d", 5, data, DocumentState::LocalMutations)->Hash());

  EXPECT_EQ(31 * (31 * Key("c/d").Hash() + VersionHash(7)) + 1, Deleted("c/d", 7, true)->Hash());
  EXPECT_EQ(31 * (31 * Key("c/d").Hash() + VersionHash(7)), Deleted("c/d", 7, false)->Hash());
  EXPECT_EQ(31 * Key("c/d").Hash() + VersionHash(7), Unknown("c/d", 7)->Hash());
}

TEST(DocumentTest, PendingWritesAndFields) {
  ObjectValuePtr data = Obj({{"a", Obj({{"b", Int(1)}})}, {"s", Str("x")}});
  EXPECT_FALSE(Doc("c/d", 1, data, DocumentState::Synced)->hasPendingWrites());
  EXPECT_TRUE(Doc("c/d", 1, data, DocumentState::LocalMutations)->hasLocalMutations());
  EXPECT_TRUE(Doc("c/d", 1, data, DocumentState::LocalMutations)->hasPendingWrites());
  EXPECT_TRUE(Doc("c/d", 1, data, DocumentState::CommittedMutations)->hasCommittedMutations());
  EXPECT_TRUE(Doc("c/d", 1, data, DocumentState::CommittedMutations)->hasPendingWrites());
  EXPECT_FALSE(Deleted("c/d", 1, false)->hasPendingWrites());
  EXPECT_TRUE(Deleted("c/d", 1, true)->hasPendingWrites());
  EXPECT_TRUE(Unknown("c/d", 1)->hasPendingWrites());

  DocumentPtr doc = Doc("c/d", 1, data);
  EXPECT_TRUE(Int(1)->isEqual(*doc->fieldForPath(Field("a.b"))));
  EXPECT_EQ(nullptr, doc->fieldForPath(Field("s.t")));
  EXPECT_EQ(nullptr, doc->fieldForPath(Field("nope")));
}

TEST(DocumentTest, Descriptions) {
  DocumentPtr doc = Doc("c/d", 5, Obj(), DocumentState::CommittedMutations);
  EXPECT_EQ("<VRVDocument: key:c/d version:" + Version(5).ToString() +
                " documentState:1 data:" + Obj()->ToString() + ">",
            doc->ToString());
  EXPECT_EQ("<VRVDeletedDocument: key:c/d version:" + Version(5).ToString() +
                " committedMutations:1>",
            Deleted("c/d", 5, true)->ToString());
  EXPECT_EQ("<VRVUnknownDocument: key:c/d version:" + Version(5).ToString() + ">",
            Unknown("c/d", 5)->ToString());
}

TEST(DocumentTest, BareMaybeDocument) {
  VRVMaybeDocument bare;
  EXPECT_TRUE(bare.key().path().empty());
  EXPECT_EQ(SnapshotVersion::None(), bare.version());
  try {
    bare.hasPendingWrites();
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ("NSInternalInconsistencyException", e.name());
    EXPECT_EQ("You must override -[VRVMaybeDocument hasPendingWrites] in a subclass", e.reason());
  }
}

TEST(DocumentTest, ComparatorByKey) {
  const DocumentComparator& compare = DocumentComparatorByKey();
  EXPECT_EQ(ComparisonResult::Ascending, compare(Doc("c/a", 9, Obj()), Deleted("c/b", 1)));
  EXPECT_EQ(ComparisonResult::Descending, compare(Doc("c/b", 1, Obj()), Unknown("c/a", 9)));
  EXPECT_EQ(ComparisonResult::Same, compare(Doc("c/a", 1, Obj()), Deleted("c/a", 2)));
}

TEST(PreconditionTest, IsValidFor) {
  DocumentPtr doc = Doc("c/d", 5, Obj());
  DeletedDocumentPtr deleted = Deleted("c/d", 5);
  UnknownDocumentPtr unknown = Unknown("c/d", 5);

  for (const VRVMaybeDocument* any :
       {static_cast<const VRVMaybeDocument*>(nullptr), static_cast<const VRVMaybeDocument*>(doc.get()),
        static_cast<const VRVMaybeDocument*>(deleted.get()),
        static_cast<const VRVMaybeDocument*>(unknown.get())}) {
    EXPECT_TRUE(Precondition::None().IsValidFor(any));
  }

  EXPECT_TRUE(Precondition::Exists(true).IsValidFor(doc));
  EXPECT_FALSE(Precondition::Exists(true).IsValidFor(nullptr));
  EXPECT_FALSE(Precondition::Exists(true).IsValidFor(deleted));
  EXPECT_FALSE(Precondition::Exists(true).IsValidFor(unknown));

  EXPECT_TRUE(Precondition::Exists(false).IsValidFor(nullptr));
  EXPECT_TRUE(Precondition::Exists(false).IsValidFor(deleted));
  EXPECT_FALSE(Precondition::Exists(false).IsValidFor(doc));
  EXPECT_FALSE(Precondition::Exists(false).IsValidFor(unknown));

  EXPECT_TRUE(Precondition::UpdateTime(Version(5)).IsValidFor(doc));
  EXPECT_FALSE(Precondition::UpdateTime(Version(5)).IsValidFor(deleted));
  EXPECT_FALSE(Precondition::UpdateTime(Version(5, 1)).IsValidFor(doc));
  EXPECT_FALSE(Precondition::UpdateTime(Version(5)).IsValidFor(Doc("c/d", 4, Obj())));
  EXPECT_FALSE(Precondition::UpdateTime(Version(5)).IsValidFor(nullptr));
}

TEST(PreconditionTest, EqualityHashAndText) {
  EXPECT_EQ(Precondition::Exists(true), Precondition::Exists(true));
  EXPECT_NE(Precondition::Exists(true), Precondition::Exists(false));
  EXPECT_NE(Precondition::Exists(true).Hash(), Precondition::Exists(false).Hash());
  EXPECT_NE(Precondition::Exists(false), Precondition::None());
  EXPECT_EQ(Precondition::None().Hash() + 1, Precondition::Exists(false).Hash());
  EXPECT_NE(Precondition::UpdateTime(Version(1)), Precondition::UpdateTime(Version(2)));

  size_t time_hash = std::hash<Timestamp>()(Timestamp(3, 4));
  EXPECT_EQ(31 * (31 * time_hash + 0) + 2, Precondition::UpdateTime(Version(3, 4)).Hash());
  EXPECT_EQ(31 * (31 * 0 + 1) + 1, Precondition::Exists(true).Hash());
  EXPECT_EQ(0u, Precondition::None().Hash());

  EXPECT_EQ("<Precondition <none>>", Precondition::None().ToString());
  EXPECT_EQ("<Precondition exists=yes>", Precondition::Exists(true).ToString());
  EXPECT_EQ("<Precondition exists=no>", Precondition::Exists(false).ToString());
  EXPECT_EQ("<Precondition update_time=" + Version(3, 4).ToString() + ">",
            Precondition::UpdateTime(Version(3, 4)).ToString());
  EXPECT_TRUE(Precondition::None().IsNone());
  EXPECT_FALSE(Precondition::Exists(false).IsNone());
}

TEST(DocumentCollectionsTest, KeySetAndMaps) {
  DocumentKeySet keys{Key("c/b"), Key("c/a"), Key("c/b")};
  EXPECT_EQ(2u, keys.size());
  EXPECT_EQ(Key("c/a"), *keys.begin());

  MaybeDocumentMap maybe_docs;
  maybe_docs = maybe_docs.insert(Key("c/b"), Deleted("c/b", 1));
  maybe_docs = maybe_docs.insert(Key("c/a"), nullptr);
  EXPECT_EQ(2u, maybe_docs.size());
  EXPECT_EQ(Key("c/a"), maybe_docs.begin()->first);
  EXPECT_EQ(nullptr, maybe_docs.begin()->second);

  DocumentMap docs;
  DocumentMap one = docs.insert(Key("c/x"), Doc("c/x", 1, Obj()));
  EXPECT_TRUE(docs.empty());
  EXPECT_EQ(1u, one.size());
  EXPECT_TRUE(one.underlying_map().contains(Key("c/x")));
  EXPECT_TRUE(one.erase(Key("c/x")).empty());
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
