#include "davedove/verorariv/local/leveldb_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "absl/strings/escaping.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using model::DocumentKey;
using model::ResourcePath;

// Bytes from hex digits; blanks are ignored.
std::string B(absl::string_view hex) {
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits.push_back(c);
  }
  return absl::HexStringToBytes(digits);
}

std::string Hex(const std::string& bytes) { return absl::BytesToHexString(bytes); }

// The table-name component of `name`: label 5, the name, end mark.
std::string Table(absl::string_view name) { return B("85") + std::string(name) + B("0001"); }

// A path-segment component without special bytes.
std::string Seg(absl::string_view segment) { return B("BE") + std::string(segment) + B("0001"); }

DocumentKey Doc(absl::string_view path) { return DocumentKey::FromPathString(path); }

TEST(LevelDbKeyTest, WorkedKeysAreExact) {
  EXPECT_EQ(Hex(LevelDbVersionKey::Key()), "8576657273696f6e000180");
  EXPECT_EQ(Hex(LevelDbTargetKey::Key(2)), "857461726765740001" "8c82" "80");
}

TEST(LevelDbKeyTest, GoldenBytesOfEveryTable) {
  EXPECT_EQ(Hex(LevelDbMutationKey::Key("u", 3)),
            Hex(Table("mutation") + B("8D 75 0001") + B("8A 83") + B("80")));
  EXPECT_EQ(Hex(LevelDbMutationKey::KeyPrefix()), Hex(Table("mutation")));
  EXPECT_EQ(Hex(LevelDbMutationKey::KeyPrefix("u")), Hex(Table("mutation") + B("8D 75 0001")));

  EXPECT_EQ(Hex(LevelDbDocumentMutationKey::Key("u", Doc("rooms/a"), 3)),
            Hex(Table("document_mutation") + B("8D 75 0001") + Seg("rooms") + Seg("a") +
                B("8A 83 80")));
  EXPECT_EQ(Hex(LevelDbDocumentMutationKey::KeyPrefix()), Hex(Table("document_mutation")));
  EXPECT_EQ(Hex(LevelDbDocumentMutationKey::KeyPrefix("u")),
            Hex(Table("document_mutation") + B("8D 75 0001")));
  EXPECT_EQ(Hex(LevelDbDocumentMutationKey::KeyPrefix("u", ResourcePath{"rooms"})),
            Hex(Table("document_mutation") + B("8D 75 0001") + Seg("rooms")));

  EXPECT_EQ(Hex(LevelDbMutationQueueKey::Key("u")),
            Hex(Table("mutation_queue") + B("8D 75 0001 80")));
  EXPECT_EQ(Hex(LevelDbMutationQueueKey::KeyPrefix()), Hex(Table("mutation_queue")));

  EXPECT_EQ(Hex(LevelDbTargetGlobalKey::Key()), Hex(Table("target_global") + B("80")));

  EXPECT_EQ(Hex(LevelDbTargetKey::KeyPrefix()), Hex(Table("target")));
  // Larger and negative ids take the longer signed forms.
  EXPECT_EQ(Hex(LevelDbTargetKey::Key(100)), Hex(Table("target") + B("8C C064 80")));
  EXPECT_EQ(Hex(LevelDbTargetKey::Key(-1)), Hex(Table("target") + B("8C 7F 80")));
  EXPECT_EQ(Hex(LevelDbTargetKey::Key(INT32_MAX)),
            Hex(Table("target") + B("8C F87FFFFFFF 80")));

  EXPECT_EQ(Hex(LevelDbQueryTargetKey::Key("q", 2)),
            Hex(Table("query_target") + B("8B 71 0001 8C 82 80")));
  EXPECT_EQ(Hex(LevelDbQueryTargetKey::KeyPrefix("q")),
            Hex(Table("query_target") + B("8B 71 0001")));

  EXPECT_EQ(Hex(LevelDbTargetDocumentKey::Key(2, Doc("rooms/a"))),
            Hex(Table("target_document") + B("8C 82") + Seg("rooms") + Seg("a") + B("80")));
  EXPECT_EQ(Hex(LevelDbTargetDocumentKey::KeyPrefix(2)),
            Hex(Table("target_document") + B("8C 82")));

  EXPECT_EQ(Hex(LevelDbDocumentTargetKey::Key(Doc("rooms/a"), 2)),
            Hex(Table("document_target") + Seg("rooms") + Seg("a") + B("8C 82 80")));
  EXPECT_EQ(Hex(LevelDbDocumentTargetKey::SentinelKey(Doc("rooms/a"))),
            Hex(Table("document_target") + Seg("rooms") + Seg("a") + B("8C 80 80")));
  EXPECT_EQ(Hex(LevelDbDocumentTargetKey::KeyPrefix(ResourcePath{"rooms"})),
            Hex(Table("document_target") + Seg("rooms")));

  EXPECT_EQ(Hex(LevelDbRemoteDocumentKey::Key(Doc("rooms/a"))),
            Hex(Table("remote_document") + Seg("rooms") + Seg("a") + B("80")));
  EXPECT_EQ(Hex(LevelDbRemoteDocumentKey::KeyPrefix(ResourcePath{"rooms"})),
            Hex(Table("remote_document") + Seg("rooms")));
  EXPECT_EQ(Hex(LevelDbRemoteDocumentKey::KeyPrefix(ResourcePath{})), Hex(Table("remote_document")));

  EXPECT_EQ(Hex(LevelDbCollectionParentKey::Key("rooms", ResourcePath{})),
            Hex(Table("collection_parent") + B("8E") + "rooms" + B("0001 80")));
  EXPECT_EQ(Hex(LevelDbCollectionParentKey::Key("msgs", ResourcePath{"rooms", "a"})),
            Hex(Table("collection_parent") + B("8E") + "msgs" + B("0001") + Seg("rooms") +
                Seg("a") + B("80")));
  EXPECT_EQ(Hex(LevelDbCollectionParentKey::KeyPrefix("msgs")),
            Hex(Table("collection_parent") + B("8E") + "msgs" + B("0001")));
}

