#include "ICTracer.h"
