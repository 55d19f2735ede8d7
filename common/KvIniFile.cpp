#include "KvIniFile.h"
