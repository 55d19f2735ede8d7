#include "KvClock.h"
