#include "Clock.h"

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}