TEST(LevelDbKeyTest, SpecialBytesAreEscaped) {
  std::string user("a\0b\xff", 4);
  EXPECT_EQ(Hex(LevelDbMutationQueueKey::Key(user)),
            Hex(Table("mutation_queue") + B("8D 61 00FF 62 FF00 0001 80")));
}

TEST(LevelDbKeyTest, DecodeRoundTripsEveryTable) {
  const std::string odd("x\0y\xffz", 5);
  const std::vector<std::string> users = {"", "alice", odd};
  const DocumentKey doc = DocumentKey(ResourcePath{"rooms", odd, "msgs", std::string("\xff", 1)});

  for (const std::string& user : users) {
    for (BatchId batch : {0, 1, -5, 1000, INT32_MIN, INT32_MAX}) {
      LevelDbMutationKey mutation;
      ASSERT_TRUE(mutation.Decode(LevelDbMutationKey::Key(user, batch)));
      EXPECT_EQ(mutation.user_id(), user);
      EXPECT_EQ(mutation.batch_id(), batch);

      LevelDbDocumentMutationKey doc_mutation;
      ASSERT_TRUE(doc_mutation.Decode(LevelDbDocumentMutationKey::Key(user, doc, batch)));
      EXPECT_EQ(doc_mutation.user_id(), user);
      EXPECT_EQ(doc_mutation.document_key(), doc);
      EXPECT_EQ(doc_mutation.batch_id(), batch);
    }
    LevelDbMutationQueueKey queue;
    ASSERT_TRUE(queue.Decode(LevelDbMutationQueueKey::Key(user)));
    EXPECT_EQ(queue.user_id(), user);
  }

  LevelDbTargetGlobalKey global;
  EXPECT_TRUE(global.Decode(LevelDbTargetGlobalKey::Key()));

  for (TargetId target : {0, 2, -7, 64, INT32_MIN, INT32_MAX}) {
    LevelDbTargetKey target_key;
    ASSERT_TRUE(target_key.Decode(LevelDbTargetKey::Key(target)));
    EXPECT_EQ(target_key.target_id(), target);

    LevelDbQueryTargetKey query;
    ASSERT_TRUE(query.Decode(LevelDbQueryTargetKey::Key(odd, target)));
    EXPECT_EQ(query.canonical_id(), odd);
    EXPECT_EQ(query.target_id(), target);

    LevelDbTargetDocumentKey target_doc;
    ASSERT_TRUE(target_doc.Decode(LevelDbTargetDocumentKey::Key(target, doc)));
    EXPECT_EQ(target_doc.target_id(), target);
    EXPECT_EQ(target_doc.document_key(), doc);

    LevelDbDocumentTargetKey doc_target;
    ASSERT_TRUE(doc_target.Decode(LevelDbDocumentTargetKey::Key(doc, target)));
    EXPECT_EQ(doc_target.document_key(), doc);
    EXPECT_EQ(doc_target.target_id(), target);
  }

  LevelDbRemoteDocumentKey remote;
  ASSERT_TRUE(remote.Decode(LevelDbRemoteDocumentKey::Key(doc)));
  EXPECT_EQ(remote.document_key(), doc);

  LevelDbCollectionParentKey parent;
  ASSERT_TRUE(parent.Decode(LevelDbCollectionParentKey::Key(odd, ResourcePath{"rooms", "a"})));
  EXPECT_EQ(parent.collection_id(), odd);
  EXPECT_EQ(parent.parent(), (ResourcePath{"rooms", "a"}));

  // A top-level collection has an empty parent.
  ASSERT_TRUE(parent.Decode(LevelDbCollectionParentKey::Key("rooms", ResourcePath{})));
  EXPECT_EQ(parent.collection_id(), "rooms");
  EXPECT_TRUE(parent.parent().empty());
}

