// The one serial queue where the authentication client keeps its state and receives network replies.
#pragma once

#include "platform/dispatch/Queue.h"

inline constexpr const char kDAVAuthGlobalWorkQueueLabel[] = "com.variru.davedove.auth.globalWorkQueue";

// Made on first use, never released.
platform::dispatch::QueuePtr DAVAuthGlobalWorkQueue();
