// PLACEHOLDER: replaced by the service runtime work. Links the entry point meanwhile.
#include "main/service_runtime.h"

bool runServiceDispatcher() { return false; }
