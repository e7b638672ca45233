#include "transaction/testpause.h"

void testPause(const char*) {}
