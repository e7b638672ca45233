#pragma once
// Where code that runs on any platform (the parsers of untrusted bytes) reports what it refused:
// the service passes the log, a test or a fuzz target passes a recorder.
#include "log/message_codes.h"

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void warning(MessageCode code) = 0;
};
