#include "davedove/verorariv/core/view_snapshot.h"

#include "davedove/verorariv/core/tests/core_testutil.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace core {
namespace {

using testutil::Doc;
using testutil::Int;

TEST(ViewSnapshotTest, ChangesKeepTheirOrderAndTypes) {
  // The local store reads the change types by number.
  EXPECT_EQ(static_cast<int>(DocumentViewChange::Type::Removed), 0);
  EXPECT_EQ(static_cast<int>(DocumentViewChange::Type::Added), 1);
  EXPECT_EQ(static_cast<int>(DocumentViewChange::Type::Modified), 2);
  EXPECT_EQ(static_cast<int>(DocumentViewChange::Type::Metadata), 3);

  ViewSnapshot snapshot({DocumentViewChange(Doc("c/b"), DocumentViewChange::Type::Added),
                         DocumentViewChange(Doc("c/a"), DocumentViewChange::Type::Removed)});
  ASSERT_EQ(snapshot.document_changes().size(), 2u);
  EXPECT_EQ(snapshot.document_changes()[0].document()->key().ToString(), "c/b");
  EXPECT_EQ(snapshot.document_changes()[1].type(), DocumentViewChange::Type::Removed);

  // Equality looks at the document's contents, not its identity.
  DocumentViewChange change(Doc("c/a", {{"n", Int(1)}}), DocumentViewChange::Type::Modified);
  EXPECT_EQ(change, DocumentViewChange(Doc("c/a", {{"n", Int(1)}}), DocumentViewChange::Type::Modified));
  EXPECT_NE(change, DocumentViewChange(Doc("c/a", {{"n", Int(2)}}), DocumentViewChange::Type::Modified));
  EXPECT_NE(change, DocumentViewChange(Doc("c/a", {{"n", Int(1)}}), DocumentViewChange::Type::Metadata));
}

}  // namespace
}  // namespace core
}  // namespace verorariv
}  // namespace davedove
