#include "platform/Clock.h"

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}
