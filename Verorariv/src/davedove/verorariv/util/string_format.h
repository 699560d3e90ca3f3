#ifndef DAVEDOVE_VERORARIV_UTIL_STRING_FORMAT_H_
#define DAVEDOVE_VERORARIV_UTIL_STRING_FORMAT_H_

#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "absl/strings/str_cat.h"
#include "absl/strings/string_view.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace internal {

// Fills each "%s" of `format` with the next piece; "%%" is one "%". A "%" followed by any other
// character shows as "<invalid>", a "%s" without a piece left as "<missing>".
std::string StringFormatPieces(const char* format, std::initializer_list<absl::string_view> pieces);

template <typename T, typename = void>
struct HasDescription : std::false_type {};
template <typename T>
struct HasDescription<T, std::void_t<decltype(std::declval<const T&>().description())>>
    : std::true_type {};

template <typename T, typename = void>
struct HasToString : std::false_type {};
template <typename T>
struct HasToString<T, std::void_t<decltype(std::declval<const T&>().ToString())>>
    : std::true_type {};

template <typename T>
struct IsSmartPointer : std::false_type {};
template <typename T>
struct IsSmartPointer<std::shared_ptr<T>> : std::true_type {};
template <typename T, typename D>
struct IsSmartPointer<std::unique_ptr<T, D>> : std::true_type {};

// One argument of StringFormat turned into text. Holds its own copy when the text had to be made.
class FormatArg {
 public:
  FormatArg(const std::string& s) : view_(s) {}  // NOLINT(runtime/explicit)
  FormatArg(absl::string_view s) : view_(s) {}   // NOLINT(runtime/explicit)
  FormatArg(const char* s) : view_(s ? absl::string_view(s) : absl::string_view("null")) {}  // NOLINT
  FormatArg(char* s) : FormatArg(static_cast<const char*>(s)) {}  // NOLINT
  FormatArg(bool b) : view_(b ? "true" : "false") {}              // NOLINT

  template <typename T, typename std::enable_if_t<std::is_integral<T>::value &&
                                                      !std::is_same<T, bool>::value,
                                                  int> = 0>
  FormatArg(T value) : owned_(absl::StrCat(value)), view_(owned_) {}  // NOLINT

  template <typename T, typename std::enable_if_t<std::is_enum<T>::value, int> = 0>
  FormatArg(T value)  // NOLINT
      : owned_(absl::StrCat(static_cast<std::underlying_type_t<T>>(value))), view_(owned_) {}

  template <typename T, typename std::enable_if_t<std::is_floating_point<T>::value, int> = 0>
  FormatArg(T value) : owned_(absl::StrCat(value)), view_(owned_) {}  // NOLINT

  // Objects: their description() or ToString().
  template <typename T,
            typename std::enable_if_t<HasDescription<T>::value || HasToString<T>::value, int> = 0>
  FormatArg(const T& object) : owned_(Describe(object)), view_(owned_) {}  // NOLINT

  // Pointers to objects: "null" or the object's text.
  template <typename T,
            typename std::enable_if_t<HasDescription<T>::value || HasToString<T>::value, int> = 0>
  FormatArg(const T* object)  // NOLINT
      : owned_(object ? Describe(*object) : std::string("null")), view_(owned_) {}

  template <typename P, typename std::enable_if_t<IsSmartPointer<P>::value, int> = 0>
  FormatArg(const P& pointer) : FormatArg(pointer.get()) {}  // NOLINT

  FormatArg(const FormatArg&) = delete;
  FormatArg& operator=(const FormatArg&) = delete;

  absl::string_view view() const { return view_; }

 private:
  template <typename T>
  static std::string Describe(const T& object) {
    if constexpr (HasDescription<T>::value) {
      return std::string(object.description());
    } else {
      return std::string(object.ToString());
    }
  }

  std::string owned_;
  absl::string_view view_;
};

}  // namespace internal

// Formats `format` with "%s" as the only placeholder, whatever the argument type: integers and
// enumerations in decimal, strings as they are, a null C string as "null", objects through their
// description() (or ToString()).
template <typename... Args>
std::string StringFormat(const char* format, const Args&... args) {
  return internal::StringFormatPieces(format, {internal::FormatArg(args).view()...});
}

inline std::string StringFormat(const char* format) {
  return internal::StringFormatPieces(format, {});
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_STRING_FORMAT_H_
