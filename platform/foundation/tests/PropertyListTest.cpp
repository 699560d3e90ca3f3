#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/foundation/tests/TempDir.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeRaw(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

Value sample(bool wholeSecondDates) {
  std::string bytes("\x00\x01\xff\xfe binary\n", 12);
  Dictionary inner{{"flag", false}, {"pi", 3.25}, {"empty", Array{}}, {"nothing", Dictionary{}}};
  return Dictionary{
      {"string", "h\xC3\xA9llo <&> \"quoted\""},
      {"empty string", ""},
      {"int", 42},
      {"negative", -7},
      {"big", int64_t{1} << 40},
      {"real", 2.0},
      {"fraction", -0.125},
      {"yes", true},
      {"no", false},
      {"data", Value::data(bytes)},
      {"date", Date{wholeSecondDates ? 1700000000.0 : 1700000000.5}},
      {"old date", Date{86400.0 * 365}},
      {"array", Array{1, "two", 3.5, Array{Value::data("x"), Dictionary{{"k", "v"}}}, inner}},
      {"dict", inner},
  };
}

void bigEndian(std::string& s, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// Binary list of n arrays, each holding the next one; last one refers to `lastRef` (or is empty if none).
std::string chainedArrays(uint32_t n, std::optional<uint32_t> lastRef = std::nullopt) {
  std::string s = "bplist00";
  std::vector<uint64_t> offsets(n);
  for (uint32_t i = 0; i < n; ++i) {
    offsets[i] = s.size();
    if (i + 1 < n || lastRef) {
      s += static_cast<char>(0xA1);
      bigEndian(s, i + 1 < n ? i + 1 : *lastRef, 4);
    } else {
      s += static_cast<char>(0xA0);
    }
  }
  uint64_t table = s.size();
  for (uint64_t o : offsets) bigEndian(s, o, 4);
  s += std::string(6, '\0');
  s += '\4';
  s += '\4';
  bigEndian(s, n, 8);
  bigEndian(s, 0, 8);
  bigEndian(s, table, 8);
  return s;
}

// Binary list of the given objects (references 4 bytes wide) with the given root.
std::string binaryList(const std::vector<std::string>& objects, uint64_t root) {
  std::string s = "bplist00";
  std::vector<uint64_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(s.size());
    s += object;
  }
  uint64_t table = s.size();
  for (uint64_t o : offsets) bigEndian(s, o, 4);
  s += std::string(6, '\0');
  s += '\4';
  s += '\4';
  bigEndian(s, objects.size(), 8);
  bigEndian(s, root, 8);
  bigEndian(s, table, 8);
  return s;
}

std::string arrayOf(const std::vector<uint32_t>& refs) {
  std::string s(1, static_cast<char>(0xA0 | refs.size()));
  for (uint32_t r : refs) bigEndian(s, r, 4);
  return s;
}

}  // namespace

TEST(PropertyList, XmlRoundTripKeepsKinds) {
  Value v = sample(true);
  std::string xml = serializePropertyList(v, PlistFormat::Xml);
  ASSERT_NE(xml.find("<plist"), std::string::npos);
  std::string error;
  auto back = parsePropertyList(xml, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, v) << back->description();
  // Whole-number reals stay reals and integers stay integers.
  EXPECT_EQ(back->find("real")->kind(), Value::Kind::Real);
  EXPECT_EQ(back->find("int")->kind(), Value::Kind::Integer);
  EXPECT_EQ(*back->find("negative")->asInteger(), -7);
  EXPECT_EQ(back->find("no")->asBool(), std::optional<bool>(false));
  EXPECT_EQ(*back->find("data")->asData(), std::string("\x00\x01\xff\xfe binary\n", 12));
  EXPECT_DOUBLE_EQ(back->find("date")->asDate()->secondsSince1970, 1700000000.0);
  EXPECT_DOUBLE_EQ(back->find("old date")->asDate()->secondsSince1970, 86400.0 * 365);
}

TEST(PropertyList, BinaryRoundTripKeepsKindsAndFractionalDates) {
  Value v = sample(false);
  std::string bin = serializePropertyList(v, PlistFormat::Binary);
  ASSERT_EQ(bin.compare(0, 6, "bplist"), 0);
  std::string error;
  auto back = parsePropertyList(bin, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, v) << back->description();
  EXPECT_NEAR(back->find("date")->asDate()->secondsSince1970, 1700000000.5, 1e-6);
}

