#include "testpause.h"

void testPause(const char*) {}
