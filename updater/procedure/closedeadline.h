// How long the desktop application is given to close when asked, before it is ended. The
// shipped program links closedeadline_shipped.cpp; the test build desktop-updater-hooks links
// one that the end-to-end tests can shorten.
#pragma once

// The shipped program's: time for the application to save the user's work, or for the user to
// answer its question, while the dialog says why it waits.
const unsigned kApplicationCloseDeadlineMs = 30000;

unsigned applicationCloseDeadlineMs();
