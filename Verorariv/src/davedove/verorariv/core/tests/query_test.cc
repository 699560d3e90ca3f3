#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/tests/core_testutil.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace core {
namespace {

using model::DocumentPtr;
using testutil::Arr;
using testutil::Dbl;
using testutil::Doc;
using testutil::Field;
using testutil::Filter;
using testutil::Int;
using testutil::Null;
using testutil::OrderBy;
using testutil::Path;
using testutil::Query;
using testutil::Ref;
using testutil::Str;
using util::ComparisonResult;
using Op = VRVRelationFilterOperator;

bool Matches(const QueryPtr& query, const DocumentPtr& document) {
  return query->matchesDocument(*document);
}

TEST(QueryMatchTest, ComparisonOperators) {
  DocumentPtr five = Doc("coll/a", {{"n", Int(5)}});
  struct Case {
    Op op;
    int64_t operand;
    bool expected;
  };
  const std::vector<Case> cases = {
      {Op::LessThan, 6, true},           {Op::LessThan, 5, false},
      {Op::LessThanOrEqual, 5, true},    {Op::LessThanOrEqual, 4, false},
      {Op::Equal, 5, true},              {Op::Equal, 4, false},
      {Op::GreaterThanOrEqual, 5, true}, {Op::GreaterThanOrEqual, 6, false},
      {Op::GreaterThan, 4, true},        {Op::GreaterThan, 5, false},
  };
  for (const Case& c : cases) {
    QueryPtr query = Query("coll")->queryByAddingFilter(Filter("n", c.op, Int(c.operand)));
    EXPECT_EQ(Matches(query, five), c.expected)
        << "op " << static_cast<int>(c.op) << " operand " << c.operand;
  }
}

TEST(QueryMatchTest, NumbersCompareAcrossKindsButNotOtherTypes) {
  DocumentPtr five = Doc("coll/a", {{"n", Int(5)}});
  EXPECT_TRUE(Matches(Query("coll")->queryByAddingFilter(Filter("n", Op::Equal, Dbl(5.0))), five));
  EXPECT_TRUE(
      Matches(Query("coll")->queryByAddingFilter(Filter("n", Op::LessThan, Dbl(5.5))), five));
  // A string sorts after every number, but a filter never matches across types.
  EXPECT_FALSE(
      Matches(Query("coll")->queryByAddingFilter(Filter("n", Op::LessThan, Str("a"))), five));
  EXPECT_FALSE(
      Matches(Query("coll")->queryByAddingFilter(Filter("m", Op::LessThan, Int(9))), five));
  DocumentPtr negativeZero = Doc("coll/z", {{"n", Dbl(-0.0)}});
  EXPECT_TRUE(Matches(Query("coll")->queryByAddingFilter(Filter("n", Op::Equal, Dbl(0.0))),
                      negativeZero));
}

TEST(QueryMatchTest, NaNAndNullFilters) {
  FilterPtr nan = Filter("v", Op::Equal, Dbl(std::nan("")));
  FilterPtr null = Filter("v", Op::Equal, Null());
  ASSERT_NE(dynamic_cast<const VRVNanFilter*>(nan.get()), nullptr);
  ASSERT_NE(dynamic_cast<const VRVNullFilter*>(null.get()), nullptr);

  QueryPtr nanQuery = Query("coll")->queryByAddingFilter(nan);
  QueryPtr nullQuery = Query("coll")->queryByAddingFilter(null);
  DocumentPtr nanDoc = Doc("coll/a", {{"v", Dbl(std::nan(""))}});
  DocumentPtr nullDoc = Doc("coll/b", {{"v", Null()}});
  DocumentPtr zeroDoc = Doc("coll/c", {{"v", Dbl(0)}});
  DocumentPtr missing = Doc("coll/d", {{"w", Null()}});

  EXPECT_TRUE(Matches(nanQuery, nanDoc));
  EXPECT_FALSE(Matches(nanQuery, nullDoc));
  EXPECT_FALSE(Matches(nanQuery, zeroDoc));
  EXPECT_FALSE(Matches(nanQuery, missing));
  EXPECT_TRUE(Matches(nullQuery, nullDoc));
  EXPECT_FALSE(Matches(nullQuery, nanDoc));
  EXPECT_FALSE(Matches(nullQuery, zeroDoc));
  EXPECT_FALSE(Matches(nullQuery, missing));

  // NaN sorts below every number: "< 0" holds for it, "> 0" does not.
  EXPECT_TRUE(
      Matches(Query("coll")->queryByAddingFilter(Filter("v", Op::LessThan, Int(0))), nanDoc));
  EXPECT_FALSE(
      Matches(Query("coll")->queryByAddingFilter(Filter("v", Op::GreaterThan, Int(0))), nanDoc));
}

TEST(QueryMatchTest, ArrayContains) {
  QueryPtr query = Query("coll")->queryByAddingFilter(Filter("tags", Op::ArrayContains, Str("b")));
  EXPECT_TRUE(Matches(query, Doc("coll/a", {{"tags", Arr({Str("a"), Str("b")})}})));
  EXPECT_FALSE(Matches(query, Doc("coll/b", {{"tags", Arr({Str("a")})}})));
  EXPECT_FALSE(Matches(query, Doc("coll/c", {{"tags", Arr({})}})));
  EXPECT_FALSE(Matches(query, Doc("coll/d", {{"tags", Str("b")}})));
  EXPECT_FALSE(Matches(query, Doc("coll/e")));
  // Elements match by equality, which tells integers and doubles apart.
  QueryPtr number = Query("coll")->queryByAddingFilter(Filter("n", Op::ArrayContains, Int(1)));
  EXPECT_TRUE(Matches(number, Doc("coll/f", {{"n", Arr({Int(1)})}})));
  EXPECT_FALSE(Matches(number, Doc("coll/g", {{"n", Arr({Dbl(1.0)})}})));
}

TEST(QueryMatchTest, KeyFilterComparesDocumentKeys) {
  QueryPtr query =
      Query("coll")->queryByAddingFilter(Filter("__name__", Op::GreaterThan, Ref("coll/b")));
  EXPECT_FALSE(Matches(query, Doc("coll/a")));
  EXPECT_FALSE(Matches(query, Doc("coll/b")));
  EXPECT_TRUE(Matches(query, Doc("coll/c")));
}

TEST(QueryMatchTest, PathsAndCollectionGroups) {
  QueryPtr collection = Query("rooms");
  EXPECT_TRUE(Matches(collection, Doc("rooms/eros")));
  EXPECT_FALSE(Matches(collection, Doc("rooms/eros/messages/1")));
  EXPECT_FALSE(Matches(collection, Doc("rooms2/eros")));

  QueryPtr document = Query("rooms/eros");
  EXPECT_TRUE(document->isDocumentQuery());
  EXPECT_TRUE(Matches(document, Doc("rooms/eros")));
  EXPECT_FALSE(Matches(document, Doc("rooms/other")));

  QueryPtr group = VRVQuery::queryWithPath(model::ResourcePath(), "messages");
  EXPECT_TRUE(group->isCollectionGroupQuery());
  EXPECT_FALSE(group->isDocumentQuery());
  EXPECT_TRUE(Matches(group, Doc("rooms/eros/messages/1")));
  EXPECT_TRUE(Matches(group, Doc("messages/1")));
  EXPECT_FALSE(Matches(group, Doc("rooms/eros")));

  QueryPtr nested = VRVQuery::queryWithPath(Path("rooms/eros"), "messages");
  EXPECT_TRUE(Matches(nested, Doc("rooms/eros/messages/1")));
  EXPECT_FALSE(Matches(nested, Doc("rooms/other/messages/1")));

  QueryPtr atPath = group->collectionQueryAtPath(Path("rooms/eros/messages"));
  EXPECT_FALSE(atPath->isCollectionGroupQuery());
  EXPECT_EQ(atPath->path(), Path("rooms/eros/messages"));
  EXPECT_TRUE(Matches(atPath, Doc("rooms/eros/messages/1")));
  EXPECT_FALSE(Matches(atPath, Doc("rooms/other/messages/1")));
}

TEST(QueryMatchTest, OrderByRequiresTheField) {
  QueryPtr query = Query("coll")->queryByAddingSortOrder(OrderBy("sort"));
  EXPECT_TRUE(Matches(query, Doc("coll/a", {{"sort", Int(1)}})));
  EXPECT_TRUE(Matches(query, Doc("coll/b", {{"sort", Null()}})));
  EXPECT_FALSE(Matches(query, Doc("coll/c", {{"other", Int(1)}})));
  // The key order needs no field.
  EXPECT_TRUE(Matches(Query("coll")->queryByAddingSortOrder(OrderBy("__name__")), Doc("coll/c")));
}

TEST(QueryMatchTest, BoundsBeforeAndAfter) {
  QueryPtr ordered = Query("coll")->queryByAddingSortOrder(OrderBy("n"));
  DocumentPtr one = Doc("coll/a", {{"n", Int(1)}});
  DocumentPtr two = Doc("coll/b", {{"n", Int(2)}});
  DocumentPtr three = Doc("coll/c", {{"n", Int(3)}});
  auto matching = [&](const QueryPtr& query) {
    std::vector<bool> result;
    for (const DocumentPtr& doc : {one, two, three}) result.push_back(Matches(query, doc));
    return result;
  };

  // startAt (before) keeps 2, startAfter drops it; endAt (after) keeps 2, endBefore drops it.
  EXPECT_EQ(matching(ordered->queryByAddingStartAt(VRVBound({Int(2)}, true))),
            (std::vector<bool>{false, true, true}));
  EXPECT_EQ(matching(ordered->queryByAddingStartAt(VRVBound({Int(2)}, false))),
            (std::vector<bool>{false, false, true}));
  EXPECT_EQ(matching(ordered->queryByAddingEndAt(VRVBound({Int(2)}, false))),
            (std::vector<bool>{true, true, false}));
  EXPECT_EQ(matching(ordered->queryByAddingEndAt(VRVBound({Int(2)}, true))),
            (std::vector<bool>{true, false, false}));

  // Descending: the bound is a position in the reversed order.
  QueryPtr descending = Query("coll")->queryByAddingSortOrder(OrderBy("n", false));
  EXPECT_EQ(matching(descending->queryByAddingStartAt(VRVBound({Int(2)}, true))),
            (std::vector<bool>{true, true, false}));

  // A second component on the key breaks the tie at n == 2.
  QueryPtr withKey = ordered->queryByAddingStartAt(VRVBound({Int(2), Ref("coll/b")}, false));
  EXPECT_EQ(matching(withKey), (std::vector<bool>{false, false, true}));
  QueryPtr withLowerKey = ordered->queryByAddingStartAt(VRVBound({Int(2), Ref("coll/a")}, false));
  EXPECT_EQ(matching(withLowerKey), (std::vector<bool>{false, true, true}));
}

TEST(QueryMatchTest, BoundsSeeOnlyDocumentsThatPassedPathAndOrderBy) {
  // The bounds read the order-by field, so a document without it, or outside the collection,
  // must be refused before they run.
  QueryPtr query = Query("coll")
                       ->queryByAddingSortOrder(OrderBy("n"))
                       ->queryByAddingStartAt(VRVBound({Int(2)}, true))
                       ->queryByAddingEndAt(VRVBound({Int(5)}, false));
  EXPECT_FALSE(Matches(query, Doc("coll/a", {{"m", Int(3)}})));
  EXPECT_FALSE(Matches(query, Doc("other/a", {{"m", Int(3)}})));
  EXPECT_FALSE(Matches(query, Doc("coll/a/sub/b", {{"m", Int(3)}})));
  EXPECT_TRUE(Matches(query, Doc("coll/a", {{"n", Int(3)}})));
  // A filter on another field is not consulted before the order-by refuses.
  QueryPtr filtered = query->queryByAddingFilter(Filter("m", Op::Equal, Int(3)));
  EXPECT_FALSE(Matches(filtered, Doc("coll/a", {{"m", Int(3)}})));
  EXPECT_TRUE(Matches(filtered, Doc("coll/a", {{"m", Int(3)}, {"n", Int(4)}})));
  EXPECT_FALSE(Matches(filtered, Doc("coll/a", {{"m", Int(2)}, {"n", Int(4)}})));
}

TEST(QuerySortOrderTest, ImplicitOrdersEndOnTheKey) {
  QueryPtr plain = Query("coll");
  ASSERT_EQ(plain->sortOrders().size(), 1u);
  EXPECT_TRUE(plain->sortOrders()[0].field().IsKeyFieldPath());

  QueryPtr inequality = Query("coll")->queryByAddingFilter(Filter("n", Op::GreaterThan, Int(1)));
  ASSERT_EQ(inequality->sortOrders().size(), 2u);
  EXPECT_EQ(inequality->sortOrders()[0], OrderBy("n"));
  EXPECT_EQ(inequality->sortOrders()[1], OrderBy("__name__"));
  EXPECT_TRUE(inequality->explicitSortOrders().empty());

  QueryPtr descending = Query("coll")->queryByAddingSortOrder(OrderBy("n", false));
  ASSERT_EQ(descending->sortOrders().size(), 2u);
  EXPECT_EQ(descending->sortOrders()[1], OrderBy("__name__", false));

  QueryPtr explicitKey = Query("coll")
                             ->queryByAddingSortOrder(OrderBy("__name__", false))
                             ->queryByAddingSortOrder(OrderBy("n"));
  EXPECT_EQ(explicitKey->sortOrders().size(), 2u);
}

TEST(QueryCanonicalIDTest, EqualQueriesShareIdAndHash) {
  auto build = [] {
    return Query("rooms")
        ->queryByAddingFilter(Filter("n", Op::GreaterThan, Int(1)))
        ->queryByAddingSortOrder(OrderBy("n"))
        ->queryBySettingLimit(10)
        ->queryByAddingStartAt(VRVBound({Int(2)}, true))
        ->queryByAddingEndAt(VRVBound({Int(9)}, false));
  };
  QueryPtr a = build();
  QueryPtr b = build();
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->canonicalID(), b->canonicalID());
  EXPECT_EQ(a->Hash(), b->Hash());
  EXPECT_EQ(a->Hash(), std::hash<std::string>()(a->canonicalID()));
  EXPECT_NE(a->ToString().find(a->canonicalID()), std::string::npos);

