#include "platform/foundation/PropertyList.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <vector>
#include <algorithm>

namespace platform {

namespace {

// libplist counts dates from 2001-01-01 00:00:00 UTC.
constexpr double kSecondsFrom1970To2001 = 978307200.0;
// Deeper nesting than this is treated as malformed rather than risking the stack.
constexpr int kMaxDepth = 512;
// libplist builds a node for every reference, so shared objects multiply; a binary list that would
// unfold into more elements than this is refused rather than costing unbounded time and memory.
constexpr uint64_t kMaxBinaryElements = 1u << 20;

struct PlistDeleter {
  void operator()(void* p) const {
    if (p) plist_free(static_cast<plist_t>(p));
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<Value> toValue(plist_t node, int depth, std::string* error) {
  if (!node) return std::nullopt;
  if (depth > kMaxDepth) {
    if (error) *error = "property list nested too deeply";
    return std::nullopt;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<int64_t>(u));
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      if (plist_get_node_type(node) == PLIST_STRING) {
        uint64_t len = 0;
        const char* p = plist_get_string_ptr(node, &len);
        return Value(p ? std::string(p, std::char_traits<char>::length(p)) : std::string());
      }
      char* s = nullptr;
      plist_get_key_val(node, &s);
      std::string out = s ? s : "";
      std::free(s);
      return Value(std::move(out));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t len = 0;
      plist_get_data_val(node, &bytes, &len);
      std::string out = bytes ? std::string(bytes, len) : std::string();
      std::free(bytes);
      return Value::data(std::move(out));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date{kSecondsFrom1970To2001 + sec + usec / 1e6});
    }
    case PLIST_ARRAY: {
      Array arr;
      uint32_t n = plist_array_get_size(node);
      arr.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (!item) continue;
        auto v = toValue(item, depth + 1, error);
        if (!v) return std::nullopt;
        arr.push_back(std::move(*v));
      }
      return Value(std::move(arr));
    }
    case PLIST_DICT: {
      Dictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (!it) return Value(std::move(dict));
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!key) break;
        std::string k = key;
        std::free(key);
        if (!item) continue;  // a key without a value
        auto v = toValue(item, depth + 1, error);
        if (!v) {
          std::free(it);
          return std::nullopt;
        }
        dict[k] = std::move(*v);
      }
      std::free(it);
      return Value(std::move(dict));
    }
    default:
      if (error) *error = "unsupported property list element";
      return std::nullopt;
  }
}

// Null and opaque objects have no property-list form: nullptr, and the caller skips them.
plist_t toPlist(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
    case Value::Kind::Object:
      return nullptr;
    case Value::Kind::Bool: return plist_new_bool(*v.asBool() ? 1 : 0);
    case Value::Kind::Integer: return plist_new_uint(static_cast<uint64_t>(*v.asInteger()));
    case Value::Kind::Real: return plist_new_real(*v.asReal());
    case Value::Kind::String: return plist_new_string(v.asString()->c_str());
    case Value::Kind::Data: return plist_new_data(v.asData()->data(), v.asData()->size());
    case Value::Kind::Date: {
      double rel = v.asDate()->secondsSince1970 - kSecondsFrom1970To2001;
      double whole = std::floor(rel);
      int32_t usec = static_cast<int32_t>(std::llround((rel - whole) * 1e6));
      if (usec >= 1000000) {
        whole += 1;
        usec -= 1000000;
      }
      // libplist keeps 32-bit seconds; clamp instead of overflowing.
      whole = std::fmax(std::fmin(whole, 2147483647.0), -2147483648.0);
      return plist_new_date(static_cast<int32_t>(whole), usec);
    }
    case Value::Kind::Array: {
      plist_t arr = plist_new_array();
      for (const Value& item : *v.asArray())
        if (plist_t p = toPlist(item)) plist_array_append_item(arr, p);
      return arr;
    }
    case Value::Kind::Dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [k, item] : *v.asDictionary())
        if (plist_t p = toPlist(item)) plist_dict_set_item(dict, k.c_str(), p);
      return dict;
    }
  }
  return nullptr;
}

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