TEST(PropertyList, NullAndObjectsAreSkipped) {
  struct Opaque : Object {};
  Value v = Dictionary{{"keep", 1}, {"null", Value()}, {"obj", std::shared_ptr<const Object>(new Opaque)},
                       {"list", Array{Value(), "a"}}};
  auto back = parsePropertyList(serializePropertyList(v));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, (Value(Dictionary{{"keep", 1}, {"list", Array{"a"}}})));
  // A top-level value with no plist form still gives a readable file.
  auto empty = parsePropertyList(serializePropertyList(Value()));
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, Value(Dictionary{}));
}

TEST(PropertyList, ScalarTopLevelValues) {
  for (const Value& v : {Value("just text"), Value(int64_t{-123456789012}), Value(true), Value(Array{1, 2})}) {
    for (PlistFormat f : {PlistFormat::Xml, PlistFormat::Binary}) {
      auto back = parsePropertyList(serializePropertyList(v, f));
      ASSERT_TRUE(back) << v.description();
      EXPECT_EQ(*back, v);
    }
  }
}

TEST(PropertyList, MalformedInputGivesErrorNotCrash) {
  std::string good = serializePropertyList(sample(false), PlistFormat::Binary);
  std::string goodXml = serializePropertyList(sample(true), PlistFormat::Xml);
  const std::vector<std::string> bad = {
      "",
      "garbage",
      "<?xml version=\"1.0\"?><plist><dict><key>a</key><integer>1</integer>",
      "<plist><string>unterminated</plist>",
      "bplist00",
      "bplist00" + std::string(40, '\xff'),
      good.substr(0, good.size() / 2),
      goodXml.substr(0, goodXml.size() / 2),
  };
  for (const auto& bytes : bad) {
    std::string error;
    auto v = parsePropertyList(bytes, &error);
    EXPECT_FALSE(v) << "accepted: " << bytes.substr(0, 40);
    EXPECT_FALSE(error.empty());
  }
}

TEST(PropertyList, DamagedContainersAndRunawaySharingAreRefused) {
  // A damaged container ahead of a chain too deep for libplist: the guard must not stop at the damage.
  std::vector<std::string> objects{std::string("\xAF\x00", 2)};
  for (uint32_t i = 1; i < 60000; ++i) objects.push_back(arrayOf({i + 1}));
  objects.push_back(arrayOf({}));
  std::string error;
  EXPECT_FALSE(parsePropertyList(binaryList(objects, 1), &error));
  EXPECT_NE(error.find("damaged container"), std::string::npos) << error;

  // Each array holds the next one twice: 22 objects unfold into four million elements.
  auto doubling = [](uint32_t levels) {
    std::vector<std::string> list;
    for (uint32_t i = 0; i + 1 < levels; ++i) list.push_back(arrayOf({i + 1, i + 1}));
    list.push_back(arrayOf({}));
    return binaryList(list, 0);
  };
  error.clear();
  EXPECT_FALSE(parsePropertyList(doubling(22), &error));
  EXPECT_NE(error.find("too many elements"), std::string::npos) << error;
  // Sharing within the bound is an ordinary list.
  auto shared = parsePropertyList(doubling(10), &error);
  ASSERT_TRUE(shared) << error;
  EXPECT_EQ(shared->asArray()->size(), 2u);
}

TEST(PropertyList, HostileStructuresAreRefused) {
  // Nesting deep enough to overflow a recursive parser, and a list containing itself.
  std::string xml = "<plist>";
  for (int i = 0; i < 100000; ++i) xml += "<array>";
  for (int i = 0; i < 100000; ++i) xml += "</array>";
  xml += "</plist>";
  std::string error;
  EXPECT_FALSE(parsePropertyList(xml, &error));
  EXPECT_NE(error.find("nested"), std::string::npos) << error;

  auto shallow = parsePropertyList(chainedArrays(20), &error);
  ASSERT_TRUE(shallow) << error;  // the hand-made encoding itself is sound
  int levels = 0;
  for (const Value* v = &*shallow; v && v->asArray(); v = v->asArray()->empty() ? nullptr : &v->asArray()->front())
    ++levels;
  EXPECT_EQ(levels, 20);

  error.clear();
  EXPECT_FALSE(parsePropertyList(chainedArrays(100000), &error));
  EXPECT_NE(error.find("nested"), std::string::npos) << error;

  error.clear();
  EXPECT_FALSE(parsePropertyList(chainedArrays(3, 0), &error));
  EXPECT_FALSE(error.empty());
}

