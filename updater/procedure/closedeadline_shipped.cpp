#include "procedure/closedeadline.h"

unsigned applicationCloseDeadlineMs()
{
    return kApplicationCloseDeadlineMs;
}
