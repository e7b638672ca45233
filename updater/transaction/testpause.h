// A point where a test build of the updater can be held so that a test kills it exactly there.
// The shipped program links testpause_none.cpp, in which it does nothing.
#pragma once

// Called at each step of a commit ("commit") and of undoing one ("undo").
void testPause(const char* point);