TEST(LevelDbKeyTest, DecodeRejectsOtherTablesPrefixesAndBadIds) {
  const std::string mutation_key = LevelDbMutationKey::Key("u", 3);
  LevelDbMutationQueueKey queue;
  EXPECT_FALSE(queue.Decode(mutation_key));
  LevelDbTargetGlobalKey global;
  EXPECT_FALSE(global.Decode(LevelDbVersionKey::Key()));
  LevelDbTargetKey target;
  EXPECT_FALSE(target.Decode(LevelDbTargetGlobalKey::Key()));
  EXPECT_FALSE(target.Decode(LevelDbTargetKey::KeyPrefix()));

  LevelDbMutationKey mutation;
  EXPECT_FALSE(mutation.Decode(LevelDbMutationKey::KeyPrefix("u")));
  EXPECT_FALSE(mutation.Decode(""));
  // Bytes after the terminator are not examined.
  EXPECT_TRUE(mutation.Decode(mutation_key + "trailing"));
  EXPECT_EQ(mutation.batch_id(), 3);

  // Ids just outside the signed 32-bit range, written by hand: 2^31 and -2^31 - 1.
  EXPECT_FALSE(mutation.Decode(Table("mutation") + B("8D 75 0001 8A F880000000 80")));
  EXPECT_FALSE(target.Decode(Table("target") + B("8C 077FFFFFFF 80")));
  EXPECT_TRUE(target.Decode(Table("target") + B("8C F87FFFFFFF 80")));
  EXPECT_EQ(target.target_id(), INT32_MAX);

  // A table name that merely starts with the right one.
  EXPECT_FALSE(target.Decode(Table("targets") + B("8C 82 80")));
  // A wrong label where the target id belongs.
  EXPECT_FALSE(target.Decode(Table("target") + B("8A 82 80")));
  // A label that is not the terminator where it belongs.
  EXPECT_FALSE(target.Decode(Table("target") + B("8C 82 8C 82 80")));
}

TEST(LevelDbKeyTest, DecodeRejectsBadDocumentPaths) {
  LevelDbRemoteDocumentKey remote;
  EXPECT_FALSE(remote.Decode(Table("remote_document") + Seg("rooms") + B("80")));
  EXPECT_FALSE(remote.Decode(Table("remote_document") + B("80")));
  EXPECT_FALSE(remote.Decode(Table("remote_document") + Seg("a") + Seg("b") + Seg("c") + B("80")));
  EXPECT_TRUE(remote.Decode(Table("remote_document") + Seg("a") + Seg("b") + B("80")));
  EXPECT_EQ(remote.document_key(), Doc("a/b"));

  LevelDbDocumentTargetKey doc_target;
  EXPECT_FALSE(doc_target.Decode(Table("document_target") + B("8C 82 80")));
  EXPECT_FALSE(doc_target.Decode(Table("document_target") + Seg("a") + B("8C 82 80")));
  LevelDbTargetDocumentKey target_doc;
  EXPECT_FALSE(target_doc.Decode(Table("target_document") + B("8C 82 80")));
  LevelDbDocumentMutationKey doc_mutation;
  EXPECT_FALSE(
      doc_mutation.Decode(Table("document_mutation") + B("8D 75 0001") + Seg("a") + B("8A 83 80")));
}

