#include "KvSysTools.h"
