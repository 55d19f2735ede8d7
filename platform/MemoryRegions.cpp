#include "MemoryRegions.h"