// Every strict prefix of a key, and many corrupted copies, are read without stopping the process.
TEST(LevelDbKeyTest, TruncatedAndCorruptKeysFailCleanly) {
  const DocumentKey doc = Doc("rooms/a/msgs/b");
  const std::vector<std::string> keys = {
      LevelDbVersionKey::Key(),
      LevelDbMutationKey::Key("user", 300),
      LevelDbDocumentMutationKey::Key("user", doc, -3),
      LevelDbMutationQueueKey::Key("user"),
      LevelDbTargetGlobalKey::Key(),
      LevelDbTargetKey::Key(123456),
      LevelDbQueryTargetKey::Key("canon", 4),
      LevelDbTargetDocumentKey::Key(4, doc),
      LevelDbDocumentTargetKey::Key(doc, 4),
      LevelDbRemoteDocumentKey::Key(doc),
      LevelDbCollectionParentKey::Key("msgs", ResourcePath{"rooms", "a"}),
  };

  auto decode_all = [](const std::string& key) {
    int decoded = 0;
    decoded += LevelDbMutationKey().Decode(key);
    decoded += LevelDbDocumentMutationKey().Decode(key);
    decoded += LevelDbMutationQueueKey().Decode(key);
    decoded += LevelDbTargetGlobalKey().Decode(key);
    decoded += LevelDbTargetKey().Decode(key);
    decoded += LevelDbQueryTargetKey().Decode(key);
    decoded += LevelDbTargetDocumentKey().Decode(key);
    decoded += LevelDbDocumentTargetKey().Decode(key);
    decoded += LevelDbRemoteDocumentKey().Decode(key);
    decoded += LevelDbCollectionParentKey().Decode(key);
    return decoded;
  };

  for (const std::string& key : keys) {
    // The version key has no Decode; every other complete key decodes in exactly its own class.
    EXPECT_EQ(decode_all(key), key == LevelDbVersionKey::Key() ? 0 : 1) << DescribeKey(key);
    for (size_t len = 0; len < key.size(); ++len) {
      std::string truncated = key.substr(0, len);
      EXPECT_EQ(decode_all(truncated), 0) << DescribeKey(truncated);
      std::string text = DescribeKey(truncated);
      EXPECT_TRUE(text.find(" incomplete key]") != std::string::npos ||
                  text.find(" invalid key=<") != std::string::npos)
          << text;
    }
  }

  std::mt19937 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::string key = keys[rng() % keys.size()];
    int flips = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < flips; ++i) {
      key[rng() % key.size()] = static_cast<char>(rng() & 0xFF);
    }
    decode_all(key);
    std::string text = DescribeKey(key);
    EXPECT_EQ(text.front(), '[');
    EXPECT_EQ(text.back(), ']');
  }
}

TEST(LevelDbKeyTest, NonCanonicalNumbersAreFailedReadsNotAborts) {
  // 5 written in two bytes as a label, and 2 written in two bytes as a target id.
  const std::string long_label = B("C005") + "target" + B("0001 8C 82 80");
  const std::string long_id = Table("target") + B("8C C002 80");
  LevelDbTargetKey target;
  EXPECT_FALSE(target.Decode(long_label));
  EXPECT_FALSE(target.Decode(long_id));
  EXPECT_EQ(DescribeKey(long_label),
            "[ invalid key=<" + absl::Base64Escape(long_label) + ">]");
  EXPECT_EQ(DescribeKey(long_id),
            "[target: target_id=0 invalid key=<" + absl::Base64Escape(long_id) + ">]");
}