TEST(PropertyList, CorruptedBinaryNeverCrashes) {
  // Damaged copies must come back as a value or an error; the sanitizer build catches stray reads.
  std::string good = serializePropertyList(sample(false), PlistFormat::Binary);
  std::mt19937 rng(12345);
  int rejected = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    std::string error;
    if (!parsePropertyList(bytes, &error)) {
      ++rejected;
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_GT(rejected, 0);
}

TEST(PropertyList, FileErrors) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(readPropertyListFile(dir / "missing.plist", &error));
  EXPECT_NE(error.find("missing.plist"), std::string::npos) << error;

  writeRaw(dir / "broken.plist", "<?xml version=\"1.0\"?><plist><dict><key>a</key>");
  error.clear();
  EXPECT_FALSE(readPropertyListFile(dir / "broken.plist", &error));
  EXPECT_FALSE(error.empty());

  error.clear();
  EXPECT_FALSE(readPropertyListFile(dir.path, &error));  // a folder is not a file
  EXPECT_FALSE(error.empty());

  error.clear();
  EXPECT_FALSE(writePropertyListFile(dir / "no/such/folder/x.plist", Value(Dictionary{}), &error));
  EXPECT_FALSE(error.empty());
}

TEST(PropertyList, WriteFileRoundTripInBothFormats) {
  TempDir dir;
  Value v = sample(true);
  for (PlistFormat f : {PlistFormat::Xml, PlistFormat::Binary}) {
    std::string path = dir / (f == PlistFormat::Xml ? "a.plist" : "b.plist");
    std::string error;
    ASSERT_TRUE(writePropertyListFile(path, v, &error, f)) << error;
    auto back = readPropertyListFile(path, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, v);
  }
  EXPECT_EQ(readFile(dir / "b.plist").compare(0, 6, "bplist"), 0);
}

TEST(AtomicWrite, ReplacesContentSetsModeAndLeavesNoTempFile) {
  TempDir dir;
  std::string path = dir / "file.txt";
  std::string error;
  ASSERT_TRUE(writeFileAtomically(path, "first", &error, 0600)) << error;
  ASSERT_TRUE(writeFileAtomically(path, "second version", &error, 0640)) << error;
  EXPECT_EQ(readFile(path), "second version");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path)) {
    ++entries;
    EXPECT_EQ(e.path().filename(), "file.txt");
  }
  EXPECT_EQ(entries, 1);
}

TEST(AtomicWrite, FailureLeavesOldFileIntact) {
  TempDir dir;
  std::string path = dir / "keep.txt";
  ASSERT_TRUE(writeFileAtomically(path, "original"));
  // The target is now a non-empty folder: rename fails, and no temp file may stay behind.
  fs::remove(path);
  fs::create_directory(path);
  writeRaw(path + "/inside", "x");
  std::string error;
  EXPECT_FALSE(writeFileAtomically(path, "new", &error));
  EXPECT_FALSE(error.empty());
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(AtomicWrite, ReaderNeverSeesHalfAFile) {
  // A child process rewrites the file with alternating large contents while we read it.
  TempDir dir;
  std::string path = dir / "big.plist";
  const std::string a(200000, 'a'), b(300000, 'b');
  ASSERT_TRUE(writeFileAtomically(path, a));
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (int i = 0; i < 200; ++i)
      if (!writeFileAtomically(path, i % 2 ? a : b)) ::_exit(1);
    ::_exit(0);
  }
  bool done = false;
  int reads = 0;
  while (!done) {
    int status = 0;
    done = ::waitpid(pid, &status, WNOHANG) == pid;
    if (done) {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::string got = readFile(path);
    ++reads;
    ASSERT_TRUE(got == a || got == b) << "size " << got.size();
  }
  EXPECT_GT(reads, 0);
  for (const auto& e : fs::directory_iterator(dir.path)) EXPECT_EQ(e.path().filename(), "big.plist");
}