std::string errnoText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool looksBinary(const std::string& bytes) { return bytes.size() >= 8 && bytes.compare(0, 6, "bplist") == 0; }

// Longest chain of nested containers and the number of elements the root unfolds into, found without
// recursion; damaged containers, cycles, deep nesting and runaway sharing are refused because libplist
// would recurse through them or unfold them.
bool binaryDepthValid(const unsigned char* base, uint64_t numObjects, uint64_t tableOffset, unsigned offsetSize,
                      unsigned refSize, uint64_t root, std::string* error) {
  auto readBE = [&](uint64_t at, unsigned size) {
    uint64_t v = 0;
    for (unsigned i = 0; i < size; ++i) v = (v << 8) | base[at + i];
    return v;
  };
  // Children of object i: start of its reference list and the number of references.
  auto children = [&](uint64_t i, uint64_t& refs, uint64_t& count) {
    uint64_t off = readBE(tableOffset + i * offsetSize, offsetSize);
    unsigned marker = base[off] >> 4;
    if (marker != 0xA && marker != 0xB && marker != 0xC && marker != 0xD) return 0;  // not a container
    count = base[off] & 0x0F;
    refs = off + 1;
    if (count == 0x0F) {
      if (refs >= tableOffset || (base[refs] >> 4) != 0x1 || (base[refs] & 0x0F) > 3) return -1;
      unsigned intSize = 1u << (base[refs] & 0x0F);
      if (refs + 1 + intSize > tableOffset) return -1;
      count = readBE(refs + 1, intSize);
      refs += 1 + intSize;
    }
    if (marker == 0xD) {
      if (count > (tableOffset - refs) / refSize / 2) return -1;
      refs += count * refSize;  // keys are strings; only the values can nest
    } else if (count > (tableOffset - refs) / refSize) {
      return -1;
    }
    return 1;
  };
  auto damaged = [&] {
    setError(error, "binary property list has a damaged container");
    return false;
  };
  std::vector<uint8_t> state(numObjects, 0);  // 0 new, 1 on the path, 2 done
  std::vector<uint32_t> height(numObjects, 0);
  std::vector<uint64_t> elements(numObjects, 0);  // unfolded size, saturating just above the limit
  auto addElements = [&](uint64_t to, uint64_t more) {
    elements[to] = std::min(kMaxBinaryElements + 1, elements[to] + more);
  };
  struct Frame { uint64_t obj, refs, count, next; };
  std::vector<Frame> stack;
  auto push = [&](const Frame& f, bool dictionary) {
    state[f.obj] = 1;
    elements[f.obj] = 1 + (dictionary ? f.count : 0);  // a dictionary's keys are elements too
    stack.push_back(f);
  };
  auto isDictionary = [&](uint64_t obj) { return (base[readBE(tableOffset + obj * offsetSize, offsetSize)] >> 4) == 0xD; };
  for (uint64_t rootObj = 0; rootObj < numObjects; ++rootObj) {
    if (state[rootObj]) continue;
    Frame f{rootObj, 0, 0, 0};
    if (children(rootObj, f.refs, f.count) < 0) return damaged();
    push(f, isDictionary(rootObj));
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next < top.count) {
        uint64_t child = readBE(top.refs + top.next * refSize, refSize);
        ++top.next;
        if (child >= numObjects) continue;
        if (state[child] == 1) {
          setError(error, "binary property list refers to itself");
          return false;
        }
        if (state[child] == 2) {
          height[top.obj] = std::max(height[top.obj], height[child] + 1);
          addElements(top.obj, elements[child]);
          if (stack.size() + height[child] > static_cast<size_t>(kMaxDepth)) {
            setError(error, "property list nested too deeply");
            return false;
          }
          continue;
        }
        Frame cf{child, 0, 0, 0};
        if (children(child, cf.refs, cf.count) < 0) return damaged();
        push(cf, isDictionary(child));
        if (stack.size() > static_cast<size_t>(kMaxDepth)) {
          setError(error, "property list nested too deeply");
          return false;
        }
        continue;
      }
      uint64_t done = top.obj;
      state[done] = 2;
      stack.pop_back();
      if (!stack.empty()) {
        height[stack.back().obj] = std::max(height[stack.back().obj], height[done] + 1);
        addElements(stack.back().obj, elements[done]);
      }
    }
  }
  if (elements[root] > kMaxBinaryElements) {
    setError(error, "binary property list unfolds into too many elements");
    return false;
  }
  return true;
}

