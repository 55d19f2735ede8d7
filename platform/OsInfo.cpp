#include "OsInfo.h"
