// A thread's part in the window system: its message queue, made on first use. When the thread
// ends, the windows it owns go without any message and its queue is closed, so that posting or
// sending to them fails instead of waiting for a thread that will never answer.
#pragma once

#include <memory>

#include "message_queue.h"

namespace platform::gwes {

std::shared_ptr<MessageQueue> CurrentThreadQueue();

}  // namespace platform::gwes