// Checks the trailer and the strings of a binary property list before libplist sees it.
bool binaryStructureValid(const std::string& b, std::string* error) {
  constexpr size_t kHeader = 8, kTrailer = 32;
  if (b.size() < kHeader + kTrailer + 1) {
    setError(error, "binary property list is truncated");
    return false;
  }
  const unsigned char* t = reinterpret_cast<const unsigned char*>(b.data()) + b.size() - kTrailer;
  auto be64 = [](const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
  };
  unsigned offsetSize = t[6], refSize = t[7];
  uint64_t numObjects = be64(t + 8), root = be64(t + 16), tableOffset = be64(t + 24);
  const uint64_t dataEnd = b.size() - kTrailer;
  bool ok = offsetSize >= 1 && offsetSize <= 8 && refSize >= 1 && refSize <= 8 && numObjects > 0 &&
            root < numObjects && tableOffset >= kHeader && tableOffset < dataEnd &&
            numObjects <= (dataEnd - tableOffset) / offsetSize;
  if (!ok) {
    setError(error, "binary property list has a damaged trailer");
    return false;
  }
  // libplist aborts on strings holding a NUL character, so such lists are refused up front.
  const unsigned char* base = reinterpret_cast<const unsigned char*>(b.data());
  auto readBE = [&](uint64_t at, unsigned size) {
    uint64_t v = 0;
    for (unsigned i = 0; i < size; ++i) v = (v << 8) | base[at + i];
    return v;
  };
  for (uint64_t i = 0; i < numObjects; ++i) {
    uint64_t off = readBE(tableOffset + i * offsetSize, offsetSize);
    if (off < kHeader || off >= tableOffset) {
      setError(error, "binary property list has an object outside its data");
      return false;
    }
    unsigned marker = base[off] >> 4;
    if (marker != 0x5 && marker != 0x6) continue;
    uint64_t count = base[off] & 0x0F;
    uint64_t start = off + 1;
    if (count == 0x0F) {  // length follows as an integer object
      if (start >= tableOffset || (base[start] >> 4) != 0x1 || (base[start] & 0x0F) > 3) return false;
      unsigned intSize = 1u << (base[start] & 0x0F);
      if (start + 1 + intSize > tableOffset) return false;
      count = readBE(start + 1, intSize);
      start += 1 + intSize;
    }
    const uint64_t unit = marker == 0x6 ? 2 : 1;
    if (count > (tableOffset - start) / unit) {
      setError(error, "binary property list has a string outside its data");
      return false;
    }
    for (uint64_t k = 0; k < count; ++k) {
      bool zero = unit == 2 ? (base[start + 2 * k] == 0 && base[start + 2 * k + 1] == 0) : base[start + k] == 0;
      if (zero) {
        setError(error, "binary property list has a string with a NUL character");
        return false;
      }
    }
  }
  return binaryDepthValid(base, numObjects, tableOffset, offsetSize, refSize, root, error);
}