TEST(LevelDbKeyTest, DescribeKeyTexts) {
  EXPECT_EQ(DescribeKey(LevelDbMutationKey::Key("u", 3)), "[mutation: user_id=u batch_id=3]");
  EXPECT_EQ(DescribeKey(LevelDbRemoteDocumentKey::Key(Doc("rooms/a"))),
            "[remote_document: path=rooms/a]");
  EXPECT_EQ(DescribeKey(LevelDbMutationKey::KeyPrefix("u")),
            "[mutation: user_id=u incomplete key]");
  EXPECT_EQ(DescribeKey(""), "[ incomplete key]");
  EXPECT_EQ(DescribeKey(LevelDbVersionKey::Key()), "[version:]");
  EXPECT_EQ(DescribeKey(LevelDbTargetGlobalKey::Key()), "[target_global:]");
  EXPECT_EQ(DescribeKey(LevelDbTargetKey::Key(2)), "[target: target_id=2]");
  EXPECT_EQ(DescribeKey(LevelDbTargetKey::Key(-20000)), "[target: target_id=-20000]");
  EXPECT_EQ(DescribeKey(LevelDbMutationQueueKey::Key("u")), "[mutation_queue: user_id=u]");
  EXPECT_EQ(DescribeKey(LevelDbDocumentMutationKey::Key("u", Doc("rooms/a/msgs/b"), 7)),
            "[document_mutation: user_id=u path=rooms/a/msgs/b batch_id=7]");
  EXPECT_EQ(DescribeKey(LevelDbQueryTargetKey::Key("q|f:", 4)),
            "[query_target: canonical_id=q|f: target_id=4]");
  EXPECT_EQ(DescribeKey(LevelDbTargetDocumentKey::Key(4, Doc("rooms/a"))),
            "[target_document: target_id=4 path=rooms/a]");
  EXPECT_EQ(DescribeKey(LevelDbDocumentTargetKey::SentinelKey(Doc("rooms/a"))),
            "[document_target: path=rooms/a target_id=0]");
  EXPECT_EQ(DescribeKey(LevelDbCollectionParentKey::Key("rooms", ResourcePath{})),
            "[collection_parent: collection_id=rooms]");
  EXPECT_EQ(DescribeKey(LevelDbCollectionParentKey::Key("msgs", ResourcePath{"rooms", "a"})),
            "[collection_parent: collection_id=msgs path=rooms/a]");

  // Label 7 is no component label.
  EXPECT_EQ(DescribeKey(B("87")), "[ unknown label=7 invalid key=<hw==>]");
  // A complete key followed by more bytes.
  EXPECT_EQ(DescribeKey(LevelDbVersionKey::Key() + "x"), "[version: invalid key=<hXZlcnNpb24AAYB4>]");
  // Labels of 64 and above, and negative ones, are invalid.
  EXPECT_EQ(DescribeKey(B("C040")), "[ invalid key=<wEA=>]");
  EXPECT_EQ(DescribeKey(B("7F")), "[ invalid key=<fw==>]");
  // A string without its end mark.
  EXPECT_EQ(DescribeKey(Table("mutation") + B("8D 75")),
            "[mutation: user_id= invalid key=<" +
                absl::Base64Escape(Table("mutation") + B("8D 75")) + ">]");

  // Every form gives the same text.
  const std::string key = LevelDbTargetKey::Key(2);
  EXPECT_EQ(DescribeKey(leveldb::Slice(key)), "[target: target_id=2]");
  EXPECT_EQ(DescribeKey(absl::string_view(key)), "[target: target_id=2]");
  const std::string unknown = B("87");
  EXPECT_EQ(DescribeKey(unknown.c_str()), "[ unknown label=7 invalid key=<hw==>]");
}

TEST(LevelDbKeyTest, SentinelValues) {
  for (ListenSequenceNumber n : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{1} << 40, INT64_MAX,
                                 INT64_MIN}) {
    EXPECT_EQ(LevelDbDocumentTargetKey::DecodeSentinelValue(
                  LevelDbDocumentTargetKey::EncodeSentinelValue(n)),
              n);
  }
  EXPECT_EQ(Hex(LevelDbDocumentTargetKey::EncodeSentinelValue(100)), "c064");
  // Bytes after the number are ignored.
  EXPECT_EQ(LevelDbDocumentTargetKey::DecodeSentinelValue(B("C064 FFFF")), 100);
}

