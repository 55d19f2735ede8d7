#include "KvGuid.h"
