#include "KvPluginLogerBase.h"