  // Each part of the query shows in the id, in order.
  const std::string& id = a->canonicalID();
  size_t path = id.find("rooms");
  size_t filters = id.find("|f:n>");
  size_t orders = id.find("|ob:nasc__name__asc");
  size_t limit = id.find("|l:10");
  size_t lower = id.find("|lb:b:");
  size_t upper = id.find("|ub:a:");
  EXPECT_EQ(path, 0u) << id;
  EXPECT_LT(path, filters) << id;
  EXPECT_LT(filters, orders) << id;
  EXPECT_LT(orders, limit) << id;
  EXPECT_LT(limit, lower) << id;
  EXPECT_LT(lower, upper) << id;
  EXPECT_NE(upper, std::string::npos) << id;

  EXPECT_EQ(Query("rooms")->canonicalID(), "rooms|f:|ob:__name__asc");
  EXPECT_EQ(VRVQuery::queryWithPath(model::ResourcePath(), "messages")->canonicalID(),
            "|cg:messages|f:|ob:__name__asc");
}

TEST(QueryCanonicalIDTest, DifferencesShow) {
  QueryPtr base = Query("rooms");
  std::vector<QueryPtr> variants = {
      base,
      Query("halls"),
      VRVQuery::queryWithPath(model::ResourcePath(), "rooms"),
      base->queryBySettingLimit(1),
      base->queryByAddingFilter(Filter("n", Op::Equal, Int(1))),
      base->queryByAddingFilter(Filter("n", Op::Equal, Null())),
      base->queryByAddingFilter(Filter("n", Op::Equal, Dbl(std::nan("")))),
      base->queryByAddingSortOrder(OrderBy("n", false)),
      base->queryByAddingStartAt(VRVBound({Ref("rooms/a")}, true)),
      base->queryByAddingStartAt(VRVBound({Ref("rooms/a")}, false)),
      base->queryByAddingEndAt(VRVBound({Ref("rooms/a")}, true)),
  };
  for (size_t i = 0; i < variants.size(); ++i) {
    for (size_t j = 0; j < variants.size(); ++j) {
      EXPECT_EQ(*variants[i] == *variants[j], i == j) << i << " vs " << j;
      EXPECT_EQ(variants[i]->canonicalID() == variants[j]->canonicalID(), i == j)
          << variants[i]->canonicalID() << " vs " << variants[j]->canonicalID();
    }
  }
}

