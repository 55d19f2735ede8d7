#include "KvBase64.h"