// Rejects XML whose nesting would run libplist's recursive parser into the stack limit.
bool xmlDepthValid(const std::string& x, std::string* error) {
  int depth = 0;
  for (size_t i = x.find('<'); i != std::string::npos; i = x.find('<', i + 1)) {
    bool closing = i + 1 < x.size() && x[i + 1] == '/';
    size_t name = i + (closing ? 2 : 1);
    bool container = x.compare(name, 5, "array") == 0 || x.compare(name, 4, "dict") == 0;
    if (!container) continue;
    size_t end = x.find('>', name);
    if (end == std::string::npos) break;
    if (x[end - 1] == '/') continue;  // <array/>
    depth += closing ? -1 : 1;
    if (depth > kMaxDepth) {
      setError(error, "property list nested too deeply");
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<Value> parsePropertyList(const std::string& bytes, std::string* error) {
  if (bytes.empty()) {
    setError(error, "property list is empty");
    return std::nullopt;
  }
  if (bytes.size() > 0xFFFFFFF0u) {
    setError(error, "property list is too large");
    return std::nullopt;
  }
  const bool binary = looksBinary(bytes);
  if (binary) {
    std::string why;
    if (!binaryStructureValid(bytes, &why)) {
      setError(error, why.empty() ? "malformed binary property list" : why);
      return std::nullopt;
    }
  } else if (bytes.find('\0') != std::string::npos) {
    // NUL is never valid XML text.
    setError(error, "malformed XML property list: NUL character");
    return std::nullopt;
  }
  if (!binary && !xmlDepthValid(bytes, error)) return std::nullopt;
  plist_t raw = nullptr;
  if (binary)
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  else
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
  PlistPtr root(raw);
  if (!root) {
    setError(error, binary ? "malformed binary property list" : "malformed XML property list");
    return std::nullopt;
  }
  std::string convError;
  auto v = toValue(root.get(), 0, &convError);
  if (!v) setError(error, convError.empty() ? "malformed property list" : convError);
  return v;
}

std::optional<Value> readPropertyListFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    setError(error, errnoText("cannot open", path));
    return std::nullopt;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) {
    setError(error, "cannot read " + path);
    return std::nullopt;
  }
  std::string parseError;
  auto v = parsePropertyList(buf.str(), &parseError);
  if (!v) setError(error, path + ": " + parseError);
  return v;
}

std::string serializePropertyList(const Value& v, PlistFormat f) {
  PlistPtr root(toPlist(v));
  if (!root) root.reset(plist_new_dict());
  char* out = nullptr;
  uint32_t len = 0;
  if (f == PlistFormat::Binary)
    plist_to_bin(root.get(), &out, &len);
  else
    plist_to_xml(root.get(), &out, &len);
  std::string result = out ? std::string(out, len) : std::string();
  if (out) {
    if (f == PlistFormat::Binary)
      plist_to_bin_free(out);
    else
      plist_to_xml_free(out);
  }
  return result;
}

bool writePropertyListFile(const std::string& path, const Value& v, std::string* error, PlistFormat f) {
  std::string bytes = serializePropertyList(v, f);
  if (bytes.empty()) {
    setError(error, "cannot serialize property list for " + path);
    return false;
  }
  return writeFileAtomically(path, bytes, error);
}

bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string* error, int mode) {
  std::string dir = ".";
  std::string base = path;
  if (auto slash = path.rfind('/'); slash != std::string::npos) {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    base = path.substr(slash + 1);
  }
  if (base.empty()) {
    setError(error, "no file name in " + path);
    return false;
  }
  // Hidden temp file beside the target so rename stays on one file system.
  std::string tmp = (dir == "/" ? std::string() : dir) + "/." + base + ".tmp-XXXXXX";
  std::string tmpl = tmp;
  int fd = mkstemp(tmpl.data());
  if (fd < 0) {
    setError(error, errnoText("cannot create temporary file for", path));
    return false;
  }
  auto fail = [&](const std::string& what) {
    setError(error, errnoText(what, path));
    ::close(fd);
    ::unlink(tmpl.c_str());
    return false;
  };
  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail("cannot set mode of");
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write");
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return fail("cannot sync");
  if (::close(fd) != 0) {
    setError(error, errnoText("cannot close", path));
    ::unlink(tmpl.c_str());
    return false;
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    setError(error, errnoText("cannot rename temporary file to", path));
    ::unlink(tmpl.c_str());
    return false;
  }
  // Make the rename itself durable.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace platform
