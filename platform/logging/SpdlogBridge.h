// Internal: hands our messages to spdlog sinks.
#pragma once

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>

#include <string>

#include "platform/logging/Log.h"

namespace platform::logging {

inline spdlog::level::level_enum spdlogLevel(LogFlag flag) {
  switch (flag) {
    case LogFlag::Error: return spdlog::level::err;
    case LogFlag::Warning: return spdlog::level::warn;
    case LogFlag::Info: return spdlog::level::info;
    case LogFlag::Debug: return spdlog::level::debug;
    case LogFlag::Verbose: return spdlog::level::trace;
  }
  return spdlog::level::info;
}

// `payload` is the text the sink writes; it and `message` must outlive the result.
inline spdlog::details::log_msg toSpdlog(const LogMessage& message, const std::string& payload) {
  return spdlog::details::log_msg(message.timestamp,
                                  spdlog::source_loc{message.file.c_str(), message.line, message.function.c_str()},
                                  spdlog::string_view_t{}, spdlogLevel(message.flag),
                                  spdlog::string_view_t(payload.data(), payload.size()));
}

}  // namespace platform::logging
