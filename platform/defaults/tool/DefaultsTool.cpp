// Stand-in for the user-defaults command-line tool: read, write and delete on the same files as UserDefaults.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

#include "platform/defaults/UserDefaults.h"
#include "platform/foundation/DamagedInput.h"

using platform::Array;
using platform::Dictionary;
using platform::UserDefaults;
using platform::Value;

namespace {

int usage() {
  std::cerr << "Command line interface to a user's defaults.\n"
               "Syntax:\n\n"
               "'defaults' [-currentHost | -host <hostname>] followed by one of the following:\n\n"
               "  read                                 shows all defaults\n"
               "  read <domain>                        shows defaults for given domain\n"
               "  read <domain> <key>                  shows defaults for given domain, key\n\n"
               "  write <domain> <key> <value>         writes key for domain\n"
               "  write <domain> <key> <type> <value>  type is -string, -int, -bool or -array\n\n"
               "  delete <domain>                      deletes domain\n"
               "  delete <domain> <key>                deletes the key in domain\n";
  return 1;
}

bool isBareWord(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string quoted(const std::string& s) {
  if (isBareWord(s)) return s;
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\U%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string realText(double d) {
  char buffer[64];
  auto res = std::to_chars(buffer, buffer + sizeof buffer, d);
  return std::string(buffer, res.ptr);
}

std::string dateText(double secondsSince1970) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

bool isContainer(const Value& v) { return v.isArray() || v.isDictionary(); }

// The tool's usual text form: "{ key = value; }", lists in "( a, b )", four spaces per level.
std::string format(const Value& v, int indent) {
  const std::string pad(static_cast<size_t>(indent), ' ');
  const std::string inner(static_cast<size_t>(indent + 4), ' ');
  switch (v.kind()) {
    case Value::Kind::Bool:
      return *v.asBool() ? "1" : "0";
    case Value::Kind::Integer:
      return std::to_string(*v.asInteger());
    case Value::Kind::Real:
      return realText(*v.asReal());
    case Value::Kind::String:
      return quoted(*v.asString());
    case Value::Kind::Date:
      return quoted(dateText(v.asDate()->secondsSince1970));
    case Value::Kind::Data: {
      const std::string& bytes = *v.asData();
      std::string out = "{length = " + std::to_string(bytes.size()) + ", bytes = 0x";
      static const char* hex = "0123456789abcdef";
      for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
      }
      return out + "}";
    }
    case Value::Kind::Array: {
      std::string out = "(\n";
      const Array& array = *v.asArray();
      for (size_t i = 0; i < array.size(); ++i) {
        out += inner + format(array[i], indent + 4);
        out += i + 1 < array.size() ? ",\n" : "\n";
      }
      return out + pad + ")";
    }
    case Value::Kind::Dictionary: {
      std::string out = "{\n";
      for (const auto& [key, value] : *v.asDictionary()) {
        out += inner + quoted(key) + " = " + (isContainer(value) ? "    " : "") + format(value, indent + 4) + ";\n";
      }
      return out + pad + "}";
    }
    default:
      return "";
  }
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A domain names a file in the preferences folder; it must not reach outside it.
bool validDomain(const std::string& domain) {
  return !domain.empty() && domain != "." && domain != ".." && domain.find('/') == std::string::npos;
}

bool parseInteger(const std::string& text, int64_t& out) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;
  auto res = std::from_chars(begin, end, out);
  return res.ec == std::errc() && res.ptr == end && begin != end;
}

bool parseBool(const std::string& text, bool& out) {
  const char* s = text.c_str();
  if (!strcasecmp(s, "yes") || !strcasecmp(s, "true") || text == "1") {
    out = true;
    return true;
  }
  if (!strcasecmp(s, "no") || !strcasecmp(s, "false") || text == "0") {
    out = false;
    return true;
  }
  return false;
}

// Settings that cannot be read are never shown as empty nor written over: a file holding only the
// change asked for would read as every other setting switched off. The file is left as it is, so its
// readers still see the damage; a refused change keeps a copy of it for a person to look at.
int unreadable(const UserDefaults& defaults, const std::string& readError, bool refusedChange) {
  std::cerr << "\nDomain " << defaults.domain() << " cannot be read (" << readError << ")\n";
  if (!refusedChange) return 1;
  std::string error;
  if (auto copy = platform::copyDamagedFile(defaults.filePath(), &error)) {
    platform::removeDamagedCopies(defaults.filePath(), UserDefaults::kDamagedCopiesKept);
    std::cerr << "It is left as it is; a copy of it is kept as " << *copy << "\n";
  } else {
    std::cerr << "It is left as it is (" << error << ")\n";
  }
  std::cerr << "Defaults have not been changed.\n";
  return 1;
}

// The store never writes over a file it cannot read; a change to one is refused with the reason.
int writeChange(UserDefaults& defaults) {
  if (defaults.synchronize()) return 0;
  if (auto error = defaults.readError()) return unreadable(defaults, *error, true);
  std::cerr << "Could not write domain " << defaults.domain() << "; exiting\n";
  return 1;
}

int readCommand(const std::vector<std::string>& args) {
  UserDefaults defaults(args[1]);
  const Dictionary all = defaults.dictionaryRepresentation();
  if (auto error = defaults.readError()) return unreadable(defaults, *error, false);
  if (args.size() == 2) {
    if (!fileExists(defaults.filePath())) {
      std::cerr << "\nDomain " << args[1] << " does not exist\n";
      return 1;
    }
    std::cout << format(Value(all), 0) << "\n";
    return 0;
  }
  auto value = all.find(args[2]);
  if (value == all.end()) {
    std::cerr << "\nThe domain/default pair of (" << args[1] << ", " << args[2] << ") does not exist\n";
    return 1;
  }
  // A single text value is printed as it is, without quotes.
  if (const std::string* s = value->second.asString()) {
    std::cout << *s << "\n";
  } else {
    std::cout << format(value->second, 0) << "\n";
  }
  return 0;
}

int writeCommand(const std::vector<std::string>& args) {
  Value value;
  const std::string& kind = args[3];
  // "-array" with no values is the empty array, not the text "-array".
  if (args.size() == 4 && kind != "-array") {
    value = Value(kind);
  } else if (kind == "-string") {
    if (args.size() != 5) return usage();
    value = Value(args[4]);
  } else if (kind == "-int" || kind == "-integer") {
    int64_t n = 0;
    if (args.size() != 5 || !parseInteger(args[4], n)) return usage();
    value = Value(static_cast<long long>(n));
  } else if (kind == "-bool" || kind == "-boolean") {
    bool b = false;
    if (args.size() != 5 || !parseBool(args[4], b)) return usage();
    value = Value(b);
  } else if (kind == "-array") {
    Array array;
    for (size_t i = 4; i < args.size(); ++i) array.emplace_back(args[i]);
    value = Value(std::move(array));
  } else {
    return usage();
  }
  UserDefaults defaults(args[1]);
  defaults.set(args[2], std::move(value));
  return writeChange(defaults);
}

int deleteCommand(const std::vector<std::string>& args) {
  UserDefaults defaults(args[1]);
  if (!fileExists(defaults.filePath())) {
    std::cerr << "Domain (" << args[1] << ") not found.\nDefaults have not been changed.\n";
    return 1;
  }
  if (args.size() == 2) {
    defaults.removePersistentDomain();
    if (fileExists(defaults.filePath())) {
      std::cerr << "Could not delete domain " << args[1] << "\n";
      return 1;
    }
    return 0;
  }
  if (!defaults.hasKey(args[2])) {
    if (auto error = defaults.readError()) return unreadable(defaults, *error, true);
    std::cerr << "Key " << args[2] << " does not exist in domain " << args[1] << "; leaving defaults unchanged\n";
    return 1;
  }
  defaults.removeObject(args[2]);
  return writeChange(defaults);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2) return usage();
  // args: command, domain, then the command's own arguments.
  const std::string& command = args[0];
  if (!validDomain(args[1])) {
    std::cerr << "Domain " << args[1] << " is not a valid domain name\n";
    return 1;
  }
  if (command == "read" && args.size() <= 3) return readCommand(args);
  if (command == "write" && args.size() >= 4) return writeCommand(args);
  if (command == "delete" && args.size() <= 3) return deleteCommand(args);
  return usage();
}
