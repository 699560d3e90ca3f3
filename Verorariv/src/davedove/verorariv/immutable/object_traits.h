#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_OBJECT_TRAITS_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_OBJECT_TRAITS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace davedove {
namespace verorariv {
namespace immutable {
namespace internal {

template <typename T>
struct IsSharedPtr : std::false_type {};
template <typename T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};

template <typename T, typename = void>
struct HasHashMember : std::false_type {};
template <typename T>
struct HasHashMember<T, decltype(void(std::declval<const T&>().Hash()))> : std::true_type {};

template <typename T, typename = void>
struct HasToStringMember : std::false_type {};
template <typename T>
struct HasToStringMember<T, decltype(void(std::declval<const T&>().ToString()))>
    : std::true_type {};

template <typename T, typename = void>
struct HasDescriptionMember : std::false_type {};
template <typename T>
struct HasDescriptionMember<T, decltype(void(std::declval<const T&>().description()))>
    : std::true_type {};

// Objects held by the object-level dictionaries: the same object, or equal by value.
template <typename T>
bool ObjectEquals(const T& a, const T& b) {
  if constexpr (IsSharedPtr<T>::value) {
    if (a == b) return true;
    return a && b && ObjectEquals(*a, *b);
  } else {
    return static_cast<bool>(a == b);
  }
}

template <typename T>
uint64_t ObjectHash(const T& object) {
  if constexpr (IsSharedPtr<T>::value) {
    return object ? ObjectHash(*object) : 0;
  } else if constexpr (std::is_null_pointer<T>::value) {
    return 0;
  } else if constexpr (HasHashMember<T>::value) {
    return static_cast<uint64_t>(object.Hash());
  } else {
    return static_cast<uint64_t>(std::hash<T>()(object));
  }
}

template <typename T>
std::string ObjectDescription(const T& object) {
  if constexpr (IsSharedPtr<T>::value) {
    return object ? ObjectDescription(*object) : std::string("(null)");
  } else if constexpr (std::is_null_pointer<T>::value) {
    return "<null>";
  } else if constexpr (std::is_same<T, bool>::value) {
    return object ? "1" : "0";
  } else if constexpr (std::is_arithmetic<T>::value) {
    return std::to_string(object);
  } else if constexpr (std::is_convertible<const T&, std::string>::value) {
    return std::string(object);
  } else if constexpr (HasToStringMember<T>::value) {
    return object.ToString();
  } else {
    return object.description();
  }
}

}  // namespace internal
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_OBJECT_TRAITS_H_
