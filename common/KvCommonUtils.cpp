#include "KvCommonUtils.h"
