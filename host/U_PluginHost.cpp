#include "U_PluginHost.h"
