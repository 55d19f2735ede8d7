#include "KvLoger.h"
