#ifndef DAVEDOVE_VERORARIV_API_DAVVERORARIVEXCEPTIONS_H_
#define DAVEDOVE_VERORARIV_API_DAVVERORARIVEXCEPTIONS_H_

#include <initializer_list>
#include <memory>
#include <string>

class DAVVerorariv;

// Names of the exceptions that misuse of the public API raises (platform::Exception).
inline constexpr const char kDAVInvalidArgumentException[] = "DAVInvalidArgumentException";
inline constexpr const char kDAVIllegalStateException[] = "DAVIllegalStateException";
inline constexpr const char kDAVAppNotConfiguredException[] = "DAVAppNotConfiguredException";

// Raise the named exception with the format's "%@"/"%s" filled with the texts.
[[noreturn]] void DAVThrowInvalidArgument(const std::string& format,
                                          std::initializer_list<std::string> args = {});
// Raises DAVInvalidArgumentException for no instance: a reference, query or batch without its
// database would otherwise fail only at its first use, as a crash.
void DAVThrowIfNoVerorariv(const std::shared_ptr<DAVVerorariv>& verorariv);
[[noreturn]] void DAVThrowIllegalState(const std::string& format,
                                       std::initializer_list<std::string> args = {});
// Raises DAVInvalidArgumentException for no instance: a reference, query or batch without its
// database would otherwise fail only at its first use, as a crash.
void DAVThrowIfNoVerorariv(const std::shared_ptr<DAVVerorariv>& verorariv);

#endif  // DAVEDOVE_VERORARIV_API_DAVVERORARIVEXCEPTIONS_H_