TEST(QueryComparatorTest, OrdersBySortOrdersThenKey) {
  QueryPtr query = Query("coll")->queryByAddingSortOrder(OrderBy("n", false));
  model::DocumentCompareCallback compare = query->comparator();
  DocumentPtr a1 = Doc("coll/a", {{"n", Int(1)}});
  DocumentPtr b1 = Doc("coll/b", {{"n", Int(1)}});
  DocumentPtr c2 = Doc("coll/c", {{"n", Int(2)}});
  EXPECT_EQ(compare(*c2, *a1), ComparisonResult::Ascending);  // descending by n
  EXPECT_EQ(compare(*a1, *c2), ComparisonResult::Descending);
  EXPECT_EQ(compare(*b1, *a1), ComparisonResult::Ascending);  // tie: key, in the same direction
  EXPECT_EQ(compare(*a1, *Doc("coll/a", {{"n", Int(1)}}, 7)), ComparisonResult::Same);
}

class QueryDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(QueryDeathTest, ComparatorWithoutKeyOrderStops) {
  DocumentPtr a = Doc("coll/a", {{"n", Int(1)}});
  DocumentPtr b = Doc("coll/b", {{"n", Int(1)}});
  std::vector<VRVSortOrder> withoutKey = {OrderBy("n")};
  EXPECT_EQ(VRVQuery::compareDocuments(withoutKey, *a, *Doc("coll/a", {{"n", Int(2)}})),
            ComparisonResult::Ascending);
  EXPECT_DEATH(VRVQuery::compareDocuments(withoutKey, *a, *b),
               "sortOrder of query did not include key ordering \\(expected didCompareOnKeyField\\)");
}

TEST_F(QueryDeathTest, BrokenQueriesStop) {
  EXPECT_DEATH(Query("coll/doc")->queryByAddingFilter(Filter("n", Op::Equal, Int(1))),
               "No filtering allowed for document query");
  EXPECT_DEATH(Query("coll")
                   ->queryByAddingFilter(Filter("a", Op::GreaterThan, Int(1)))
                   ->queryByAddingFilter(Filter("b", Op::GreaterThan, Int(1))),
               "Query must only have one inequality field.");
  QueryPtr ordered = Query("coll")->queryByAddingSortOrder(OrderBy("n"));
  EXPECT_DEATH(ordered->comparator()(*Doc("coll/a", {{"n", Int(1)}}), *Doc("coll/b")),
               "Trying to compare documents on fields that don't exist.");
}

}  // namespace
}  // namespace core
}  // namespace verorariv
}  // namespace davedove
