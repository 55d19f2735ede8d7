#include "VersionBlock.h"
