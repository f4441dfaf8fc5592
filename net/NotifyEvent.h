#pragma once

// TNotifyEvent: the plain notification of the network components, naming
// only its sender. It runs on the sender's thread, from the call or the event
// loop that raised it.

#include <functional>

class QObject;

using TNotifyEvent = std::function<void(QObject* sender)>;