TEST(LevelDbKeyDeathTest, UnreadableSentinelValueStopsTheProcess) {
  EXPECT_DEATH(LevelDbDocumentTargetKey::DecodeSentinelValue(""),
               "Failed to read sequence number from a sentinel row");
  EXPECT_DEATH(LevelDbDocumentTargetKey::DecodeSentinelValue(B("C0")),
               "Failed to read sequence number from a sentinel row");
}

TEST(LevelDbKeyTest, ByteOrderIsLogicalOrder) {
  EXPECT_LT(LevelDbTargetKey::Key(1), LevelDbTargetKey::Key(2));
  EXPECT_LT(LevelDbTargetKey::Key(2), LevelDbTargetKey::Key(100));
  EXPECT_LT(LevelDbTargetKey::Key(-100), LevelDbTargetKey::Key(-1));

  // A document's sentinel sorts before its other rows, and all its rows before its subcollections.
  const DocumentKey doc = Doc("rooms/a");
  EXPECT_LT(LevelDbDocumentTargetKey::SentinelKey(doc), LevelDbDocumentTargetKey::Key(doc, 1));
  EXPECT_LT(LevelDbDocumentTargetKey::Key(doc, INT32_MAX),
            LevelDbDocumentTargetKey::SentinelKey(Doc("rooms/a/msgs/b")));
  EXPECT_LT(LevelDbRemoteDocumentKey::Key(doc), LevelDbRemoteDocumentKey::Key(Doc("rooms/a/m/b")));
  EXPECT_LT(LevelDbRemoteDocumentKey::Key(Doc("rooms/a/m/b")),
            LevelDbRemoteDocumentKey::Key(Doc("rooms/b")));
  EXPECT_LT(LevelDbTargetKey::Key(INT32_MAX), LevelDbTargetKey::KeyPrefix() + B("FF"));

  // Random tuples: the order of the encoded keys is the order of the components.
  std::mt19937 rng(7);
  auto random_segment = [&rng]() {
    std::string s;
    size_t len = rng() % 4;
    for (size_t i = 0; i < len; ++i) {
      const char alphabet[] = {'\0', 'a', 'b', '\xff', '\x01'};
      s.push_back(alphabet[rng() % 5]);
    }
    return s;
  };
  auto random_path = [&](size_t segments) {
    std::vector<std::string> parts;
    for (size_t i = 0; i < segments; ++i) parts.push_back(random_segment());
    return ResourcePath(std::move(parts));
  };

  struct Row {
    std::string user;
    ResourcePath path;
    BatchId batch;
  };
  std::vector<Row> rows;
  for (int i = 0; i < 400; ++i) {
    rows.push_back({random_segment(), random_path(2 * (1 + rng() % 2)),
                    static_cast<BatchId>(static_cast<int32_t>(rng()) >> (rng() % 32))});
  }
  for (const Row& a : rows) {
    for (const Row& b : rows) {
      bool logical = std::tie(a.user, a.path, a.batch) < std::tie(b.user, b.path, b.batch);
      bool encoded = LevelDbDocumentMutationKey::Key(a.user, DocumentKey(a.path), a.batch) <
                     LevelDbDocumentMutationKey::Key(b.user, DocumentKey(b.path), b.batch);
      ASSERT_EQ(logical, encoded) << DescribeKey(LevelDbDocumentMutationKey::Key(
                                         a.user, DocumentKey(a.path), a.batch))
                                  << " vs "
                                  << DescribeKey(LevelDbDocumentMutationKey::Key(
                                         b.user, DocumentKey(b.path), b.batch));
    }
  }

  // A collection prefix bounds exactly the rows of paths beneath it.
  for (int i = 0; i < 400; ++i) {
    ResourcePath collection = random_path(1);
    ResourcePath path = random_path(2 * (1 + rng() % 2));
    std::string prefix = LevelDbRemoteDocumentKey::KeyPrefix(collection);
    std::string key = LevelDbRemoteDocumentKey::Key(DocumentKey(path));
    EXPECT_EQ(key.compare(0, prefix.size(), prefix) == 0, collection.IsPrefixOf(path));
  }
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
